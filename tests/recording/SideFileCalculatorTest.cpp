#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "recording/SideFileCalculator.h"

namespace wk {
namespace {

struct Collected {
    std::vector<uint8_t> dat, fgp;
    size_t mostPerCall = 0;
};

// Feeds the PCM in blocks of `blockSamples` values and gathers the lists.
Collected Feed(const std::vector<int16_t>& pcm, size_t blockSamples, int channels = 2) {
    SideFileCalculator calc(44100, channels);
    Collected out;
    for (size_t at = 0; at < pcm.size(); at += blockSamples) {
        calc.AddBlock({pcm.data() + at, std::min(blockSamples, pcm.size() - at)});
        out.dat.insert(out.dat.end(), calc.Dat().begin(), calc.Dat().end());
        out.fgp.insert(out.fgp.end(), calc.Fgp().begin(), calc.Fgp().end());
        out.mostPerCall = std::max(out.mostPerCall, calc.Dat().size());
    }
    return out;
}

TEST(SideFileCalculatorTest, ConstantSignalsGiveTheDocumentedBytes) {
    // left, right (mono: left only), wave byte, fingerprint byte
    const std::tuple<int16_t, int16_t, int8_t, uint8_t> cases[] = {
        {0, 0, 0, 0},
        {1000, 1000, 3, 30},
        {-1000, -1000, -4, 30},
        {1000, -1000, 0, 0},  // (3 + -4) / 2 truncates to 0; the mono mix cancels
        {255, 255, 0, 0},     // x <= 1: silence
        {-1, -1, -1, 0},      // the high byte of -1 is -1
        {32767, 32767, 127, 109},
        {-32768, -32768, -128, 109},
    };
    for (const auto& [left, right, dat, fgp] : cases) {
        for (int channels : {2, 1}) {
            if (channels == 1 && left != right) continue;  // a mono sample counts as both channels
            std::vector<int16_t> pcm;
            for (int i = 0; i < 441 * 10; ++i)
                for (int c = 0; c < channels; ++c) pcm.push_back(c ? right : left);
            const Collected got = Feed(pcm, 1152 * size_t(channels), channels);
            EXPECT_EQ(got.dat, std::vector<uint8_t>(10, uint8_t(dat)))
                << left << "/" << right << " " << channels;
            EXPECT_EQ(got.fgp, std::vector<uint8_t>(10, fgp))
                << left << "/" << right << " " << channels;
        }
    }
    // m = 2560 -> x = 10 -> 52; m = 25600 -> x = 100 -> 104.
    EXPECT_EQ(SideFileCalculator::FingerprintValue(2.0 * 441 * 2560, 441), 52);
    EXPECT_EQ(SideFileCalculator::FingerprintValue(2.0 * 441 * 25600, 441), 104);
    EXPECT_EQ(SideFileCalculator::FingerprintValue(2.0 * 441 * 256, 441), 0);
}

// A byte per 441 frames, exactly, whatever the block size: ten seconds give
// a thousand bytes, a block of 2304 values at most three.
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
        EXPECT_TRUE(block != 2304 || got.mostPerCall <= 3) << got.mostPerCall;
    }
    // Wave samples are the frames at 0, 441, 882 ...
    EXPECT_EQ(static_cast<int8_t>(reference.dat[5]),
              SideFileCalculator::WaveValue(pcm[2 * 441 * 5], pcm[2 * 441 * 5 + 1]));
}

}  // namespace
}  // namespace wk
