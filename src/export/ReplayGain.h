#pragma once
// The ReplayGain loudness analysis the MP3 normalisation measures with
// (Mp3Normalize.h).
//
// Threads: one analysis per thread; MergeAlbum reads another analysis that
// no thread changes meanwhile.

#include <cstddef>
#include <memory>

namespace wk {

// The analysis result meaning "not enough samples".
inline constexpr double kGainNotEnoughSamples = -24601.0;

// Loudness as ReplayGain tags carry it: gains in dB, peaks on the scale
// where 1.0 is full scale.
struct ReplayGainValues {
    double trackGain = 0;
    double trackPeak = 0;
    double albumGain = 0;
    double albumPeak = 0;
};

// The published ReplayGain analysis (equal-loudness filter, 50 ms RMS
// windows, 95th percentile, pink-noise reference) for one run of tracks.
class ReplayGainAnalysis {
public:
    static bool IsSupportedRate(long sampleRate);
    ReplayGainAnalysis();
    ~ReplayGainAnalysis();
    ReplayGainAnalysis(const ReplayGainAnalysis&) = delete;
    ReplayGainAnalysis& operator=(const ReplayGainAnalysis&) = delete;

    bool Init(long sampleRate);             // clears album totals too
    bool ResetSampleRate(long sampleRate);  // keeps album totals
    // Samples on the 16-bit scale; `right` null for mono. False when refused.
    bool Analyze(const double* left, const double* right, size_t count, int channels);
    double TrackGain();  // adds the track into the album, clears the track
    double AlbumGain() const;
    // Adds another analysis' album histogram (for files analysed apart).
    void MergeAlbum(const ReplayGainAnalysis& other);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Steps of 1.5 dB (5 log10 2) for a gain in dB, rounded half away from zero.
int GainSteps(double gainDb);

}  // namespace wk
