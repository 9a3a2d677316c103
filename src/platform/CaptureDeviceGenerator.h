#pragma once
// A capture device that plays GeneratedMusic: reproducible music-like audio
// from a seed, for tests and demonstrations without a sound card. In real
// time by default (paced by the process clock), or as fast as the recording
// session consumes it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/GeneratedMusic.h"
#include "platform/QueuedCaptureDevice.h"

namespace wk {

class CaptureDeviceGenerator final : public QueuedCaptureDevice {
public:
    explicit CaptureDeviceGenerator(uint32_t seed, bool realTime = true,
                                    const GeneratorTiming& timing = {});
    ~CaptureDeviceGenerator() override;

    // Where the tracks and pauses of a seed lie (see GeneratedMusic::Layout).
    static std::vector<GeneratedTrack> Layout(uint32_t seed, int sampleRate, int64_t frames,
                                              const GeneratorTiming& timing = {}) {
        return GeneratedMusic::Layout(seed, sampleRate, frames, timing);
    }

    uint32_t Seed() const { return m_seed; }

    // "generator:SEED", with ":fast" when not in real time.
    std::string Name() const override;
    // Mono or stereo, 8000 to 192000 Hz.
    bool SupportsFormat(int sampleRate, int channels, std::string* why) override;

protected:
    bool OpenSource(int sampleRate, int channels, std::string* why) override;
    void CloseSource() override;
    int64_t ReadFrames(int16_t* out, int64_t frames) override;

private:
    const uint32_t m_seed;
    const GeneratorTiming m_timing;
    std::unique_ptr<GeneratedMusic> m_music;
};

}  // namespace wk
