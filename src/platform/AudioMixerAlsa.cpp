// The sound card's mixer through alsa-lib's simple mixer interface.
//
// The capture source is either an enumerated capture control ("Capture
// Source", "Input Source": its items are the sources) or, on cards without
// one, the controls that have a capture switch (choosing one switches it on
// and the others off). The capture volume is the "Capture" control, else
// the first control with a capture volume; the playback volume is "Master",
// else "PCM", else the first control with a playback volume.

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/Trace.h"
#include "platform/AudioMixer.h"

namespace wk {
namespace {

bool Failed(std::string* why, const std::string& what, int err) {
    if (why) *why = what + ": " + snd_strerror(err);
    Trace(kTraceError, "Mixer: %s: %s", what.c_str(), snd_strerror(err));
    return false;
}

int ToPercent(long value, long min, long max) {
    if (max <= min) return 0;
    return static_cast<int>(std::lround(100.0 * static_cast<double>(value - min) / static_cast<double>(max - min)));
}

long FromPercent(int percent, long min, long max) {
    return min + std::lround(static_cast<double>(std::clamp(percent, 0, 100)) * static_cast<double>(max - min) / 100.0);
}

std::string ElemName(snd_mixer_elem_t* elem) {
    return snd_mixer_selem_get_name(elem);
}

class AudioMixerAlsa final : public AudioMixer {
public:
    ~AudioMixerAlsa() override { Close(); }

    std::vector<MixerCard> Cards() override {
        std::vector<MixerCard> cards;
        int card = -1;
        while (snd_card_next(&card) == 0 && card >= 0) {
            char* name = nullptr;
            MixerCard c{card, "card " + std::to_string(card)};
            if (snd_card_get_name(card, &name) == 0 && name) c.name = name;
            std::free(name);
            cards.push_back(std::move(c));
        }
        return cards;
    }

    bool Open(int index, std::string* why) override {
        Close();
        int err = snd_mixer_open(&m_mixer, 0);
        if (err < 0) return Failed(why, "cannot open a mixer", err);
        const std::string device = "hw:" + std::to_string(index);
        if ((err = snd_mixer_attach(m_mixer, device.c_str())) < 0 ||
            (err = snd_mixer_selem_register(m_mixer, nullptr, nullptr)) < 0 || (err = snd_mixer_load(m_mixer)) < 0) {
            Close();
            return Failed(why, "the mixer of " + device, err);
        }
        for (snd_mixer_elem_t* e = snd_mixer_first_elem(m_mixer); e; e = snd_mixer_elem_next(e)) {
            if (!snd_mixer_selem_is_active(e)) continue;
            const std::string name = ElemName(e);
            if (!m_sourceEnum && snd_mixer_selem_is_enumerated(e) && snd_mixer_selem_is_enum_capture(e))
                m_sourceEnum = e;
            if (snd_mixer_selem_has_capture_switch(e) && name != "Capture") m_sourceSwitches.push_back(e);
            if (snd_mixer_selem_has_capture_volume(e) && (!m_capture || name == "Capture")) m_capture = e;
            if (snd_mixer_selem_has_playback_volume(e)) {
                const bool better = !m_playback || name == "Master" || (name == "PCM" && ElemName(m_playback) != "Master");
                if (better) m_playback = e;
            }
        }
        Trace(kTraceInfo, "Mixer: %s opened: %zu sources, capture volume %s, playback volume %s", device.c_str(),
              CaptureSources().size(), m_capture ? ElemName(m_capture).c_str() : "none",
              m_playback ? ElemName(m_playback).c_str() : "none");
        return true;
    }

    std::vector<std::string> CaptureSources() const override {
        std::vector<std::string> names;
        if (m_sourceEnum) {
            const int items = snd_mixer_selem_get_enum_items(m_sourceEnum);
            for (int i = 0; i < items; ++i) {
                char name[64] = {};
                snd_mixer_selem_get_enum_item_name(m_sourceEnum, static_cast<unsigned>(i), sizeof name - 1, name);
                names.emplace_back(name);
            }
            return names;
        }
        for (snd_mixer_elem_t* e : m_sourceSwitches) names.push_back(ElemName(e));
        return names;
    }

