#include "platform/AlsaCaptureCards.h"

#include <alsa/asoundlib.h>

#include "core/Trace.h"

namespace wk {
namespace {

bool CanCapture(snd_ctl_t* ctl) {
    snd_pcm_info_t* info = nullptr;
    snd_pcm_info_alloca(&info);
    int device = -1;
    while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
        snd_pcm_info_set_device(info, static_cast<unsigned>(device));
        snd_pcm_info_set_subdevice(info, 0);
        snd_pcm_info_set_stream(info, SND_PCM_STREAM_CAPTURE);
        if (snd_ctl_pcm_info(ctl, info) == 0) return true;
    }
    return false;
}

}  // namespace

std::vector<CaptureCard> ListCaptureCards() {
    std::vector<CaptureCard> cards;
    int number = -1;
    while (snd_card_next(&number) == 0 && number >= 0) {
        const std::string hw = "hw:" + std::to_string(number);
        snd_ctl_t* ctl = nullptr;
        if (snd_ctl_open(&ctl, hw.c_str(), 0) < 0) {
            Trace(kTraceDebug, "sound card %d cannot be opened; left out", number);
            continue;
        }
        snd_ctl_card_info_t* info = nullptr;
        snd_ctl_card_info_alloca(&info);
        if (snd_ctl_card_info(ctl, info) == 0 && CanCapture(ctl))
            cards.push_back({number, snd_ctl_card_info_get_id(info), snd_ctl_card_info_get_name(info)});
        snd_ctl_close(ctl);
    }
    return cards;
}

std::string CaptureInputOfCard(int number) {
    return number < 1 ? std::string("alsa:default") : "alsa:plughw:" + std::to_string(number);
}

}  // namespace wk
