#pragma once
// An endless, reproducible stream of music-like 16-bit audio: tracks of a few
// minutes separated by short pauses of near-silence, the way a music station
// sounds. Each track has its own melody (a looped phrase from a scale), key,
// tempo, timbre, bass line, drum pattern and loudness, so silence detection
// and fingerprinting have real pauses and really different tracks to find.
//
// The same seed, rate and channel count give the same samples however the
// stream is cut into Render calls. Layout tells, without rendering, where the
// tracks and pauses of a seed lie.
//
// Not thread-safe; one thread renders.

#include <cstdint>
#include <memory>
#include <vector>

namespace wk {

struct GeneratedTrack {
    bool pause = false;
    // Music tracks count 1, 2, ...; a pause carries the number of the track before it.
    int number = 0;
    int64_t startFrame = 0;  // first frame
    int64_t endFrame = 0;    // one past the last frame
    // Music: the RMS level (dBFS) the track is scaled to. Pause: the level of
    // its noise floor.
    double levelDbfs = 0;
};

struct GeneratorTiming {
    double minTrackSeconds = 120;
    double maxTrackSeconds = 300;
    double minPauseSeconds = 1;
    double maxPauseSeconds = 3;
};

class GeneratedMusic {
public:
    // Track levels lie in [kMinLevelDbfs, kMaxLevelDbfs]; neighbouring tracks
    // differ by at least kMinLevelStepDb.
    static constexpr double kMinLevelDbfs = -20;
    static constexpr double kMaxLevelDbfs = -8;
    static constexpr double kMinLevelStepDb = 3;
    // Pauses hold white noise of at most this many units either side of zero.
    static constexpr int kPauseNoisePeak = 2;

    GeneratedMusic(uint32_t seed, int sampleRate, int channels, const GeneratorTiming& timing = {});
    ~GeneratedMusic();
    GeneratedMusic(const GeneratedMusic&) = delete;
    GeneratedMusic& operator=(const GeneratedMusic&) = delete;

    // Writes the next `frames` interleaved frames.
    void Render(int16_t* out, int64_t frames);
    // Frames rendered so far.
    int64_t Position() const;

    // The tracks and pauses that cover frames [0, frames), in order; the last
    // one may reach beyond `frames`.
    static std::vector<GeneratedTrack> Layout(uint32_t seed, int sampleRate, int64_t frames,
                                              const GeneratorTiming& timing = {});

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace wk
