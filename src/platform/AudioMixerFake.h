#pragma once
// An in-memory sound card mixer: the cards and controls a test sets up,
// changed by the setters as a card would be.

#include <map>

#include "platform/AudioMixer.h"

namespace wk {

class AudioMixerFake final : public AudioMixer {
public:
    struct Card {
        std::string name;
        std::vector<std::string> sources;  // empty: no source choice
        int source = -1;
        std::optional<int> captureVolume;  // nothing: no such control
        std::optional<int> playbackVolume;
    };

    // Card `index` (replaces one of that number).
    void AddCard(int index, Card card) { m_cards[index] = std::move(card); }
    const Card* Find(int index) const;

    std::vector<MixerCard> Cards() override;
    bool Open(int index, std::string* why) override;
    std::vector<std::string> CaptureSources() const override;
    int CaptureSource() const override;
    bool SetCaptureSource(int source, std::string* why) override;
    std::optional<int> CaptureVolume() const override;
    bool SetCaptureVolume(int percent, std::string* why) override;
    std::optional<int> PlaybackVolume() const override;
    bool SetPlaybackVolume(int percent, std::string* why) override;

private:
    Card* Opened();
    const Card* Opened() const;

    std::map<int, Card> m_cards;
    int m_open = -1;
};

}  // namespace wk
