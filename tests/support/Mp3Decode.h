#pragma once
// Decodes a whole MP3 file with libmpg123 for checks in tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace wk::test {

struct DecodedMp3 {
    int frames = 0;                 // MP3 frames
    int errors = 0;                 // 1 when decoding stopped on an error
    int64_t samplesPerChannel = 0;  // decoded sample frames
    long rate = 0;
    int channels = 0;
    double rms = 0;          // over all decoded samples
    int64_t frameBytes = 0;  // the frames' own sizes added up
    // The first frame's header fields (mpg123's numbering) and whether every
    // later frame has the same.
    int version = -1, layer = 0, bitrate = 0, mode = -1, flags = 0;
    bool uniform = true;
    std::vector<double> frameRms[2];  // per MP3 frame, left and right (mono: left)
};

// Reads from the file (not a feed), so the decoder sees the end and releases
// the last frame.
// With `samples`, the decoded interleaved samples go there too. `strict`
// turns off the decoder's search for the next frame after junk: bytes that
// are no frame then stop the decoding with an error.
DecodedMp3 DecodeMp3File(const std::string& path, std::vector<int16_t>* samples = nullptr,
                         bool strict = false);

// Every frame away from the stream's ends (the first two hold encoder and
// decoder delay, the last two the fade into the flush's padding) carries a
// sine of the given amplitude on each channel, within 10 %: a frame the
// decoder had to drop (over a broken bit reservoir, say) comes out silent.
::testing::AssertionResult ToneInEveryInnerFrame(const DecodedMp3& d, double left, double right);

// Interleaved 16-bit 440 Hz from sample frame `first` on, at amplitudes that
// differ per channel so that a mix-up shows; mono takes the left one.
inline constexpr double kToneLeft = 12000, kToneRight = 4000;
std::vector<int16_t> Tone(uint32_t rate, int channels, size_t frames, size_t first = 0);

}  // namespace wk::test
