// The analysis and the gain change against the mp3gain tool on the same
// files, made by the lame command. Skipped when either tool is missing.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "export/Mp3Normalize.h"
#include "support/Mp3Decode.h"
#include "support/TempHome.h"

namespace wk {
namespace {

using test::ReadFile;
using test::WriteFile;

bool HaveCommand(const std::string& name) {
    return std::system((std::string("command -v ") += name + " >/dev/null 2>&1").c_str()) == 0;
}

// Standard output of a shell command; standard error is dropped.
std::string RunCommand(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen((std::string(command) += " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return out;
    char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
    ::pclose(pipe);
    return out;
}

std::string Quote(const std::string& path) {
    return (std::string("'") += path) += "'";
}

// Interleaved 16-bit audio: two tones and noise at `level` of full scale.
std::vector<int16_t> Music(double seconds, int rate, int channels, double level, uint32_t seed) {
    const auto frames = static_cast<size_t>(seconds * rate);
    std::vector<int16_t> pcm;
    uint32_t s = seed * 2654435761u + 1;
    double lp[2] = {0, 0};
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        const double tone = 9000 * std::sin(2 * M_PI * (180 + seed * 40) * t) +
                            5000 * std::sin(2 * M_PI * 1250 * t) * (0.5 + 0.5 * std::sin(2 * t));
        for (int c = 0; c < channels; ++c) {
            s = s * 1664525u + 1013904223u;
            lp[c] = 0.7 * lp[c] + 0.3 * ((double(s >> 8) / 8388608.0 - 1.0) * 12000);
            const double v = level * (tone + lp[c]);
            pcm.push_back(static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, v))));
        }
    }
    return pcm;
}

void WriteWav(const std::string& path, const std::vector<int16_t>& pcm, int rate, int channels) {
    std::string w = "RIFF";
    auto put = [&w](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) w += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    const auto data = static_cast<uint32_t>(pcm.size() * 2);
    put(36 + data, 4);
    w += "WAVEfmt ";
    put(16, 4);
    put(1, 2);
    put(static_cast<uint32_t>(channels), 2);
    put(static_cast<uint32_t>(rate), 4);
    put(static_cast<uint32_t>(rate * channels * 2), 4);
    put(static_cast<uint32_t>(channels * 2), 2);
    put(16, 2);
    w += "data";
    put(data, 4);
    for (int16_t v : pcm) put(static_cast<uint16_t>(v), 2);
    WriteFile(path, w);
}

struct Mp3gainLine {
    int steps = 0;
    double db = 0;
};

// The tab-separated report of "mp3gain -o": one line per file, then "Album".
std::vector<Mp3gainLine> ParseReport(const std::string& report) {
    std::vector<Mp3gainLine> lines;
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line)) {
        const size_t tab1 = line.find('\t');
        if (tab1 == std::string::npos || line.compare(0, tab1, "File") == 0) continue;
        const size_t tab2 = line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos) continue;
        Mp3gainLine l;
        l.steps = std::atoi(line.substr(tab1 + 1, tab2 - tab1 - 1).c_str());
        l.db = std::atof(line.substr(tab2 + 1).c_str());
        lines.push_back(l);
    }
    return lines;
}

class Mp3GainAgreementTest : public test::TempHomeTest {
protected:
    // Files at all nine rates, mono and stereo, some with checksums, each at
    // its own level, encoded by lame (with its "Info" frame).
    void SetUp() override {
        test::TempHomeTest::SetUp();
        if (!HaveCommand("mp3gain") || !HaveCommand("lame"))
            GTEST_SKIP() << "mp3gain or lame is not installed";
        struct Kind {
            int rate, channels, kbps;
            bool crc;
            double level;
        } const kinds[] = {
            {44100, 2, 128, false, 0.12}, {48000, 1, 96, false, 0.35}, {32000, 2, 128, false, 0.05},
            {24000, 2, 64, false, 0.3},   {22050, 1, 32, false, 0.1},  {16000, 2, 48, false, 0.2},
            {12000, 1, 24, false, 0.4},   {11025, 2, 32, false, 0.15}, {8000, 1, 16, false, 0.25},
            {44100, 1, 64, true, 0.2},    {32000, 2, 128, true, 0.07}, {22050, 1, 32, true, 0.3}};
        uint32_t seed = 1;
        for (const Kind& k : kinds) {
            const std::string wav = HomeFile(std::to_string(seed) + ".wav");
            const std::string path = HomeFile(std::to_string(seed) + ".mp3");
            WriteWav(wav, Music(2.5, k.rate, k.channels, k.level, seed), k.rate, k.channels);
            std::ostringstream cmd;
            cmd << "lame --quiet -b " << k.kbps << " --resample " << k.rate / 1000.0
                << (k.channels == 1 ? " -m m" : "") << (k.crc ? " -p " : " ") << Quote(wav) << " "
                << Quote(path);
            ASSERT_EQ(std::system(cmd.str().c_str()), 0) << cmd.str();
            m_files.push_back({path, k.rate, k.crc});
            ++seed;
        }
    }

