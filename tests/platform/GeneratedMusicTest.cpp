#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "platform/GeneratedMusic.h"

namespace wk {
namespace {

constexpr int kRate = 44100;
// Short tracks keep the rendering quick; the layout rules are the same.
const GeneratorTiming kShort{2.0, 4.0, 1.0, 2.0};

std::vector<int16_t> Render(uint32_t seed, int channels, int64_t frames,
                            const std::vector<int64_t>& chunks, const GeneratorTiming& timing) {
    GeneratedMusic music(seed, kRate, channels, timing);
    std::vector<int16_t> out(static_cast<size_t>(frames * channels));
    int64_t done = 0;
    for (size_t i = 0; done < frames; ++i) {
        const int64_t n = std::min(chunks[i % chunks.size()], frames - done);
        music.Render(out.data() + done * channels, n);
        done += n;
    }
    EXPECT_EQ(music.Position(), frames);
    return out;
}

double RmsDbfs(const std::vector<int16_t>& s, int64_t from, int64_t to) {
    double sum = 0;
    for (int64_t i = from; i < to; ++i) sum += double(s[size_t(i)]) * s[size_t(i)];
    return 20 * std::log10(std::sqrt(sum / double(std::max<int64_t>(1, to - from))) / 32768);
}

TEST(GeneratedMusicTest, DefaultLayoutAlternatesMinutesLongTracksAndShortPauses) {
    const int64_t frames = int64_t(60) * 60 * kRate;
    const auto a = GeneratedMusic::Layout(11, kRate, frames);
    const auto b = GeneratedMusic::Layout(12, kRate, frames);
    ASSERT_GE(a.size(), 24u);
    EXPECT_EQ(a.front().startFrame, 0);
    EXPECT_GE(a.back().endFrame, frames);
    EXPECT_NE(a[0].endFrame, b[0].endFrame);
    int tracks = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto& t = a[i];
        const double seconds = double(t.endFrame - t.startFrame) / kRate;
        EXPECT_EQ(t.pause, i % 2 == 1) << i;
        if (i > 0) {
            EXPECT_EQ(t.startFrame, a[i - 1].endFrame) << i;
        }
        if (t.pause) {
            EXPECT_GE(seconds, 1.0) << i;
            EXPECT_LE(seconds, 3.0) << i;
            EXPECT_EQ(t.number, tracks) << i;
            EXPECT_LT(t.levelDbfs, -80) << i;
        } else {
            EXPECT_EQ(t.number, ++tracks) << i;
            EXPECT_GE(seconds, 120.0) << i;
            EXPECT_LE(seconds, 300.0) << i;
            EXPECT_GE(t.levelDbfs, GeneratedMusic::kMinLevelDbfs) << i;
            EXPECT_LE(t.levelDbfs, GeneratedMusic::kMaxLevelDbfs) << i;
            if (i >= 2) {
                EXPECT_GE(std::fabs(t.levelDbfs - a[i - 2].levelDbfs),
                          GeneratedMusic::kMinLevelStepDb)
                    << i;
            }
        }
    }
}

// Renders a few short tracks and checks the audio against the layout: quiet
// pauses, tracks at their levels, tracks that are different music.
TEST(GeneratedMusicTest, AudioFollowsTheLayout) {
    for (uint32_t seed : {1u, 2024u}) {
        const int64_t frames = 14 * kRate;
        const auto layout = GeneratedMusic::Layout(seed, kRate, frames, kShort);
        ASSERT_GE(layout.size(), 5u) << seed;
        const int64_t end = layout.back().endFrame;
        const auto audio = Render(seed, 1, end, {kRate}, kShort);
        std::vector<int> trackIndex;
        for (size_t i = 0; i < layout.size(); ++i) {
            const auto& t = layout[i];
            if (t.pause) {
                const auto [lo, hi] =
                    std::minmax_element(audio.begin() + t.startFrame, audio.begin() + t.endFrame);
                EXPECT_GE(*lo, -GeneratedMusic::kPauseNoisePeak) << seed << " " << i;
                EXPECT_LE(*hi, GeneratedMusic::kPauseNoisePeak) << seed << " " << i;
                EXPECT_NEAR(RmsDbfs(audio, t.startFrame, t.endFrame), t.levelDbfs, 1.0);
                continue;
            }
            trackIndex.push_back(int(i));
            EXPECT_NEAR(RmsDbfs(audio, t.startFrame, t.endFrame), t.levelDbfs, 1.0)
                << seed << " track " << t.number;
            // No near-silence inside a track: every 100 ms block sounds.
            double quietest = 0;
            for (int64_t at = t.startFrame; at + kRate / 10 <= t.endFrame; at += kRate / 10)
                quietest = std::min(quietest, RmsDbfs(audio, at, at + kRate / 10));
            EXPECT_GT(quietest, t.levelDbfs - 12) << seed << " track " << t.number;
        }
        // Neighbouring tracks are different music, not one tune at two levels:
        // their level-normalised openings hardly correlate.
        for (size_t k = 1; k < trackIndex.size(); ++k) {
            const auto& x = layout[size_t(trackIndex[k - 1])];
            const auto& y = layout[size_t(trackIndex[k])];
            const int64_t n = std::min(x.endFrame - x.startFrame, y.endFrame - y.startFrame);
            double xy = 0, xx = 0, yy = 0;
            for (int64_t i = 0; i < n; ++i) {
                const double u = audio[size_t(x.startFrame + i)];
                const double v = audio[size_t(y.startFrame + i)];
                xy += u * v;
                xx += u * u;
                yy += v * v;
            }
            EXPECT_LT(std::fabs(xy) / std::sqrt(xx * yy), 0.3) << seed << " tracks " << k;
        }
    }
}

}  // namespace
}  // namespace wk