    int CaptureSource() const override {
        if (m_sourceEnum) {
            unsigned item = 0;
            return snd_mixer_selem_get_enum_item(m_sourceEnum, SND_MIXER_SCHN_FRONT_LEFT, &item) < 0
                       ? -1
                       : static_cast<int>(item);
        }
        for (size_t i = 0; i < m_sourceSwitches.size(); ++i) {
            int on = 0;
            if (snd_mixer_selem_get_capture_switch(m_sourceSwitches[i], SND_MIXER_SCHN_FRONT_LEFT, &on) == 0 && on)
                return static_cast<int>(i);
        }
        return -1;
    }

    bool SetCaptureSource(int source, std::string* why) override {
        const int count = static_cast<int>(CaptureSources().size());
        if (source < 0 || source >= count) {
            if (why) *why = "the card has no recording source " + std::to_string(source);
            return false;
        }
        if (m_sourceEnum) {
            int err = 0;
            for (int ch = 0; ch <= SND_MIXER_SCHN_LAST; ++ch) {
                const int e = snd_mixer_selem_set_enum_item(m_sourceEnum, static_cast<snd_mixer_selem_channel_id_t>(ch),
                                                            static_cast<unsigned>(source));
                if (ch == 0) err = e;
            }
            return err < 0 ? Failed(why, "cannot choose the recording source", err) : true;
        }
        for (int i = 0; i < count; ++i) {
            const int err = snd_mixer_selem_set_capture_switch_all(m_sourceSwitches[static_cast<size_t>(i)], i == source);
            if (err < 0 && i == source) return Failed(why, "cannot switch the recording source on", err);
        }
        return true;
    }

    std::optional<int> CaptureVolume() const override { return Volume(m_capture, true); }
    bool SetCaptureVolume(int percent, std::string* why) override { return SetVolume(m_capture, true, percent, why); }
    std::optional<int> PlaybackVolume() const override { return Volume(m_playback, false); }
    bool SetPlaybackVolume(int percent, std::string* why) override {
        return SetVolume(m_playback, false, percent, why);
    }

private:
    void Close() {
        if (m_mixer) snd_mixer_close(m_mixer);
        m_mixer = nullptr;
        m_sourceEnum = m_capture = m_playback = nullptr;
        m_sourceSwitches.clear();
    }

    static std::optional<int> Volume(snd_mixer_elem_t* e, bool capture) {
        if (!e) return std::nullopt;
        long min = 0, max = 0, value = 0;
        const int err = capture ? snd_mixer_selem_get_capture_volume_range(e, &min, &max)
                                : snd_mixer_selem_get_playback_volume_range(e, &min, &max);
        const int got = capture ? snd_mixer_selem_get_capture_volume(e, SND_MIXER_SCHN_FRONT_LEFT, &value)
                                : snd_mixer_selem_get_playback_volume(e, SND_MIXER_SCHN_FRONT_LEFT, &value);
        if (err < 0 || got < 0) return std::nullopt;
        return ToPercent(value, min, max);
    }

    static bool SetVolume(snd_mixer_elem_t* e, bool capture, int percent, std::string* why) {
        if (!e) {
            if (why) *why = "the card has no such volume control";
            return false;
        }
        long min = 0, max = 0;
        int err = capture ? snd_mixer_selem_get_capture_volume_range(e, &min, &max)
                          : snd_mixer_selem_get_playback_volume_range(e, &min, &max);
        if (err == 0) {
            const long value = FromPercent(percent, min, max);
            err = capture ? snd_mixer_selem_set_capture_volume_all(e, value)
                          : snd_mixer_selem_set_playback_volume_all(e, value);
        }
        return err < 0 ? Failed(why, "cannot set the volume of " + ElemName(e), err) : true;
    }

    snd_mixer_t* m_mixer = nullptr;
    snd_mixer_elem_t* m_sourceEnum = nullptr;
    std::vector<snd_mixer_elem_t*> m_sourceSwitches;
    snd_mixer_elem_t* m_capture = nullptr;
    snd_mixer_elem_t* m_playback = nullptr;
};

}  // namespace

std::unique_ptr<AudioMixer> CreateAlsaMixer() {
    return std::make_unique<AudioMixerAlsa>();
}

}  // namespace wk
