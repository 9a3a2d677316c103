#pragma once
// A playback device over an ALSA PCM (libasound): 44100 Hz 16-bit stereo,
// paced by the sound card.
//
// The PCM is used in non-blocking mode and waited on at most kWaitMs at a
// time, so that a Write never blocks beyond its bound. Underruns are traced
// and playing goes on; a device that goes away, or fails kMaxFailures times
// in a row, ends the device with the reason (the player then ends playback
// with a trace line instead of hanging).

#include <cstdint>
#include <string>

#include "platform/PlaybackDevice.h"

typedef struct _snd_pcm snd_pcm_t;

namespace wk {

class PlaybackDeviceAlsa final : public PlaybackDevice {
public:
    static constexpr int kWaitMs = 20;
    static constexpr int kMaxFailures = 5;
    static constexpr int kBufferMs = 250;
    // The machine.ini key that names the playback PCM.
    static constexpr const char* kPlaybackPcmKey = "PlaybackPcm";

    // An empty name stands for the stored PCM (StoredPcmName).
    explicit PlaybackDeviceAlsa(std::string pcmName = {});
    ~PlaybackDeviceAlsa() override;

    // The PCM machine.ini names, "default" when none is stored.
    static std::string StoredPcmName();

    std::string Name() const override { return "alsa:" + m_pcmName; }
    bool Open(std::string* why) override;
    bool IsOpen() const override { return m_pcm != nullptr; }
    void Drain() override;
    void Close() override;
    bool HasEnded() const override { return !m_endReason.empty(); }
    std::string EndReason() const override { return m_endReason; }

protected:
    int64_t WriteFrames(const int16_t* samples, int64_t frames) override;

private:
    // Deals with a failed write or wait; false when the device has to end.
    bool Recover(int error);
    void End(const std::string& reason);

    const std::string m_pcmName;
    snd_pcm_t* m_pcm = nullptr;
    int64_t m_bufferFrames = 0;
    int m_failures = 0;
    std::string m_endReason;
};

}  // namespace wk
