#pragma once
// How exactly an exported song starts: where its decoded audio lies in the
// audio it was recorded from, found by cross-correlation, and the spread of
// many such errors. Shared by the tests, the demo and the benchmark, so that
// they all judge a cut by what a decoder plays, never by the export's own
// numbers.
//
// Threads: any; nothing here keeps state.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace wk {

// The mono mix of interleaved 16-bit audio, as floats.
std::vector<float> MonoMix(std::span<const int16_t> interleaved, int channels);

struct SourcePlace {
    int64_t frame = 0;         // the source frame the song's first frame plays
    double correlation = 0;    // normalised, 1 for identical wave forms
};

// Where the first frame of `song` lies in `source` (both mono, one rate),
// searched within `radius` frames either side of `guess`. The song is
// compared from `skip` frames in (a decoder's first frames may be silent),
// over `window` frames. Nothing when the song or the searched stretch of the
// source is too short or silent.
std::optional<SourcePlace> FindInSource(std::span<const float> song, std::span<const float> source,
                                        int64_t guess, int64_t radius, int64_t skip = 4096,
                                        int64_t window = 8192);

// The median, the 95th percentile and the largest of the absolute values.
struct ErrorSpread {
    double p50 = 0;
    double p95 = 0;
    double worst = 0;
    size_t count = 0;
};
ErrorSpread SpreadOf(std::vector<double> errors);

}  // namespace wk
