#pragma once
// A capture device over an ALSA PCM (libasound): 16-bit little-endian
// interleaved frames, paced by the sound card.
//
// The PCM is used in non-blocking mode: the fill thread waits for data at
// most kWaitMs at a time, so that Reset stops it promptly. Overruns are
// traced and capturing goes on; a device that goes away or keeps failing
// ends the device.

#include <cstdint>
#include <string>

#include "platform/QueuedCaptureDevice.h"

typedef struct _snd_pcm snd_pcm_t;

namespace wk {

class CaptureDeviceAlsa final : public QueuedCaptureDevice {
public:
    static constexpr int kWaitMs = 50;
    // Consecutive failed recoveries before the device gives up.
    static constexpr int kMaxFailures = 5;

    // An empty name stands for the stored capture device (StoredPcmName),
    // looked up here.
    explicit CaptureDeviceAlsa(std::string pcmName = {});
    ~CaptureDeviceAlsa() override;

    // The PCM of the capture device number kept in the machine settings:
    // "default" below 1, else "plughw:N".
    static std::string StoredPcmName();

    const std::string& PcmName() const { return m_pcmName; }

    // "alsa:" and the PCM name.
    std::string Name() const override;
    // Opens the PCM briefly to test the format.
    bool SupportsFormat(int sampleRate, int channels, std::string* why) override;

protected:
    bool OpenSource(int sampleRate, int channels, std::string* why) override;
    void CloseSource() override;
    bool StartSource(std::string* why) override;
    void StopSource() override;
    int64_t ReadFrames(int16_t* out, int64_t frames) override;

private:
    // Deals with a failed read or wait; false when the device has to end
    // (the reason is set then).
    bool Recover(int error);
    // Prepares and starts the PCM again after an overrun or a failure.
    int Restart();

    const std::string m_pcmName;
    snd_pcm_t* m_pcm = nullptr;
    int64_t m_periodFrames = 0;
    int m_failures = 0;
};

}  // namespace wk
