// The loudness analysis, the steps, the in-place gain change on hand-built
// frames, whole normalisation runs over files the lame command made, and
// both against the mp3gain tool on the same files.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>
#include <sstream>

#include "export/Mp3Normalize.h"
#include "export/SongTags.h"
#include "support/Mp3Decode.h"
#include "support/Mp3Frames.h"
#include "support/TempHome.h"
#include "support/Tools.h"
#include "support/WavFile.h"

namespace wk {
namespace {

using test::FrameSpec;
using test::Mpeg;
using test::ReadFile;
using test::SameBytes;
using test::WriteFile;
const double kStepDb = 5 * std::log10(2.0);

// Pink-like noise (white noise through first-order filters) at `dbfs` RMS.
std::vector<double> Pink(size_t n, uint64_t seed, double dbfs) {
    static const double pole[5] = {0.99886, 0.99332, 0.969, 0.8665, 0.55};
    static const double gain[5] = {0.0555179, 0.0750759, 0.153852, 0.3104856, 0.5329522};
    test::Rng rng{seed};
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

TEST(GainStepsTest, RoundsHalfAwayFromZero) {
    const std::pair<double, int> cases[] = {{2.26, 2},        {2.25, 1},
                                            {-2.26, -2},      {-2.25, -1},
                                            {0, 0},           {0.75, 0},
                                            {0.76, 1},        {-0.76, -1},
                                            {10.0, 7},        {-10.0, -7},
                                            {64.82, 43},      {-55.17, -37},
                                            {3 * kStepDb, 3}, {kStepDb * 0.499, 0},
                                            {std::nan(""), 0}};
    for (const auto& [db, steps] : cases) EXPECT_EQ(GainSteps(db), steps) << db;
}

// Unusable input is refused. Per rate: refused (window 0), or the first
// result needs one whole window (50 ms rounded up to a sample), counted over
// calls; mono is two equal channels. What the filters of each rate make of
// music is checked against mp3gain below.
TEST(ReplayGainAnalysisTest, RefusesUnusableInputAndNeedsAWindowAtEveryRate) {
    const std::vector<double> s(1000, 100.0);
    ReplayGainAnalysis u;
    EXPECT_FALSE(u.Analyze(s.data(), s.data(), s.size(), 2));  // no rate yet
    ASSERT_TRUE(u.Init(44100));
    EXPECT_FALSE(u.Analyze(s.data(), s.data(), s.size(), 3) || u.Analyze(s.data(), s.data(), s.size(), 0) ||
                 u.Analyze(s.data(), nullptr, s.size(), 2));
    EXPECT_TRUE(u.Analyze(s.data(), nullptr, s.size(), 1) && u.Analyze(nullptr, nullptr, 0, 2));
    const std::pair<long, size_t> cases[] = {
        {44100, 2205}, {48000, 2400}, {32000, 1600}, {24000, 1200}, {22050, 1103},
        {16000, 800},  {12000, 600},  {11025, 552},  {8000, 400},   {0, 0},
        {44000, 0},    {96000, 0},    {88200, 0},    {22000, 0},    {-44100, 0}};
    for (const auto& [rate, window] : cases) {
        ReplayGainAnalysis a;
        EXPECT_EQ(ReplayGainAnalysis::IsSupportedRate(rate), window != 0) << rate;
        if (window == 0) {
            EXPECT_FALSE(a.Init(rate) || a.ResetSampleRate(rate)) << rate;
            continue;
        }
        const std::vector<double> l = Pink(size_t(rate), 1, -20);
        ASSERT_TRUE(a.Init(rate));
        ASSERT_TRUE(a.Analyze(l.data(), l.data(), window - 1, 2));
        EXPECT_EQ(a.TrackGain(), kGainNotEnoughSamples) << rate;
        ASSERT_TRUE(a.Analyze(l.data(), l.data(), window - 1, 2));
        ASSERT_TRUE(a.Analyze(l.data(), l.data(), 1, 2));
        EXPECT_NE(a.TrackGain(), kGainNotEnoughSamples) << rate;
        ASSERT_TRUE(a.Analyze(l.data(), nullptr, l.size(), 1));
        const double mono = a.TrackGain();
        ASSERT_TRUE(a.Analyze(l.data(), l.data(), l.size(), 2));
        EXPECT_EQ(a.TrackGain(), mono) << rate;
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
    const std::tuple<size_t, size_t, bool> cases[] = {
        {95, 5, false}, {94, 6, true}, {19, 1, false}, {18, 2, true}, {0, 3, true}};
    for (const auto& [silent, loud, loudDecides] : cases) {
        std::vector<double> s(silent * 2205, 0.0);
        for (size_t i = 0; i < loud * 2205; ++i)
            s.push_back(20000 * std::sin(2 * M_PI * 1000 * double(i) / 44100));
        ReplayGainAnalysis a;
        ASSERT_TRUE(a.Init(44100) && a.Analyze(s.data(), s.data(), s.size(), 2));
        const double gain = a.TrackGain();
        // Silence gives the lowest step.
        EXPECT_TRUE(loudDecides ? gain < 0 : gain == 64.82)
            << silent << " + " << loud << ": " << gain;
    }
}

// Fails the decoder at one frame of one file, as very corrupt data would.
struct FaultAt : Mp3DecodeSeam {
    FaultAt(std::string p, int64_t f) : path(std::move(p)), frame(f) { PlugMp3DecodeSeam(this); }
    ~FaultAt() override { PlugMp3DecodeSeam(nullptr); }
    bool Undecodable(const std::string& p, int64_t f) const override {
        return p == path && f == frame;
    }
    std::string path;
    int64_t frame;
};

class ChangeMp3GainTest : public test::TempHomeTest {
protected:
    void TearDown() override {
        detail::SetMp3AnalysisWorkers(0);
        test::TempHomeTest::TearDown();
    }
    // A new path each time: rewriting a file in place costs a flush to disk
    // on some file systems.
    std::string Fresh(const std::string& stem) {
        return HomeFile(stem + std::to_string(++m_files) + ".mp3");
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
    ASSERT_EQ(test::Crc16("123456789"), 0xAEE7);  // the test's checksum is the standard one
    // Granule 0 left, granule 0 right, granule 1 left, granule 1 right, ...
    const std::tuple<int, int, std::vector<int>, std::vector<int>> rows[] = {
        {10, 10, {0, 250, 100, 245, 1, 255, 128}, {0, 255, 110, 255, 11, 255, 138}},
        {-5, -5, {3, 0, 5, 6, 200, 255, 128}, {0, 0, 0, 1, 195, 250, 123}},
        {1, 1, {254, 255, 0, 17, 2, 99, 40}, {255, 255, 0, 18, 3, 100, 41}},
        {2, -3, {100}, {102, 97}},
        {0, 0, {100, 0, 7}, {100, 0, 7}},
    };
    for (const FrameSpec& s : test::AllLayouts()) {
        for (const auto& [left, right, before, after] : rows) {
            if (left != right && (s.version != Mpeg::k1 || s.mono)) continue;
            std::vector<size_t> frames;
            const std::string original = test::MakeFrames(s, 7, before, &frames);
            EXPECT_TRUE(SameBytes(Changed(original, left, right),
                                  test::SetGains(original, frames, s, after)))
                << test::Describe(s) << " " << left;
        }
    }
}

TEST_F(ChangeMp3GainTest, InformationFrameStaysUnchanged) {
    const FrameSpec crc1{Mpeg::k1, false, true}, mono2{Mpeg::k2, true, false, 0, 8};
    const std::tuple<FrameSpec, const char*, int, bool> rows[] = {
        // The text's place (shift: bytes away from it, -2 as if no checksum); is it the information
        // frame?
        {FrameSpec{}, "Xing", 0, true},  {FrameSpec{}, "Info", 0, true},
        {crc1, "Xing", 0, true},         {mono2, "Xing", 0, true},
        {crc1, "Xing", -2, true},        {FrameSpec{}, "Xing", 1, false},
        {FrameSpec{}, "XING", 0, false}, {crc1, "Info", 1, false},
        {FrameSpec{}, "Info", -2, false}};
    for (const auto& [spec, text, shift, isInfo] : rows) {
        std::string info = test::MakeFrames(spec, 1, {120}, nullptr, 5);
        info.replace(test::SideStart(spec) + test::SideBytes(spec) + size_t(shift), 4, text);
        if (spec.crc) test::StoreCrc(info, 0, spec);
        std::vector<size_t> frames;
        const std::string audio = test::MakeFrames(spec, 3, {120}, &frames, 9);
        const std::string after = Changed(info + audio, 1, 1);
        EXPECT_EQ(after.substr(0, info.size()) == info, isInfo)
            << text << " " << test::Describe(spec) << shift;
        EXPECT_TRUE(
            SameBytes(after.substr(info.size()), test::SetGains(audio, frames, spec, {121})));
    }
}

// Tags, junk and frames of another kind around and between the frames stay
// as they are; a frame start with gains inside a tag would change if searched.
// A frame cut off inside its side information stays too.
TEST_F(ChangeMp3GainTest, BytesAroundBetweenAndAfterTheFramesStayUnchanged) {
    const std::string fake = test::MakeFrames(FrameSpec{}, 1, {77}, nullptr, 3).substr(0, 40);
    std::string id3v2 = std::string("ID3\x03\x00\x00\x00\x00\x01\x00", 10);  // 128 bytes follow
    id3v2 += fake + std::string(128 - fake.size(), 'a');
    std::string id3v1 = "TAG" + fake + std::string(85, 'b');
    id3v1.back() = '\xFF';                             // genre "none"
    const FrameSpec other{Mpeg::k1, false, false, 2};  // 32 kHz: not a frame of this 44.1 kHz file
    const std::string f1 = test::MakeFrames(FrameSpec{}, 1, {50}, nullptr, 1, 0);
    std::string layer2 = f1;
    layer2[1] = '\xFD';  // Layer II after the first frame: not a frame either
    const std::string changed = test::SetGains(f1, {0}, FrameSpec{}, {53});
    const std::string junk =
        std::string(100, '\x12') + test::MakeFrames(other, 1, {50}, nullptr, 1, 0);
    const std::string rows[][3] = {{id3v2, "", id3v1}, {std::string(500, 'x'), junk + layer2, ""}};
    for (const auto& [before, between, after] : rows) {
        EXPECT_TRUE(SameBytes(Changed(before + f1 + between + f1 + after, 3, 3),
                              before + changed + between + changed + after));
    }
    for (const FrameSpec& s : test::AllLayouts()) {
        std::vector<size_t> frames;
        const std::string whole = test::MakeFrames(s, 3, {90}, &frames);
        const size_t sideEnd = test::SideStart(s) + test::SideBytes(s);
        for (size_t keep : {sideEnd, sideEnd - 1, size_t{3}}) {
            const std::string cut = whole.substr(0, frames[2] + keep);
            std::vector<size_t> changed3 = {frames[0], frames[1]};
            if (keep == sideEnd) changed3.push_back(frames[2]);
            EXPECT_TRUE(SameBytes(Changed(cut, 1, 1), test::SetGains(cut, changed3, s, {91})))
                << test::Describe(s) << " " << keep;
        }
    }
}

TEST_F(ChangeMp3GainTest, UnusableFilesAreReportedAndLeftAlone) {
    std::vector<size_t> frames;
    std::string layer2 = test::MakeFrames(FrameSpec{}, 3, {100}, &frames), layer1 = layer2;
    for (size_t pos : frames) layer2[pos + 1] = '\xFD', layer1[pos + 1] = '\xFF';
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
        EXPECT_TRUE(!c.content || SameBytes(ReadFile(path), *c.content)) << c.name;
    }
}

// Whole runs over files the lame command made (each beginning with lame's
// "Info" frame).
class Mp3NormalizeTest : public ChangeMp3GainTest {
protected:
    std::string Make(double level, uint64_t seed, int rate = 44100, int channels = 2,
                     double seconds = 2, bool crc = false, int kbps = 128) {
        const std::string path = Fresh("m"), wav = path + ".wav";
        WriteFile(wav, test::WavFile(Music(seconds, rate, channels, level, seed), rate, channels));
        std::ostringstream cmd;
        cmd << test::Quote(m_lame) << " --quiet -b " << kbps << " --resample " << rate / 1000.0
            << (channels == 1 ? " -m m" : "") << (crc ? " -p " : " ") << test::Quote(wav) << " "
            << test::Quote(path);
        EXPECT_EQ(std::system(cmd.str().c_str()), 0) << cmd.str();
        return path;
    }
    const std::string m_lame = test::RequireTool("lame");
};

// The gains themselves and the change they make: Mp3GainAgreementTest.
TEST_F(Mp3NormalizeTest, OneFileUnderSeveralNamesIsMovedOnce) {
    // "./", a symbolic and a hard link: measured and moved as if named once.
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

TEST_F(Mp3NormalizeTest, MessagesInFileOrderBadFilesSkippedProgressAddsUp) {
    detail::SetMp3AnalysisWorkers(3);
    WriteFile(HomeFile("text.mp3"), "no frames here");
    const std::vector<std::string> files = {HomeFile("missing1.mp3"), Make(0.1, 21, 44100, 2, 4),
                                            HomeFile("text.mp3"), Make(0.1, 22),
                                            HomeFile("missing2.mp3")};
    int64_t sizes = 0, progress = 0;
    for (size_t i : {1, 2, 3}) sizes += int64_t(std::filesystem::file_size(files[i]));
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
    const std::tuple<size_t, int64_t, unsigned> rows[] = {
        {0, 0, 1}, {1, 10, 2}, {2, 30, 4}, {1, 0, 3}};
    for (const auto& [file, frame, workers] : rows) {
        detail::SetMp3AnalysisWorkers(workers);
        const FaultAt fault(files[file], frame);
        testing::internal::CaptureStderr();
        const NormalizeResult r = NormalizeMp3Files(files);
        // Nothing after the corrupt file is reported: the run ended there.
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Error analyzing " + files[file] + ". This mp3 has some very corrupt data.\n");
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
    const std::vector<test::FrameAt> frames = test::WalkFrames(source);
    const std::string oneFrame =
        source.substr(0, frames[2].pos);  // lame's "Info" frame and 1152 samples
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
    const std::vector<test::FrameAt> frames = test::WalkFrames(source);
    test::Rng rng{99};
    std::string garbage = source.substr(frames[1].pos, 4);  // a header, then noise
    for (int i = 0; i < 20000; ++i) garbage += char((rng.Next() + 1) * 127.5);
    std::string scrambled = source;  // every frame's body overwritten
    for (size_t f = 0; f < frames.size(); ++f)
        for (size_t i = frames[f].pos + 4;
             i < (f + 1 < frames.size() ? frames[f + 1].pos : scrambled.size()); ++i)
            scrambled[i] = char((rng.Next() + 1) * 127.5);
    for (const std::string& content : {source.substr(0, frames[30].pos + 100),
                                       source.substr(0, frames[30].pos + 2), garbage, scrambled}) {
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

// The analysis and the gain change against the mp3gain tool, on files at all
// nine rates, mono and stereo, some with checksums, each at its own level.
class Mp3GainAgreementTest : public Mp3NormalizeTest {
protected:
    void SetUp() override {
        Mp3NormalizeTest::SetUp();
        ASSERT_NE(m_mp3gain, "");
        const std::tuple<int, int, int, bool, double> kinds[] = {
            {44100, 2, 128, false, 0.12}, {48000, 1, 96, false, 0.35}, {32000, 2, 128, false, 0.05},
            {24000, 2, 64, false, 0.3},   {22050, 1, 32, false, 0.1},  {16000, 2, 48, false, 0.2},
            {12000, 1, 24, false, 0.4},   {11025, 2, 32, false, 0.15}, {8000, 1, 16, false, 0.25},
            {44100, 1, 64, true, 0.2},    {32000, 2, 128, true, 0.07}, {22050, 1, 32, true, 0.3}};
        uint64_t seed = 1;
        SongTags tags;
        tags.artist = "An artist whose name is longer than thirty characters";
        tags.title = "Tit\xC3\xA9";
        tags.replayGain = ReplayGainValues{-3, 0.5, -2, 0.75};
        for (const auto& [rate, channels, kbps, crc, level] : kinds) {
            m_files.push_back({Make(level, seed++, rate, channels, 2.5, crc, kbps), rate, crc});
            // Every other file opens with the long tag the export writes.
            if (seed % 2 == 0)
                WriteFile(m_files.back().path,
                          RenderId3v2Tag(tags) + ReadFile(m_files.back().path));
        }
    }
    struct File {
        std::string path;
        int rate;
        bool crc;
    };
    std::vector<File> m_files;
    const std::string m_mp3gain = test::RequireTool("mp3gain");
};

// Both roundings of the steps: half away from zero (ours), and half up.
::testing::AssertionResult SameSteps(int theirs, double ourDb) {
    const int halfUp = static_cast<int>(std::floor(ourDb / kStepDb + 0.5));
    if (theirs == GainSteps(ourDb) || theirs == halfUp) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "mp3gain " << theirs << ", ours " << ourDb << " dB";
}

TEST_F(Mp3GainAgreementTest, TrackAndAlbumGainsAgree) {
    // mp3gain cannot decode lame's files with checksums: those are left to
    // the gain change below. Its report "-o": one tab-separated line per
    // file (file, steps, dB), then "Album".
    std::string command = test::Quote(m_mp3gain) + " -o -s s";
    std::vector<std::string> paths;
    for (const File& f : m_files) {
        EXPECT_EQ(test::DecodeMp3File(f.path).rate, f.rate) << f.path;
        if (!f.crc) paths.push_back(f.path), (command += ' ') += test::Quote(f.path);
    }
    std::istringstream report(test::RunTool(command + " 2>/dev/null"));
    struct Line {
        int steps;
        double db;
        double amplitude;  // the largest sample, 32768 is full scale
    };
    std::vector<Line> lines;
    for (std::string line; std::getline(report, line);) {
        std::istringstream fields(line);
        std::string name, steps, db, amplitude;
        if (std::getline(fields, name, '\t') && name != "File" &&
            std::getline(fields, steps, '\t') && std::getline(fields, db, '\t') &&
            std::getline(fields, amplitude, '\t'))
            lines.push_back(
                {std::atoi(steps.c_str()), std::atof(db.c_str()), std::atof(amplitude.c_str())});
    }
    ASSERT_EQ(lines.size(), paths.size() + 1) << command;
    for (size_t i = 0; i < paths.size(); ++i) {
        const double ours = MeasureAlbumGain({paths[i]});
        EXPECT_NEAR(ours, lines[i].db, 0.011) << paths[i];
        EXPECT_TRUE(SameSteps(lines[i].steps, ours)) << paths[i];
    }
    const double album = MeasureAlbumGain(paths);
    for (unsigned workers : {1u, 2u, 5u}) {  // files analysed in parallel: the album is the same
        detail::SetMp3AnalysisWorkers(workers);
        EXPECT_EQ(MeasureAlbumGain(paths), album) << workers;
    }
    EXPECT_NEAR(album, lines.back().db, 0.011);
    EXPECT_TRUE(SameSteps(lines.back().steps, album));
    const NormalizeResult r = NormalizeMp3Files(paths);
    ASSERT_TRUE(r.analysed);
    // The ReplayGain values the tags get: gains and peaks as the tool measures them.
    ASSERT_EQ(r.tracks.size(), paths.size());
    double albumPeak = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(r.tracks[i].path, paths[i]);
        EXPECT_NEAR(r.tracks[i].gain, lines[i].db, 0.011) << paths[i];
        EXPECT_NEAR(r.tracks[i].peak * 32768, lines[i].amplitude, 0.5 + lines[i].amplitude * 1e-4)
            << paths[i];
        albumPeak = std::max(albumPeak, lines[i].amplitude);
    }
    EXPECT_NEAR(r.albumPeak * 32768, albumPeak, 0.5 + albumPeak * 1e-4);
    EXPECT_EQ(r.albumGain, album);
    EXPECT_EQ(r.steps, GainSteps(album));
    ASSERT_NE(r.steps, 0);
    EXPECT_EQ(r.changedFiles, int(paths.size()));
    // Once is enough: a second run finds the album at its aim.
    const std::string once = ReadFile(paths[0]);
    const NormalizeResult again = NormalizeMp3Files(paths);
    ASSERT_TRUE(again.analysed);
    EXPECT_EQ(again.steps + again.changedFiles, 0);
    EXPECT_TRUE(SameBytes(ReadFile(paths[0]), once));
}

TEST_F(Mp3GainAgreementTest, GainChangeIsByteForByteTheToolsChange) {
    for (int steps : {3, -4, 60, -200}) {
        for (const File& f : m_files) {
            const std::string theirs = Fresh("theirs"), ours = Fresh("ours"),
                              original = ReadFile(f.path);
            WriteFile(theirs, original);
            WriteFile(ours, original);
            ASSERT_EQ(
                std::system((test::Quote(m_mp3gain) + " -q -T -s s -g " + std::to_string(steps) +
                             " " + test::Quote(theirs) + " >/dev/null 2>&1")
                                .c_str()),
                0);
            ASSERT_TRUE(ChangeMp3Gain(ours, steps, steps));
            const std::string b = ReadFile(ours);
            EXPECT_NE(b, original) << f.path << " " << steps;
            EXPECT_TRUE(ReadFile(theirs) == b)
                << f.path << " at " << f.rate << " Hz, " << steps << " steps";
        }
    }
}

}  // namespace
}  // namespace wk
