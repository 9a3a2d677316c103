// wavkeep-service seed: the generator's playlist in a service data folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "descriptions/DescriptionStore.h"
#include "platform/GeneratedMusic.h"
#include "recording/SideFileCalculator.h"
#include "service/Seed.h"
#include "service/ServiceData.h"
#include "support/Process.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

const char kHeader[] = "# 0.9\r\n# Default\r\n# _WAVKEEP_STAFF_\r\n";

// Short tracks (3-6 s, pauses 1-2 s) keep the rendering quick.
SeedOptions Options(const std::string& folder, uint32_t seed, int64_t seconds) {
    SeedOptions o;
    o.dataFolder = folder;
    o.seed = seed;
    o.seconds = seconds;
    o.start = DateTime(2024, 3, 9, 21, 15, 7, 250).ToStreamTime();
    o.timing.minTrackSeconds = 3;
    o.timing.maxTrackSeconds = 6;
    o.timing.minPauseSeconds = 1;
    o.timing.maxPauseSeconds = 2;
    return o;
}

// The .fgp bytes of the generator's first `frames` frames, rendered in
// blocks of another size than the seeding uses.
std::vector<uint8_t> ReferenceFingerprint(uint32_t seed, int channels, int64_t frames,
                                          const GeneratorTiming& timing) {
    GeneratedMusic music(seed, 44100, channels, timing);
    SideFileCalculator side(44100, channels);
    std::vector<int16_t> block(1234 * static_cast<size_t>(channels));
    std::vector<uint8_t> bytes;
    for (int64_t done = 0; done < frames;) {
        const int64_t n = std::min<int64_t>(1234, frames - done);
        music.Render(block.data(), n);
        side.AddBlock(std::span<const int16_t>(block.data(), static_cast<size_t>(n * channels)));
        bytes.insert(bytes.end(), side.Fgp().begin(), side.Fgp().end());
        done += n;
    }
    return bytes;
}

StreamTime Ms(StreamTime start, int64_t frame) {
    return start + static_cast<StreamTime>(static_cast<double>(frame) * 1000.0 / 44100.0 + 0.5);
}