    struct File {
        std::string path;
        int rate;
        bool crc;
    };
    std::vector<File> m_files;
};

// Both roundings of the steps: half away from zero (ours), and half up.
::testing::AssertionResult SameSteps(int theirs, double ourDb) {
    const int ours = GainSteps(ourDb);
    const int halfUp = static_cast<int>(std::floor(ourDb / (5 * std::log10(2.0)) + 0.5));
    if (theirs == ours || theirs == halfUp) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "mp3gain " << theirs << ", ours " << ours << " from " << ourDb << " dB";
}

TEST_F(Mp3GainAgreementTest, TrackAndAlbumGainsAgree) {
    // mp3gain cannot decode lame's files with checksums: those are left to
    // the gain change below.
    std::vector<File> files;
    std::string command = "mp3gain -o -s s";
    std::vector<std::string> paths;
    for (const File& f : m_files) {
        EXPECT_EQ(test::DecodeMp3File(f.path).rate, f.rate) << f.path;
        if (f.crc) continue;
        files.push_back(f);
        (command += " ") += Quote(f.path);
        paths.push_back(f.path);
    }
    const std::vector<Mp3gainLine> report = ParseReport(RunCommand(command));
    ASSERT_EQ(report.size(), files.size() + 1) << command;
    for (size_t i = 0; i < files.size(); ++i) {
        const double ours = MeasureAlbumGain({files[i].path});
        EXPECT_NEAR(ours, report[i].db, 0.011) << files[i].path << " at " << files[i].rate;
        EXPECT_TRUE(SameSteps(report[i].steps, ours)) << files[i].path;
    }
    const double album = MeasureAlbumGain(paths);
    EXPECT_NEAR(album, report.back().db, 0.011);
    EXPECT_TRUE(SameSteps(report.back().steps, album));
    const NormalizeResult r = NormalizeMp3Files(paths);
    ASSERT_TRUE(r.analysed);
    EXPECT_EQ(r.albumGain, album);
    EXPECT_EQ(r.changedFiles, int(files.size()));
}

TEST_F(Mp3GainAgreementTest, GainChangeIsByteForByteTheToolsChange) {
    int copies = 0;
    for (int steps : {3, -4, 60, -200}) {
        for (const File& f : m_files) {
            // New names each time: rewriting a file in place costs a flush to
            // disk on some file systems.
            ++copies;
            const std::string theirs = HomeFile(std::to_string(copies) + "-theirs.mp3");
            const std::string ours = HomeFile(std::to_string(copies) + "-ours.mp3");
            const std::string original = ReadFile(f.path);
            WriteFile(theirs, original);
            WriteFile(ours, original);
            std::string command = "mp3gain -q -T -s s -g ";
            ((command += std::to_string(steps)) += " ") += Quote(theirs);
            ASSERT_EQ(std::system((command += " >/dev/null 2>&1").c_str()), 0);
            ASSERT_TRUE(ChangeMp3Gain(ours, steps, steps));
            const std::string a = ReadFile(theirs), b = ReadFile(ours);
            EXPECT_NE(b, original) << f.path << " " << steps;
            EXPECT_TRUE(a == b) << f.path << " at " << f.rate << " Hz, " << steps << " steps";
        }
    }
}

}  // namespace
}  // namespace wk
