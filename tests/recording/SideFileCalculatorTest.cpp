#include "recording/SideFileCalculator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace wk {
namespace {

std::vector<int16_t> Constant(int frames, int16_t left, int16_t right) {
    std::vector<int16_t> pcm;
    for (int i = 0; i < frames; ++i) {
        pcm.push_back(left);
        pcm.push_back(right);
    }
    return pcm;
}

struct Collected {
    std::vector<uint8_t> dat, fgp;
};

// Feeds the PCM in blocks of `blockSamples` values and gathers the lists.
Collected Feed(const std::vector<int16_t>& pcm, size_t blockSamples, int channels = 2) {
    SideFileCalculator calc(44100, channels);
    Collected out;
    for (size_t at = 0; at < pcm.size(); at += blockSamples) {
        const size_t n = std::min(blockSamples, pcm.size() - at);
        calc.AddBlock({pcm.data() + at, n});
        out.dat.insert(out.dat.end(), calc.Dat().begin(), calc.Dat().end());
        out.fgp.insert(out.fgp.end(), calc.Fgp().begin(), calc.Fgp().end());
    }
    return out;
}

TEST(SideFileCalculatorTest, ConstantSignalsGiveTheDocumentedBytes) {
    const struct {
        int16_t left, right;
        int8_t dat;
        uint8_t fgp;
    } cases[] = {
        {0, 0, 0, 0},
        {1000, 1000, 3, 30},
        {-1000, -1000, -4, 30},
        {1000, -1000, 0, 0},     // (3 + -4) / 2 truncates to 0; the mono mix cancels
        {255, 255, 0, 0},        // x <= 1: silence
        {-1, -1, -1, 0},         // the high byte of -1 is -1
        {32767, 32767, 127, 109},
        {-32768, -32768, -128, 109},
    };
    for (const auto& c : cases) {
        const Collected got = Feed(Constant(441 * 10, c.left, c.right), 2304);
        ASSERT_EQ(got.dat.size(), 10u);
        ASSERT_EQ(got.fgp.size(), 10u);
        for (size_t i = 0; i < 10; ++i) {
            EXPECT_EQ(static_cast<int8_t>(got.dat[i]), c.dat) << c.left << "/" << c.right;
            EXPECT_EQ(got.fgp[i], c.fgp) << c.left << "/" << c.right;
        }
    }
}

TEST(SideFileCalculatorTest, StepsStayExactWhateverTheBlockSize) {
    std::vector<int16_t> pcm;
    for (int i = 0; i < 44100 * 3; ++i) {
        const auto v = static_cast<int16_t>(12000 * std::sin(i * 0.031) * std::sin(i * 0.00007));
        pcm.push_back(v);
        pcm.push_back(static_cast<int16_t>(-v / 3));
    }
    const Collected reference = Feed(pcm, pcm.size());
    EXPECT_EQ(reference.dat.size(), 300u);
    EXPECT_EQ(reference.fgp.size(), 300u);
    for (size_t block : {2u, 14u, 882u, 2304u, 4608u, 10000u}) {
        const Collected got = Feed(pcm, block);
        EXPECT_EQ(got.dat, reference.dat) << block;
        EXPECT_EQ(got.fgp, reference.fgp) << block;
    }
    // Wave samples are the frames at 0, 441, 882 ...
    EXPECT_EQ(static_cast<int8_t>(reference.dat[5]),
              SideFileCalculator::WaveValue(pcm[2 * 441 * 5], pcm[2 * 441 * 5 + 1]));
}

TEST(SideFileCalculatorTest, TenSecondsGiveAThousandBytesGiveOrTakeABlock) {
    const auto pcm = Constant(441000, 500, 700);
    SideFileCalculator calc;
    size_t dat = 0, fgp = 0;
    for (size_t at = 0; at < pcm.size(); at += 2304) {
        calc.AddBlock({pcm.data() + at, std::min<size_t>(2304, pcm.size() - at)});
        EXPECT_LE(calc.Dat().size(), 3u);
        dat += calc.Dat().size();
        fgp += calc.Fgp().size();
    }
    EXPECT_NEAR(static_cast<double>(dat), 1000.0, 3.0);
    EXPECT_NEAR(static_cast<double>(fgp), 1000.0, 3.0);
}

TEST(SideFileCalculatorTest, MonoSamplesCountAsBothChannels) {
    std::vector<int16_t> mono(441 * 4, -1000);
    const Collected got = Feed(mono, 1152, 1);
    ASSERT_EQ(got.fgp.size(), 4u);
    EXPECT_EQ(got.fgp[0], 30);
    EXPECT_EQ(static_cast<int8_t>(got.dat[0]), -4);
}

TEST(SideFileCalculatorTest, FingerprintScaleIs52UnitsPerDecade) {
    // m = 2560 -> x = 10 -> 52; m = 25600 -> x = 100 -> 104.
    EXPECT_EQ(SideFileCalculator::FingerprintValue(2.0 * 441 * 2560, 441), 52);
    EXPECT_EQ(SideFileCalculator::FingerprintValue(2.0 * 441 * 25600, 441), 104);
    EXPECT_EQ(SideFileCalculator::FingerprintValue(2.0 * 441 * 256, 441), 0);
}

}  // namespace
}  // namespace wk