TEST(SeedTracksTest, CompleteMusicTracksOfTheLayoutAtTheirTimes) {
    struct Case {
        uint32_t seed;
        int64_t seconds;
        bool shortTiming;
    } const cases[] = {{29, 420, false}, {3, 300, false}, {1, 60, true}, {8, 45, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE("seed " + std::to_string(c.seed));
        SeedOptions o = Options("unused", c.seed, c.seconds);
        if (!c.shortTiming) o.timing = GeneratorTiming{};
        const int64_t frames = c.seconds * 44100;
        const auto all = GeneratedMusic::Layout(c.seed, 44100, frames, o.timing);
        std::vector<GeneratedTrack> expected;
        for (const auto& t : all)
            if (!t.pause && t.endFrame <= frames) expected.push_back(t);
        ASSERT_FALSE(expected.empty());
        EXPECT_GT(all.back().endFrame, frames);  // the layout runs past the seconds

        const std::vector<SeedTrack> tracks = SeedTracks(o);
        ASSERT_EQ(tracks.size(), expected.size());
        for (size_t i = 0; i < tracks.size(); ++i) {
            const SeedTrack& t = tracks[i];
            EXPECT_EQ(t.number, expected[i].number);
            EXPECT_EQ(t.startFrame, expected[i].startFrame);
            EXPECT_EQ(t.endFrame, expected[i].endFrame);
            EXPECT_EQ(t.start, Ms(o.start, t.startFrame));
            EXPECT_EQ(t.end, Ms(o.start, t.endFrame));
            // The snippet begins a second before the track (at frame 0 for
            // the first), on a 10 ms step of the side file.
            const int64_t leadMs = t.startFrame == 0 ? 0 : 1000;
            EXPECT_EQ(t.snippetTime, o.start + 10 * t.snippetByte);
            EXPECT_LE(t.snippetTime, t.start - leadMs);
            EXPECT_GT(t.snippetTime, t.start - leadMs - 11);
        }
    }
}

class SeedFolderTest : public ::testing::Test {
protected:
    std::string Data() const { return m_dir.File("data"); }
    std::string DesPath(const std::string& stream = "Default") const {
        return m_dir.File("data/streams/" + stream + "/generated.des");
    }
    SeedResult Seed(const SeedOptions& o) {
        std::string error;
        SeedResult result;
        EXPECT_TRUE(SeedGeneratorBroadcast(o, &error, &result)) << error;
        return result;
    }
    TempDir m_dir;
};

TEST_F(SeedFolderTest, FileReadsBackWithTheClientsStoreAndHoldsTheBroadcastsFingerprints) {
    struct Case {
        uint32_t seed;
        int channels;
        int64_t errorMs;
    };
    for (const Case& c : {Case{6, 2, 420}, Case{7, 1, -275}}) {
        SCOPED_TRACE("seed " + std::to_string(c.seed));
        SeedOptions o = Options(Data(), c.seed, 24);
        o.channels = c.channels;
        o.offsetErrorMs = c.errorMs;
        const SeedResult result = Seed(o);
        EXPECT_EQ(result.path, DesPath());
        const std::string text = ReadFile(DesPath());
        EXPECT_EQ(text.rfind(kHeader, 0), 0u) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
                  std::count(text.begin(), text.end(), '\r'));

        DescriptionStore store(m_dir.File("data/streams/Default"), "generated");
        ASSERT_TRUE(store.Load());
        EXPECT_EQ(store.header[1], "Default");
        EXPECT_TRUE(store.IsTrusted());
        const std::vector<SeedTrack> tracks = SeedTracks(o);
        ASSERT_GE(tracks.size(), 3u);
        ASSERT_EQ(store.Size(), tracks.size());
        const std::vector<uint8_t> fgp = ReferenceFingerprint(
            c.seed, c.channels, (tracks.back().snippetByte + kSnippetBytes) * 441, o.timing);
        for (size_t i = 0; i < tracks.size(); ++i) {
            const Description& d = *store.Records()[i];
            const SeedTrack& t = tracks[i];
            const std::string n = std::to_string(t.number);
            EXPECT_EQ(d.artist, "Generator Band " + n);
            EXPECT_EQ(d.title, "Track " + n + " of seed " + std::to_string(c.seed));
            EXPECT_FALSE(d.notIdentified);
            // The whole record runs late by the error, its snippet with it.
            EXPECT_EQ(d.start, t.start + c.errorMs);
            EXPECT_EQ(d.end, t.end + c.errorMs);
            EXPECT_EQ(d.fingerprintTime, t.snippetTime + c.errorMs);
            const std::vector<uint8_t> snippet = d.FingerprintBytes();
            ASSERT_EQ(snippet.size(), static_cast<size_t>(kSnippetBytes));
            ASSERT_LE(t.snippetByte + kSnippetBytes, static_cast<int64_t>(fgp.size()));
            EXPECT_TRUE(std::equal(snippet.begin(), snippet.end(), fgp.begin() + t.snippetByte))
                << "track " << n;
            EXPECT_EQ(result.records[i].ToLine(), d.ToLine());
        }
        // A snippet is the music's own shape: not flat.
        const std::vector<uint8_t> first = store.Records()[1]->FingerprintBytes();
        EXPECT_NE(std::count(first.begin(), first.end(), first[399]), kSnippetBytes);
    }
}

TEST_F(SeedFolderTest, ChannelListGainsTheStreamOnce) {
    fs::create_directories(Data());
    const std::string listed = "# ours\nRadio One\tOne\t7\nMusic TV\tTwo\t12\tx\n";
    WriteFile(Data() + "/channels.txt", listed);
    SeedOptions o = Options(Data(), 2, 10);
    o.stream = "Generator FM";
    EXPECT_TRUE(Seed(o).channelAdded);
    EXPECT_EQ(ReadFile(Data() + "/channels.txt"), listed + "Generator FM\tOne\t13\n");
    EXPECT_TRUE(fs::exists(DesPath("Generator FM")));

    o.stream = "generator fm";  // again, in other case: listed already
    EXPECT_FALSE(Seed(o).channelAdded);
    EXPECT_EQ(ReadFile(Data() + "/channels.txt"), listed + "Generator FM\tOne\t13\n");

    TempDir other;  // a fresh folder gets a list of its own
    o.dataFolder = other.File("fresh/data");
    Seed(o);
    EXPECT_EQ(ReadFile(other.File("fresh/data/channels.txt")), "generator fm\tOne\t1\n");
    EXPECT_EQ(ServiceData(other.File("fresh/data")).ChannelLines(),
              std::vector<std::string>{"generator fm\tOne\t1"});
}

