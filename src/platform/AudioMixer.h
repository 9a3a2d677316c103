#pragma once
// The mixer of a sound card: which input the card records from (its capture
// source), how loud it records (capture volume) and how loud it plays
// (playback volume). AudioMixerAlsa drives alsa-lib's simple mixer;
// AudioMixerFake is an in-memory card for tests and review pictures.
//
// Volumes are percent of the control's range (0 to 100). A card need not
// have every control: a missing one reads as nothing and cannot be set.
//
// Threading: GUI thread only (the sound settings dialog).

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace wk {

struct MixerCard {
    int index = 0;     // the card number ("AudioMixer")
    std::string name;  // as the driver names it
};

class AudioMixer {
public:
    virtual ~AudioMixer() = default;

    // The cards present, by number.
    virtual std::vector<MixerCard> Cards() = 0;
    // Opens the mixer of card `index` (closing one opened before). False
    // with the reason when the card has no mixer to open.
    virtual bool Open(int index, std::string* why) = 0;

    // Of the card opened: the inputs it can record from ("Line", "Mic"),
    // empty when it cannot choose, and the one chosen (-1: none or unknown).
    virtual std::vector<std::string> CaptureSources() const = 0;
    virtual int CaptureSource() const = 0;
    virtual bool SetCaptureSource(int source, std::string* why) = 0;

    virtual std::optional<int> CaptureVolume() const = 0;
    virtual bool SetCaptureVolume(int percent, std::string* why) = 0;
    virtual std::optional<int> PlaybackVolume() const = 0;
    virtual bool SetPlaybackVolume(int percent, std::string* why) = 0;

    // Whether the card opened has any of the three controls.
    bool HasControls() const {
        return !CaptureSources().empty() || CaptureVolume().has_value() || PlaybackVolume().has_value();
    }
};

std::unique_ptr<AudioMixer> CreateAlsaMixer();

}  // namespace wk
