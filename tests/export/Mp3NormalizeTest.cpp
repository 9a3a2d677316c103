// The loudness analysis, the steps, the in-place gain change on hand-built
// frames, and whole normalisation runs over MP3 files made with the
// project's encoder library (lame_enc.so beside the test executable).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bladeenc/BladeEnc.h"
#include "export/Mp3Normalize.h"
#include "recording/EncoderBase.h"
#include "recording/EncoderLibrary.h"
#include "support/Mp3Decode.h"
#include "support/TempHome.h"

namespace wk {
namespace {

using test::ReadFile;
using test::WriteFile;
const double kStepDb = 5 * std::log10(2.0);

::testing::AssertionResult SameBytes(const std::string& a, const std::string& b) {
    if (a == b) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return ::testing::AssertionFailure()
           << a.size() << " and " << b.size() << " bytes differ at " << i;
}

struct Rng {
    uint64_t s;
    double Next() {  // uniform in [-1, 1)
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<double>(s >> 11) / 4503599627370496.0 - 1.0;
    }
};

// Pink-like noise (white noise through first-order filters) at `dbfs` RMS.
std::vector<double> Pink(size_t n, uint64_t seed, double dbfs) {
    static const double pole[5] = {0.99886, 0.99332, 0.969, 0.8665, 0.55};
    static const double gain[5] = {0.0555179, 0.0750759, 0.153852, 0.3104856, 0.5329522};
    Rng rng{seed};
    double b[5] = {}, squares = 0;
    std::vector<double> v(n);
    for (double& x : v) {
        const double w = rng.Next();
        x = w * 0.5362;
        for (int k = 0; k < 5; ++k) x += b[k] = pole[k] * b[k] + gain[k] * w;
        squares += x * x;
    }
    const double scale = 32768 * std::pow(10, dbfs / 20) / std::sqrt(squares / double(n));
    for (double& x : v) x *= scale;
    return v;
}

// Interleaved 16-bit audio: a chord and noise at `level` of full scale.
std::vector<int16_t> Music(double seconds, int rate, int channels, double level, uint64_t seed) {
    const auto frames = static_cast<size_t>(seconds * rate);
    const std::vector<double> noise = Pink(frames * 2, seed, -12);
    std::vector<int16_t> pcm;
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        const double tone = 6000 * std::sin(2 * M_PI * (220 + seed % 7 * 30) * t) +
                            4000 * std::sin(2 * M_PI * 330 * t) * (0.6 + 0.4 * std::sin(t * 3));
        for (size_t c = 0; c < size_t(channels); ++c)
            pcm.push_back(
                int16_t(std::clamp(level * (tone + noise[i * 2 + c]), -32768.0, 32767.0)));
    }
    return pcm;
}

// ---------------------------------------------------------------------------
// Hand-built Layer III frames

enum class Mpeg { k1, k2, k25 };

struct FrameSpec {
    Mpeg version = Mpeg::k1;
    bool mono = false;
    bool crc = false;
    int rateIndex = 0;
    int bitrateIndex = 9;
    bool padding = false;
};

// 144 (MPEG-1) or 72 bytes per kbit/s per kHz, plus the padding byte.
int FrameBytes(const FrameSpec& s) {
    static const long rates[3][3] = {
        {44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
    static const int kbps1[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int kbps2[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    const bool one = s.version == Mpeg::k1;
    const long kbps = one ? kbps1[s.bitrateIndex] : kbps2[s.bitrateIndex];
    return int((one ? 144000 : 72000) * kbps / rates[int(s.version)][s.rateIndex]) + s.padding;
}

size_t SideStart(const FrameSpec& s) {
    return s.crc ? 6 : 4;
}
size_t SideBytes(const FrameSpec& s) {
    return s.version == Mpeg::k1 ? (s.mono ? 17 : 32) : (s.mono ? 9 : 17);
}

// Bit offsets of the global_gain fields in the side information, granule by
// granule, channel by channel.
std::vector<int> GainBits(const FrameSpec& s) {
    if (s.version == Mpeg::k1) return s.mono ? std::vector{39, 98} : std::vector{41, 100, 159, 218};
    return s.mono ? std::vector{30} : std::vector{31, 94};
}

int GetByteAt(const std::string& f, size_t pos, int bit) {
    const size_t at = pos + size_t(bit / 8);
    return int((((unsigned(uint8_t(f[at])) << 8) | uint8_t(f[at + 1])) >> (8 - bit % 8)) & 0xFF);
}

void SetByteAt(std::string& f, size_t pos, int bit, int value) {
    const size_t at = pos + size_t(bit / 8);
    const int shift = 8 - bit % 8;
    unsigned word = (unsigned(uint8_t(f[at])) << 8) | uint8_t(f[at + 1]);
    word = (word & ~(0xFFu << shift)) | (unsigned(value) << shift);
    f[at] = char(word >> 8);
    f[at + 1] = char(word & 0xFF);
}

// CRC-16, polynomial 0x8005, start 0xFFFF, high bit first.
uint16_t Crc16(const std::string& bytes) {
    uint16_t c = 0xFFFF;
    for (char ch : bytes) {
        c ^= uint16_t(uint8_t(ch) << 8);
        for (int i = 0; i < 8; ++i)
            c = (c & 0x8000) ? uint16_t((c << 1) ^ 0x8005) : uint16_t(c << 1);
    }
    return c;
}

// The checksum over header bytes 2 and 3 and the side information.
uint16_t FrameCrc(const std::string& file, size_t pos, const FrameSpec& s) {
    return Crc16(file.substr(pos + 2, 2) + file.substr(pos + 6, SideBytes(s)));
}
uint16_t StoredCrc(const std::string& file, size_t pos) {
    return uint16_t((uint8_t(file[pos + 4]) << 8) | uint8_t(file[pos + 5]));
}
void StoreCrc(std::string& file, size_t pos, const FrameSpec& s) {
    const uint16_t crc = FrameCrc(file, pos, s);
    file[pos + 4] = char(crc >> 8);
    file[pos + 5] = char(crc & 0xFF);
}

// Frames whose global_gain fields take `gains` in turn; the rest of the side
// information and the body are random (`fill` < 0) or `fill`, never 0xFF.
std::string MakeFrames(const FrameSpec& s, int count, const std::vector<int>& gains,
                       std::vector<size_t>* frames = nullptr, uint64_t seed = 1, int fill = -1) {
    Rng rng{seed};
    std::string file;
    size_t next = 0;
    for (int i = 0; i < count; ++i) {
        const size_t pos = file.size();
        if (frames) frames->push_back(pos);
        const int versionBits = s.version == Mpeg::k1 ? 0x18 : s.version == Mpeg::k2 ? 0x10 : 0;
        file += char(0xFF);
        file += char(0xE2 | versionBits | (s.crc ? 0 : 1));
        file += char((s.bitrateIndex << 4) | (s.rateIndex << 2) | (s.padding ? 2 : 0));
        file += char(s.mono ? 0xC4 : 0x44);
        for (int k = 4; k < FrameBytes(s); ++k)
            file += char((fill >= 0 ? fill : int((rng.Next() + 1) * 127)) & 0xFE);
        for (int bit : GainBits(s))
            SetByteAt(file, pos + SideStart(s), bit, gains[next++ % gains.size()]);
        if (s.crc) StoreCrc(file, pos, s);
    }
    return file;
}

// What the change must make of frames built by MakeFrames: the fields set to
// `expected` in turn, checksums recomputed.
std::string Expect(std::string file, const std::vector<size_t>& frames, const FrameSpec& s,
                   const std::vector<int>& expected) {
    size_t next = 0;
    for (size_t pos : frames) {
        for (int bit : GainBits(s))
            SetByteAt(file, pos + SideStart(s), bit, expected[next++ % expected.size()]);
        if (s.crc) StoreCrc(file, pos, s);
    }
    return file;
}

std::string Describe(const FrameSpec& s) {
    const char* v = s.version == Mpeg::k1   ? "MPEG-1"
                    : s.version == Mpeg::k2 ? "MPEG-2"
                                            : "MPEG-2.5";
    return std::string(v) + (s.mono ? " mono" : " stereo") + (s.crc ? " crc" : "");
}

// Every version, mono and stereo, with and without checksum.
std::vector<FrameSpec> AllLayouts() {
    std::vector<FrameSpec> specs;
    for (Mpeg v : {Mpeg::k1, Mpeg::k2, Mpeg::k25})
        for (int variant = 0; variant < 4; ++variant)
            specs.push_back(
                {v, variant % 2 == 1, variant >= 2, v == Mpeg::k25 ? 2 : 1, v == Mpeg::k1 ? 9 : 8});
    return specs;
}

// ===========================================================================
// Steps and analysis

TEST(GainStepsTest, RoundsHalfAwayFromZero) {
    const std::pair<double, int> cases[] = {
        {2.26, 2},   {2.25, 1},   {-2.26, -2},   {-2.25, -1},         {0, 0},
        {0.75, 0},   {0.76, 1},   {-0.76, -1},   {3 * kStepDb, 3},    {10.0, 7},
        {-10.0, -7}, {64.82, 43}, {-55.17, -37}, {kStepDb * 0.499, 0}};
    for (const auto& [db, steps] : cases) EXPECT_EQ(GainSteps(db), steps) << db;
    EXPECT_EQ(GainSteps(std::nan("")), 0);
}

TEST(ReplayGainAnalysisTest, RefusesUnusableInput) {
    const std::vector<double> s(1000, 100.0);
    ReplayGainAnalysis a;
    EXPECT_FALSE(a.Analyze(s.data(), s.data(), s.size(), 2));  // no rate yet
    ASSERT_TRUE(a.Init(44100));
    EXPECT_FALSE(a.Analyze(s.data(), s.data(), s.size(), 3));
    EXPECT_FALSE(a.Analyze(s.data(), s.data(), s.size(), 0));
    EXPECT_FALSE(a.Analyze(s.data(), nullptr, s.size(), 2));
    EXPECT_TRUE(a.Analyze(s.data(), nullptr, s.size(), 1));
    EXPECT_TRUE(a.Analyze(nullptr, nullptr, 0, 2));
}

// Per rate: refused (window 0), or the first result needs one whole window
// (50 ms rounded up to a sample); the same pink noise at every rate asks for
// about the same change, so a wrong coefficient in one rate's filters stands
// out; half the level is 6.02 dB more; mono is two equal channels.
TEST(ReplayGainAnalysisTest, EveryRate) {
    const std::pair<long, size_t> cases[] = {
        // 44.1 kHz first: the reference
        {44100, 2205}, {48000, 2400}, {32000, 1600}, {24000, 1200}, {22050, 1103},
        {16000, 800},  {12000, 600},  {11025, 552},  {8000, 400},   {0, 0},
        {44000, 0},    {96000, 0},    {88200, 0},    {22000, 0},    {-44100, 0}};
    double reference = 0;
    for (const auto& [rate, window] : cases) {
        ReplayGainAnalysis a;
        EXPECT_EQ(ReplayGainAnalysis::IsSupportedRate(rate), window != 0) << rate;
        if (window == 0) {
            EXPECT_FALSE(a.Init(rate) || a.ResetSampleRate(rate)) << rate;
            continue;
        }
        const std::vector<double> l = Pink(size_t(rate) * 10, 1, -20),
                                  r = Pink(size_t(rate) * 10, 2, -20);
        ASSERT_TRUE(a.Init(rate));
        ASSERT_TRUE(a.Analyze(l.data(), r.data(), window - 1, 2));
        EXPECT_EQ(a.TrackGain(), kGainNotEnoughSamples) << rate;
        ASSERT_TRUE(a.Analyze(l.data(), r.data(), window - 1, 2));  // counted over calls
        ASSERT_TRUE(a.Analyze(l.data(), r.data(), 1, 2));
        EXPECT_NE(a.TrackGain(), kGainNotEnoughSamples) << rate;
        ASSERT_TRUE(a.Init(rate));
        ASSERT_TRUE(a.Analyze(l.data(), r.data(), l.size(), 2));
        const double gain = a.TrackGain();
        if (rate == 44100) {
            reference = gain;
            EXPECT_GT(gain, 0);
            EXPECT_LT(gain, 8);
        }
        EXPECT_NEAR(gain, reference, rate == 8000 ? 1.0 : 0.25) << rate;  // 8 kHz: half the band
        std::vector<double> quiet = l;
        for (double& v : quiet) v /= 2;
        ASSERT_TRUE(a.Analyze(l.data(), nullptr, l.size(), 1));
        const double loudGain = a.TrackGain();
        ASSERT_TRUE(a.Analyze(quiet.data(), nullptr, quiet.size(), 1));
        EXPECT_NEAR(a.TrackGain() - loudGain, 20 * std::log10(2.0), 0.015) << rate;
        ASSERT_TRUE(a.Analyze(l.data(), l.data(), l.size(), 2));
        EXPECT_EQ(a.TrackGain(), loudGain) << rate;
    }
}

TEST(ReplayGainAnalysisTest, BlockSizesDoNotChangeTheResult) {
    const std::vector<double> l = Pink(44100 * 3, 11, -16), r = Pink(44100 * 3, 12, -20);
    ReplayGainAnalysis whole, pieces;
    ASSERT_TRUE(whole.Init(44100) && pieces.Init(44100));
    ASSERT_TRUE(whole.Analyze(l.data(), r.data(), l.size(), 2));
    const size_t sizes[] = {1, 5, 9, 10, 11, 1152, 2205, 4000, 7};
    for (size_t at = 0, k = 0; at < l.size(); ++k) {
        const size_t n = std::min(sizes[k % std::size(sizes)] * (k / 9 + 1), l.size() - at);
        ASSERT_TRUE(pieces.Analyze(l.data() + at, r.data() + at, n, 2));
        at += n;
    }
    EXPECT_EQ(whole.TrackGain(), pieces.TrackGain());
}

// The level reached by 5 % of the windows: of 100 windows the 6 loudest
// decide (5 % of 100, in double arithmetic, rounds up to 6).
TEST(ReplayGainAnalysisTest, LevelIsTheNinetyFifthPercentile) {
    struct Case {
        size_t silent, loud;
        bool loudDecides;
    } const cases[] = {{95, 5, false}, {94, 6, true}, {19, 1, false}, {18, 2, true}, {0, 3, true}};
    for (const Case& c : cases) {
        std::vector<double> s(c.silent * 2205, 0.0);
        for (size_t i = 0; i < c.loud * 2205; ++i)
            s.push_back(20000 * std::sin(2 * M_PI * 1000 * double(i) / 44100));
        ReplayGainAnalysis a;
        ASSERT_TRUE(a.Init(44100));
        ASSERT_TRUE(a.Analyze(s.data(), s.data(), s.size(), 2));
        const double gain = a.TrackGain();
        if (c.loudDecides) {
            EXPECT_LT(gain, 0) << c.silent << " + " << c.loud;
        } else {
            EXPECT_DOUBLE_EQ(gain, 64.82) << c.silent << " + " << c.loud;  // silence: lowest step
        }
    }
}

TEST(ReplayGainAnalysisTest, AlbumCollectsTracksAndMergesExactly) {
    const std::vector<double> t1 = Pink(44100 * 2, 21, -12), t2 = Pink(22050 * 3, 22, -25);
    ReplayGainAnalysis one;  // both tracks, switching the rate in between
    ASSERT_TRUE(one.Init(44100));
    ASSERT_TRUE(one.Analyze(t1.data(), nullptr, t1.size(), 1));
    const double g1 = one.TrackGain();
    EXPECT_EQ(one.AlbumGain(), g1);  // one track: the album is that track
    ASSERT_TRUE(one.ResetSampleRate(22050));
    ASSERT_TRUE(one.Analyze(t2.data(), nullptr, t2.size(), 1));
    const double g2 = one.TrackGain();
    EXPECT_GT(one.AlbumGain(), g1 - 0.01);
    EXPECT_LT(one.AlbumGain(), g2 + 0.01);
    ReplayGainAnalysis x, y, merged;  // the same tracks apart, then merged
    ASSERT_TRUE(x.Init(44100) && y.Init(22050));
    ASSERT_TRUE(x.Analyze(t1.data(), nullptr, t1.size(), 1));
    ASSERT_TRUE(y.Analyze(t2.data(), nullptr, t2.size(), 1));
    EXPECT_EQ(x.TrackGain(), g1);  // ending a track adds it to the album
    EXPECT_EQ(y.TrackGain(), g2);
    EXPECT_EQ(merged.AlbumGain(), kGainNotEnoughSamples);
    merged.MergeAlbum(y);
    merged.MergeAlbum(x);
    EXPECT_EQ(merged.AlbumGain(), one.AlbumGain());
    ASSERT_TRUE(one.Init(44100));  // a new album
    EXPECT_EQ(one.AlbumGain(), kGainNotEnoughSamples);
}

// ===========================================================================
// Gain change on hand-built frames

class ChangeMp3GainTest : public test::TempHomeTest {
protected:
    void TearDown() override {
        detail::SetMp3DecodeFaultHook({});
        detail::SetMp3AnalysisWorkers(0);
        test::TempHomeTest::TearDown();
    }
    // A new path each time: rewriting a file in place costs a flush to disk
    // on some file systems.
    std::string Fresh(const std::string& stem) {
        return HomeFile((std::string(stem) += std::to_string(++m_files)) += ".mp3");
    }
    // Writes `bytes` to a new file, changes it and returns what it became.
    std::string Changed(const std::string& bytes, int left, int right) {
        const std::string path = Fresh("f");
        WriteFile(path, bytes);
        EXPECT_TRUE(ChangeMp3Gain(path, left, right));
        return ReadFile(path);
    }
    int m_files = 0;
};

TEST_F(ChangeMp3GainTest, MovesEveryGlobalGainWithinZeroTo255AndUpdatesChecksums) {
    ASSERT_EQ(Crc16("123456789"), 0xAEE7);  // the test's checksum is the standard one
    struct Row {
        int steps;
        std::vector<int> before, after;
    } const rows[] = {
        {10, {0, 250, 100, 245, 1, 255, 128}, {0, 255, 110, 255, 11, 255, 138}},
        {-5, {3, 0, 5, 6, 200, 255, 128}, {0, 0, 0, 1, 195, 250, 123}},
        {1, {254, 255, 0, 17, 2, 99, 40}, {255, 255, 0, 18, 3, 100, 41}},
    };
    for (const FrameSpec& s : AllLayouts()) {
        for (const Row& r : rows) {
            std::vector<size_t> frames;
            const std::string original = MakeFrames(s, 7, r.before, &frames);
            const std::string after = Changed(original, r.steps, r.steps);
            // Expect() stores the recomputed checksums: they are compared too.
            EXPECT_TRUE(SameBytes(after, Expect(original, frames, s, r.after)))
                << Describe(s) << " " << r.steps;
        }
    }
}

TEST_F(ChangeMp3GainTest, LeftAndRightStepsMoveTheirOwnChannelAndZeroStepsNothing) {
    std::vector<size_t> frames;
    const std::string original = MakeFrames(FrameSpec{}, 3, {100}, &frames);
    // Granule 0 left, granule 0 right, granule 1 left, granule 1 right.
    EXPECT_TRUE(
        SameBytes(Changed(original, 2, -3), Expect(original, frames, FrameSpec{}, {102, 97})));
    EXPECT_TRUE(SameBytes(Changed(original, 0, 0), original));
}

TEST_F(ChangeMp3GainTest, InformationFrameStaysUnchanged) {
    FrameSpec crc1, mono2;
    crc1.crc = true;
    mono2.version = Mpeg::k2;
    mono2.mono = true;
    mono2.bitrateIndex = 8;
    struct Row {
        FrameSpec spec;
        const char* text;
        int shift;  // bytes away from where the text belongs (-2: as if no checksum)
        bool isInfo;
    } const rows[] = {{FrameSpec{}, "Xing", 0, true},  {FrameSpec{}, "Info", 0, true},
                      {crc1, "Xing", 0, true},         {mono2, "Xing", 0, true},
                      {crc1, "Xing", -2, true},        {FrameSpec{}, "Xing", 1, false},
                      {FrameSpec{}, "XING", 0, false}, {crc1, "Info", 1, false},
                      {FrameSpec{}, "Info", -2, false}};
    for (const Row& r : rows) {
        std::string info = MakeFrames(r.spec, 1, {120}, nullptr, 5);
        info.replace(SideStart(r.spec) + SideBytes(r.spec) + size_t(r.shift), 4, r.text);
        if (r.spec.crc) StoreCrc(info, 0, r.spec);
        std::vector<size_t> frames;
        const std::string audio = MakeFrames(r.spec, 3, {120}, &frames, 9);
        const std::string after = Changed(info + audio, 1, 1);
        EXPECT_EQ(after.substr(0, info.size()) == info, r.isInfo)
            << r.text << " " << Describe(r.spec) << r.shift;
        EXPECT_TRUE(SameBytes(after.substr(info.size()), Expect(audio, frames, r.spec, {121})));
    }
}

// Tags, junk and frames of another kind around and between the frames stay
// as they are; a frame start with gains inside a tag would change if searched.
TEST_F(ChangeMp3GainTest, BytesAroundAndBetweenTheFramesStayUnchanged) {
    const std::string fake = MakeFrames(FrameSpec{}, 1, {77}, nullptr, 3).substr(0, 40);
    std::string id3v2 = std::string("ID3\x03\x00\x00\x00\x00\x01\x00", 10);  // 128 bytes follow
    id3v2 += fake + std::string(128 - fake.size(), 'a');
    std::string id3v1 = "TAG" + fake + std::string(85, 'b');
    id3v1.back() = '\xFF';  // genre "none"
    FrameSpec other;
    other.rateIndex = 2;  // 32 kHz: not a frame of this 44.1 kHz file
    const std::string f1 = MakeFrames(FrameSpec{}, 1, {50}, nullptr, 1, 0);
    std::string layer2 = f1;
    layer2[1] = '\xFD';  // Layer II after the first frame: not a frame either
    const std::string changed = Expect(f1, {0}, FrameSpec{}, {53});
    const std::string junk = std::string(100, '\x12') + MakeFrames(other, 1, {50}, nullptr, 1, 0);
    const std::string rows[][3] = {{id3v2, "", id3v1}, {std::string(500, 'x'), junk + layer2, ""}};
    for (const auto& [before, between, after] : rows) {
        EXPECT_TRUE(SameBytes(Changed(before + f1 + between + f1 + after, 3, 3),
                              before + changed + between + changed + after))
            << before.size() << " " << between.size();
    }
}

TEST_F(ChangeMp3GainTest, FrameCutOffInItsSideInformationStaysAsItIs) {
    for (const FrameSpec& s : AllLayouts()) {
        std::vector<size_t> frames;
        const std::string whole = MakeFrames(s, 3, {90}, &frames);
        const size_t sideEnd = SideStart(s) + SideBytes(s);
        for (size_t keep : {sideEnd, sideEnd - 1, size_t{3}}) {
            const std::string cut = whole.substr(0, frames[2] + keep);
            std::vector<size_t> changed = {frames[0], frames[1]};
            if (keep == sideEnd) changed.push_back(frames[2]);
            EXPECT_TRUE(SameBytes(Changed(cut, 1, 1), Expect(cut, changed, s, {91})))
                << Describe(s) << " " << keep;
        }
    }
}

TEST_F(ChangeMp3GainTest, UnusableFilesAreReportedAndLeftAlone) {
    std::vector<size_t> frames;
    std::string layer2 = MakeFrames(FrameSpec{}, 3, {100}, &frames), layer1 = layer2;
    for (size_t pos : frames) {
        layer2[pos + 1] = '\xFD';
        layer1[pos + 1] = '\xFF';
    }
    std::filesystem::create_directory(HomeFile("folder.mp3"));
    const std::string p = HomeFile("");
    const std::string noFrames = "Can't find any valid MP3 frames in file " + p;
    const std::string notIII = " file, not a layer III file\n";
    struct Case {
        std::string name;
        std::optional<std::string> content;          // none: no such file
        std::string analysisMessage, changeMessage;  // empty change message: the same
    } const cases[] = {
        {"missing.mp3", std::nullopt, "Can't open " + p + "missing.mp3 for reading\n\n",
         "\nCan't open " + p + "missing.mp3 for modifying\n"},
        {"folder.mp3", std::nullopt, "Can't open " + p + "folder.mp3 for reading\n\n",
         "\nCan't open " + p + "folder.mp3 for modifying\n"},
        {"text.mp3", "no audio", noFrames + "text.mp3\n\n", ""},
        {"empty.mp3", "", noFrames + "empty.mp3\n\n", ""},
        {"layer2.mp3", layer2, p + "layer2.mp3 is an MPEG Layer II" + notIII, ""},
        {"layer1.mp3", layer1, p + "layer1.mp3 is an MPEG Layer I" + notIII, ""},
    };
    for (const Case& c : cases) {
        const std::string path = HomeFile(c.name);
        if (c.content) WriteFile(path, *c.content);
        testing::internal::CaptureStderr();
        const NormalizeResult r = NormalizeMp3Files({path});
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.analysisMessage) << c.name;
        EXPECT_FALSE(r.analysed || r.corrupt) << c.name;
        EXPECT_EQ(r.skipped, std::vector<std::string>{path}) << c.name;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(ChangeMp3Gain(path, 3, 3)) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  c.changeMessage.empty() ? c.analysisMessage : c.changeMessage)
            << c.name;
        if (c.content) {
            EXPECT_TRUE(SameBytes(ReadFile(path), *c.content)) << c.name;
        }
    }
}

// ===========================================================================
// Whole runs over encoded files

class Mp3NormalizeTest : public ChangeMp3GainTest {
protected:
    void SetUp() override {
        ChangeMp3GainTest::SetUp();
        std::string error;
        if (!m_lib.Load("lame_enc.so", &error) || !m_lib.ResolveFunctions()) GTEST_SKIP() << error;
    }
    // An MP3 file of music at `level` from the project's encoder.
    std::string Make(double level, uint64_t seed, int rate = 44100, int channels = 2,
                     double seconds = 2, bool crc = false) {
        const std::string path = Fresh("m");
        BE_CONFIG config = EncoderBase::BuildConfig(
            kEngineLame, rate, channels == 1 ? BE_MP3_MODE_MONO : BE_MP3_MODE_JSTEREO, 128);
        config.format.mp3.bCRC = crc;
        uint32_t samples = 0, size = 0, got = 0;
        HBE_STREAM stream = 0;
        EXPECT_EQ(m_lib.initStream(&config, &samples, &size, &stream), BE_ERR_SUCCESSFUL);
        std::vector<int16_t> pcm = Music(seconds, rate, channels, level, seed);
        std::vector<uint8_t> out(size);
        std::string mp3;
        for (size_t at = 0; at < pcm.size(); at += samples) {
            m_lib.encodeChunk(stream, uint32_t(std::min<size_t>(samples, pcm.size() - at)),
                              pcm.data() + at, out.data(), &got);
            mp3.append(reinterpret_cast<const char*>(out.data()), got);
        }
        m_lib.deinitStream(stream, out.data(), &got);
        mp3.append(reinterpret_cast<const char*>(out.data()), got);
        m_lib.closeStream(stream);
        WriteFile(path, mp3);
        return path;
    }
    EncoderLibrary m_lib;
};

// The frames of a file the encoder wrote (MPEG-1, no tags, back to back).
std::vector<size_t> WalkFrames(const std::string& file) {
    std::vector<size_t> frames;
    for (size_t pos = 0; pos + 4 <= file.size() && uint8_t(file[pos]) == 0xFF;) {
        frames.push_back(pos);
        const auto b2 = uint8_t(file[pos + 2]);
        pos += size_t(FrameBytes({Mpeg::k1, false, false, (b2 >> 2) & 3, b2 >> 4, (b2 & 2) != 0}));
    }
    return frames;
}

TEST_F(Mp3NormalizeTest, AlbumGainMovesEveryFileBySameStepsAndASecondRunDoesNothing) {
    const std::string quiet = Make(0.1, 1), loud = Make(0.4, 2);
    const double quietGain = MeasureAlbumGain({quiet}), loudGain = MeasureAlbumGain({loud});
    const double album = MeasureAlbumGain({quiet, loud});
    EXPECT_GT(quietGain, loudGain + 9);
    EXPECT_GT(album, loudGain);
    EXPECT_LT(album, quietGain);
    const NormalizeResult r = NormalizeMp3Files({quiet, loud});
    ASSERT_TRUE(r.analysed);
    EXPECT_FALSE(r.corrupt);
    EXPECT_EQ(r.albumGain, album);
    EXPECT_EQ(r.steps, GainSteps(album));
    ASSERT_NE(r.steps, 0);
    EXPECT_EQ(r.changedFiles, 2);
    EXPECT_TRUE(r.skipped.empty());
    EXPECT_EQ(test::DecodeMp3File(quiet).errors, 0);
    EXPECT_NEAR(MeasureAlbumGain({quiet, loud}), album - r.steps * kStepDb, 0.05);
    // Alone, the quiet file goes by its own loudness; once is enough.
    const double own = MeasureAlbumGain({quiet});
    const NormalizeResult alone = NormalizeMp3Files({quiet});
    ASSERT_TRUE(alone.analysed);
    EXPECT_EQ(alone.albumGain, own);
    EXPECT_EQ(alone.steps, GainSteps(own));
    EXPECT_GT(alone.steps, 0);
    const std::string once = ReadFile(quiet);
    const NormalizeResult again = NormalizeMp3Files({quiet});
    ASSERT_TRUE(again.analysed);
    EXPECT_EQ(again.steps, 0);
    EXPECT_EQ(again.changedFiles, 0);
    EXPECT_TRUE(SameBytes(ReadFile(quiet), once));

    // One file under several names ("./", a symbolic and a hard link) is
    // measured and moved once, as if it were named once.
    const std::string single = Make(0.1, 3), named = Make(0.1, 3);
    const std::filesystem::path p(named);
    std::filesystem::create_symlink(p, named + ".sym");
    std::filesystem::create_hard_link(p, named + ".hard");
    const NormalizeResult one = NormalizeMp3Files({single});
    const NormalizeResult many = NormalizeMp3Files(
        {named, (p.parent_path() / "." / p.filename()).string(), named + ".sym", named + ".hard"});
    EXPECT_GT(one.steps, 0);
    EXPECT_EQ(many.steps, one.steps);
    EXPECT_EQ(many.changedFiles, 1);
    EXPECT_TRUE(SameBytes(ReadFile(named), ReadFile(single)));
}

// A step is a factor of 2^(1/4) in amplitude, checksums stay valid.
TEST_F(Mp3NormalizeTest, StepsOnEncodedFramesScaleTheAudio) {
    struct Row {
        int rate, channels;
        bool crc;
        int steps;
    } const rows[] = {{48000, 1, false, -2}, {32000, 2, true, -4}, {44100, 1, true, 5}};
    for (const Row& r : rows) {
        const std::string path = Make(0.2, 8, r.rate, r.channels, 1.5, r.crc);
        const std::string before = ReadFile(path);
        const test::DecodedMp3 d0 = test::DecodeMp3File(path);
        ASSERT_TRUE(ChangeMp3Gain(path, r.steps, r.steps));
        const std::string after = ReadFile(path);
        const std::vector<size_t> frames = WalkFrames(after);
        ASSERT_GT(frames.size(), 40u);
        const FrameSpec s{Mpeg::k1, r.channels == 1, r.crc};
        for (size_t pos : frames) {  // every frame the encoder wrote was found
            for (int bit : GainBits(s)) {
                const int old = GetByteAt(before, pos + SideStart(s), bit);
                EXPECT_EQ(GetByteAt(after, pos + SideStart(s), bit),
                          old ? std::clamp(old + r.steps, 0, 255) : 0);
            }
            if (r.crc) {
                EXPECT_EQ(FrameCrc(after, pos, s), StoredCrc(after, pos));
            }
        }
        const test::DecodedMp3 d1 = test::DecodeMp3File(path);
        EXPECT_EQ(d1.errors, 0);
        EXPECT_EQ(d1.samplesPerChannel, d0.samplesPerChannel);
        const double factor = std::pow(2.0, r.steps / 4.0);
        EXPECT_NEAR(d1.rms / d0.rms, factor, factor * 0.01) << r.rate << " " << r.channels;
    }
}

TEST_F(Mp3NormalizeTest, ParallelAnalysisEqualsOneFileAfterTheOther) {
    const std::vector<std::string> files = {Make(0.1, 11, 44100, 2), Make(0.3, 12, 48000, 1),
                                            Make(0.05, 13, 32000, 2), Make(0.2, 14, 44100, 1, 1),
                                            Make(0.15, 15, 48000, 2)};
    detail::SetMp3AnalysisWorkers(1);
    const double sequential = MeasureAlbumGain(files);
    EXPECT_NE(sequential, kGainNotEnoughSamples);
    for (unsigned workers : {2u, 3u, 5u}) {
        detail::SetMp3AnalysisWorkers(workers);
        EXPECT_EQ(MeasureAlbumGain(files), sequential) << workers;
    }
}

TEST_F(Mp3NormalizeTest, MessagesInFileOrderBadFilesSkippedProgressAddsUp) {
    detail::SetMp3AnalysisWorkers(3);
    WriteFile(HomeFile("text.mp3"), "no frames here");
    const std::vector<std::string> files = {HomeFile("missing1.mp3"), Make(0.1, 21, 44100, 2, 4),
                                            HomeFile("text.mp3"), Make(0.1, 22),
                                            HomeFile("missing2.mp3")};
    const int64_t sizes =
        int64_t(std::filesystem::file_size(files[1]) + std::filesystem::file_size(files[2]) +
                std::filesystem::file_size(files[3]));
    int64_t progress = 0;
    testing::internal::CaptureStderr();
    const NormalizeResult r = NormalizeMp3Files(files, [&](int64_t bytes) {
        EXPECT_GT(bytes, 0);
        progress += bytes;
    });
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Can't open " + files[0] +
                  " for reading\n\nCan't find any valid MP3 frames in file " + files[2] +
                  "\n\nCan't open " + files[4] + " for reading\n\n");
    ASSERT_TRUE(r.analysed);
    EXPECT_EQ(r.changedFiles, 2);
    EXPECT_EQ(r.skipped, (std::vector<std::string>{files[0], files[2], files[4]}));
    EXPECT_EQ(progress, sizes);
}

TEST_F(Mp3NormalizeTest, CorruptDataEndsTheRunWithoutChanges) {
    const std::vector<std::string> files = {Make(0.1, 31, 44100, 2, 1), Make(0.1, 32, 44100, 2, 1),
                                            Make(0.1, 33, 44100, 2, 1), HomeFile("missing.mp3")};
    std::vector<std::string> before;
    for (size_t i = 0; i < 3; ++i) before.push_back(ReadFile(files[i]));
    struct Row {
        size_t file;
        int64_t frame;
        unsigned workers;
    } const rows[] = {{0, 0, 1}, {1, 10, 2}, {2, 30, 4}, {1, 0, 3}};
    for (const Row& row : rows) {
        detail::SetMp3AnalysisWorkers(row.workers);
        const std::string bad = files[row.file];
        detail::SetMp3DecodeFaultHook([&](const std::string& path, int64_t frame) {
            return path == bad && frame == row.frame;
        });
        testing::internal::CaptureStderr();
        const NormalizeResult r = NormalizeMp3Files(files);
        // Nothing after the corrupt file is reported: the run ended there.
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Error analyzing " + bad + ". This mp3 has some very corrupt data.\n");
        EXPECT_TRUE(r.corrupt);
        EXPECT_FALSE(r.analysed);
        EXPECT_EQ(r.changedFiles, 0);
        for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(SameBytes(ReadFile(files[i]), before[i])) << i;
        testing::internal::CaptureStderr();
        EXPECT_EQ(MeasureAlbumGain(files), kGainNotEnoughSamples);
        testing::internal::GetCapturedStderr();
    }
}

TEST_F(Mp3NormalizeTest, TooLittleAudio) {
    const std::string source = ReadFile(Make(0.1, 42, 44100, 2, 1));
    const std::vector<size_t> frames = WalkFrames(source);
    ASSERT_GT(frames.size(), 3u);
    const std::string oneFrame = source.substr(0, frames[1]);  // 1152 samples, under 50 ms
    const std::string shortPath = Fresh("short");
    WriteFile(shortPath, oneFrame);
    testing::internal::CaptureStderr();
    const NormalizeResult alone = NormalizeMp3Files({shortPath});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Not enough samples in " + shortPath +
                  " to do analysis\n\nNot enough samples in mp3 files to do analysis\n\n");
    EXPECT_FALSE(alone.analysed);
    EXPECT_TRUE(alone.skipped.empty());
    EXPECT_TRUE(SameBytes(ReadFile(shortPath), oneFrame));
    // Beside a longer file the short one is changed by the album's steps.
    testing::internal::CaptureStderr();
    const NormalizeResult both = NormalizeMp3Files({shortPath, Make(0.1, 41)});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Not enough samples in " + shortPath + " to do analysis\n\n");
    ASSERT_TRUE(both.analysed);
    ASSERT_NE(both.steps, 0);
    EXPECT_EQ(both.changedFiles, 2);
    EXPECT_NE(ReadFile(shortPath), oneFrame);
}

TEST_F(Mp3NormalizeTest, DamagedFilesNeverCrash) {
    const std::string source = ReadFile(Make(0.1, 51));
    const std::vector<size_t> frames = WalkFrames(source);
    Rng rng{99};
    std::string garbage = source.substr(0, 4);  // a header, then noise
    for (int i = 0; i < 20000; ++i) garbage += char((rng.Next() + 1) * 127.5);
    std::string scrambled = source;  // every frame's body overwritten
    for (size_t f = 0; f < frames.size(); ++f)
        for (size_t i = frames[f] + 4;
             i < (f + 1 < frames.size() ? frames[f + 1] : scrambled.size()); ++i)
            scrambled[i] = char((rng.Next() + 1) * 127.5);
    for (const std::string& content : {source.substr(0, frames[30] + 100),
                                       source.substr(0, frames[30] + 2), garbage, scrambled}) {
        const std::string path = Fresh("damaged"), good = Fresh("good");
        WriteFile(path, content);
        WriteFile(good, source);
        testing::internal::CaptureStderr();
        const NormalizeResult r = NormalizeMp3Files({path, good});
        testing::internal::GetCapturedStderr();
        EXPECT_FALSE(r.corrupt) << path;
        EXPECT_TRUE(r.analysed) << path;
        EXPECT_EQ(ReadFile(path).size(), content.size()) << path;
        EXPECT_EQ(test::DecodeMp3File(good).errors, 0);
    }
}

}  // namespace
}  // namespace wk