TEST_F(SeedFolderTest, NoCompleteTrackGivesAnEmptyPlaylist) {
    SeedOptions o = Options(Data(), 29, 120);  // its first track lasts 122 s
    o.timing = GeneratorTiming{};
    EXPECT_TRUE(Seed(o).records.empty());
    EXPECT_EQ(ReadFile(DesPath()), kHeader);
}

TEST(SeedOptionsTest, UnusableOptionsAreRefusedWithAReason) {
    struct Case {
        const char* what;
        void (*change)(SeedOptions&);
    } const cases[] = {
        {"no folder", [](SeedOptions& o) { o.dataFolder.clear(); }},
        {"empty stream", [](SeedOptions& o) { o.stream.clear(); }},
        {"stream with slash", [](SeedOptions& o) { o.stream = "../etc"; }},
        {"stream with tab", [](SeedOptions& o) { o.stream = "a\tb"; }},
        {"hidden stream", [](SeedOptions& o) { o.stream = ".x"; }},
        {"no time", [](SeedOptions& o) { o.seconds = 0; }},
        {"more than a day", [](SeedOptions& o) { o.seconds = kSeedMaxSeconds + 1; }},
        {"start before 2000", [](SeedOptions& o) { o.start = -1; }},
        {"error too big", [](SeedOptions& o) { o.offsetErrorMs = kSeedMaxOffsetErrorMs + 1; }},
        {"error too small", [](SeedOptions& o) { o.offsetErrorMs = -kSeedMaxOffsetErrorMs - 1; }},
        {"three channels", [](SeedOptions& o) { o.channels = 3; }},
        {"file not .des", [](SeedOptions& o) { o.fileName = "generated.txt"; }},
        {"file in a folder", [](SeedOptions& o) { o.fileName = "a/b.des"; }},
        {"file only extension", [](SeedOptions& o) { o.fileName = ".des"; }},
    };
    TempDir dir;
    SeedOptions good = Options(dir.File("data"), 1, kSeedMaxSeconds);
    good.offsetErrorMs = kSeedMaxOffsetErrorMs;
    EXPECT_EQ(CheckSeedOptions(good), "");
    for (const Case& c : cases) {
        SeedOptions o = Options(dir.File("data"), 1, 2);
        c.change(o);
        std::string error;
        EXPECT_FALSE(SeedGeneratorBroadcast(o, &error)) << c.what;
        EXPECT_NE(error, "") << c.what;
        EXPECT_EQ(error, CheckSeedOptions(o)) << c.what;
    }
    EXPECT_FALSE(fs::exists(dir.File("data"))) << "nothing written for refused options";

    WriteFile(dir.File("file"), "x");  // a folder that cannot be made
    std::string error;
    EXPECT_FALSE(SeedGeneratorBroadcast(Options(dir.File("file/data"), 1, 1), &error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

TEST(SeedTimeTest, ServerTimeTexts) {
    const std::pair<const char*, DateTime> good[] = {
        {"09/03/2024 21:15:07", DateTime(2024, 3, 9, 21, 15, 7, 0)},
        {"09/03/2024  21:15:07.250", DateTime(2024, 3, 9, 21, 15, 7, 250)},
        {"29/02/2024 00:00:00.001", DateTime(2024, 2, 29, 0, 0, 0, 1)}};
    for (const auto& [text, expected] : good) {
        EXPECT_EQ(ParseSeedTime(text), std::optional(expected.ToStreamTime())) << text;
    }
    for (const char* text :
         {"29/02/2023 00:00:00", "09/13/2024 21:15:07", "09/03/2024 24:00:00",
          "09/03/2024 21:60:00", "09/03/2024   21:15:07", "09/03/2024T21:15:07",
          "2024-03-09 21:15:07", "09/03/2024 21:15:07.25", "09/03/2024 21:15:07 ",
          "9/03/2024 21:15:07", "09/03/1999 21:15:07", ""})
        EXPECT_FALSE(ParseSeedTime(text).has_value()) << text;
}

// The command line, through the built executable.
class SeedCommandTest : public ::testing::Test {
protected:
    int Run(std::vector<std::string> args) {
        args.insert(args.begin(), WAVKEEP_SERVICE_EXE);
        return test::RunProgram(args, m_io.File("out"), m_io.File("err"));
    }
    std::string Out() const { return ReadFile(m_io.File("out")); }
    std::string Err() const { return ReadFile(m_io.File("err")); }
    TempDir m_io;
    TempDir m_dir;
};

TEST_F(SeedCommandTest, WritesThePlaylist) {
    const std::string data = m_dir.File("data");
    // Seed 29's first track lasts 122 s, its second ends after 398 s.
    ASSERT_EQ(Run({"seed", "--data", data, "--seed", "29", "--start", "09/03/2024 21:15:07.250",
                   "--minutes", "3", "--stream", "Gen FM", "--offset-error-ms", "-350"}),
              0)
        << Err();
    EXPECT_EQ(Out(), "1 description of generator seed 29 written to " + data +
                         "/streams/Gen FM/generated.des\nchannel \"Gen FM\" added\n");
    // The records the options stand for: seed, start, stream and error arrived.
    SeedOptions o = Options(data, 29, 180);
    o.timing = GeneratorTiming{};
    o.stream = "Gen FM";
    o.offsetErrorMs = -350;
    const std::vector<Description> expected = SeedDescriptions(o);
    DescriptionStore store(data + "/streams/Gen FM", "generated");
    ASSERT_TRUE(store.Load());
    ASSERT_EQ(store.Size(), 1u);
    ASSERT_EQ(expected.size(), 1u);
    EXPECT_EQ(store.Records()[0]->ToLine(), expected[0].ToLine());
    EXPECT_EQ(ReadFile(data + "/channels.txt"), "Gen FM\tOne\t1\n");
}

TEST_F(SeedCommandTest, BadArgumentsExitTwoWithAMessage) {
    const std::string data = m_dir.File("data");
    const std::vector<std::string> good = {
        "seed", "--data", data, "--seed", "3", "--start", "09/03/2024 21:15:07", "--minutes", "3"};
    // `good` with argument `index` set to `value`, or without the option at
    // `index` (empty value), or with `more` after it.
    const auto with = [&](size_t index, const char* value, std::vector<std::string> more = {}) {
        std::vector<std::string> args = good;
        const auto at = args.begin() + static_cast<std::ptrdiff_t>(index);
        if (*value) {
            *at = value;
        } else if (index > 0) {
            args.erase(at, at + 2);
        }
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    struct Case {
        const char* what;
        std::vector<std::string> args;
        const char* message;
    };
    std::vector<Case> cases = {
        {"no data", with(1, ""), "--data"},
        {"no seed", with(3, ""), "--seed"},
        {"no start", with(5, ""), "--start"},
        {"no minutes", with(7, ""), "--minutes"},
        {"seed not a number", with(4, "three"), "--seed"},
        {"negative seed", with(4, "-1"), "--seed"},
        {"seed too big", with(4, "4294967296"), "--seed"},
        {"impossible start", with(6, "31/04/2024 21:15:07"), "--start"},
        {"zero minutes", with(8, "0"), "--minutes"},
        {"minutes not a number", with(8, "ten"), "--minutes"},
        {"unsafe stream", with(0, "", {"--stream", "../up"}), "stream"},
        {"serving option", with(0, "", {"--listen", "127.0.0.1:0"}), "--listen"},
        {"unknown subcommand", with(0, "sow"), "sow"},
    };
    // The service's clock offset: at most a day either way.
    for (const char* offset : {"nan", "inf", "1e30", "86400.5"}) {
        std::vector<std::string> args = {"--clock-offset", offset};
        args.insert(args.end(), good.begin(), good.end());
        cases.push_back({offset, args, "--clock-offset"});
    }
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.args), 2) << c.what;
        EXPECT_NE(Err().find(c.message), std::string::npos) << c.what << ": " << Err();
    }
    EXPECT_FALSE(fs::exists(data)) << "nothing written";
    ASSERT_EQ(Run(good), 0) << Err();
    EXPECT_TRUE(fs::exists(data + "/streams/Default/generated.des"));
}

}  // namespace
}  // namespace wk
