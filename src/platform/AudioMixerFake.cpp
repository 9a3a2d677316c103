#include "platform/AudioMixerFake.h"

namespace wk {
namespace {

bool Refuse(std::string* why, const char* text) {
    if (why) *why = text;
    return false;
}

bool SetVolume(std::optional<int>& control, int percent, std::string* why) {
    if (!control) return Refuse(why, "the card has no such volume control");
    if (percent < 0 || percent > 100) return Refuse(why, "a volume is 0 to 100 percent");
    control = percent;
    return true;
}

}  // namespace

const AudioMixerFake::Card* AudioMixerFake::Find(int index) const {
    const auto it = m_cards.find(index);
    return it == m_cards.end() ? nullptr : &it->second;
}

AudioMixerFake::Card* AudioMixerFake::Opened() {
    const auto it = m_cards.find(m_open);
    return it == m_cards.end() ? nullptr : &it->second;
}

const AudioMixerFake::Card* AudioMixerFake::Opened() const {
    return Find(m_open);
}

std::vector<MixerCard> AudioMixerFake::Cards() {
    std::vector<MixerCard> cards;
    for (const auto& [index, card] : m_cards) cards.push_back({index, card.name});
    return cards;
}

bool AudioMixerFake::Open(int index, std::string* why) {
    m_open = -1;
    if (!Find(index)) return Refuse(why, "no such card");
    m_open = index;
    return true;
}

std::vector<std::string> AudioMixerFake::CaptureSources() const {
    const Card* card = Opened();
    return card ? card->sources : std::vector<std::string>();
}

int AudioMixerFake::CaptureSource() const {
    const Card* card = Opened();
    return card ? card->source : -1;
}

bool AudioMixerFake::SetCaptureSource(int source, std::string* why) {
    Card* card = Opened();
    if (!card || source < 0 || source >= static_cast<int>(card->sources.size()))
        return Refuse(why, "the card has no such recording source");
    card->source = source;
    return true;
}

std::optional<int> AudioMixerFake::CaptureVolume() const {
    const Card* card = Opened();
    return card ? card->captureVolume : std::nullopt;
}

bool AudioMixerFake::SetCaptureVolume(int percent, std::string* why) {
    Card* card = Opened();
    return card ? SetVolume(card->captureVolume, percent, why) : Refuse(why, "no card is open");
}

std::optional<int> AudioMixerFake::PlaybackVolume() const {
    const Card* card = Opened();
    return card ? card->playbackVolume : std::nullopt;
}

bool AudioMixerFake::SetPlaybackVolume(int percent, std::string* why) {
    Card* card = Opened();
    return card ? SetVolume(card->playbackVolume, percent, why) : Refuse(why, "no card is open");
}

}  // namespace wk
