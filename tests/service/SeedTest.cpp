// wavkeep-service seed: the generator's playlist in a service data folder.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "descriptions/DescriptionStore.h"
#include "platform/GeneratedMusic.h"
#include "recording/SideFileCalculator.h"
#include "service/Seed.h"
#include "service/ServiceData.h"
#include "service/ServiceHandlers.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Short tracks keep the rendering quick and give several tracks in seconds.
GeneratorTiming ShortTiming() {
    GeneratorTiming t;
    t.minTrackSeconds = 3;
    t.maxTrackSeconds = 6;
    t.minPauseSeconds = 1;
    t.maxPauseSeconds = 2;
    return t;
}

SeedOptions Options(const std::string& folder, uint32_t seed, int64_t seconds) {
    SeedOptions o;
    o.dataFolder = folder;
    o.seed = seed;
    o.seconds = seconds;
    o.start = DateTime(2024, 3, 9, 21, 15, 7, 250).ToStreamTime();
    o.timing = ShortTiming();
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

struct LayoutCase {
    uint32_t seed;
    int64_t seconds;
    bool shortTiming;
};

TEST(SeedTracksTest, CompleteMusicTracksOfTheLayoutAtTheirTimes) {
    const LayoutCase cases[] = {{29, 420, false}, {3, 300, false}, {1, 60, true}, {8, 45, true}};
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE("seed " + std::to_string(c.seed));
        SeedOptions o = Options("unused", c.seed, c.seconds);
        if (!c.shortTiming) o.timing = GeneratorTiming{};
        const int64_t frames = c.seconds * 44100;
        std::vector<GeneratedTrack> expected;
        for (const auto& t : GeneratedMusic::Layout(c.seed, 44100, frames, o.timing))
            if (!t.pause && t.endFrame <= frames) expected.push_back(t);
        ASSERT_FALSE(expected.empty());

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
            EXPECT_EQ(t.snippetByte, (t.startFrame - leadMs * 441 / 10) / 441);
            EXPECT_EQ(t.snippetTime, o.start + 10 * t.snippetByte);
            EXPECT_LE(t.snippetTime, t.start - leadMs);
            EXPECT_GT(t.snippetTime, t.start - leadMs - 11);
        }
        // The track after the last one does not end within the seconds.
        const auto all = GeneratedMusic::Layout(c.seed, 44100, frames, o.timing);
        EXPECT_GT(all.back().endFrame, frames);
    }
}

class SeedFolderTest : public ::testing::Test {
protected:
    std::string Data() const { return m_dir.File("data"); }
    std::string DesPath(const std::string& stream = "Default") const {
        return m_dir.File("data/streams/" + stream + "/generated.des");
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
        std::string error;
        SeedResult result;
        ASSERT_TRUE(SeedGeneratorBroadcast(o, &error, &result)) << error;
        EXPECT_EQ(result.path, DesPath());

        const std::string text = ReadFile(DesPath());
        EXPECT_EQ(text.rfind("# 0.9\r\n# Default\r\n# _WAVKEEP_STAFF_\r\n", 0), 0u) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
                  std::count(text.begin(), text.end(), '\r'));

        DescriptionStore store(m_dir.File("data/streams/Default"), "generated");
        ASSERT_TRUE(store.Load());
        EXPECT_EQ(store.header[0], "0.9");
        EXPECT_EQ(store.header[1], "Default");
        EXPECT_TRUE(store.IsTrusted());

        const std::vector<SeedTrack> tracks = SeedTracks(o);
        ASSERT_GE(tracks.size(), 3u);
        ASSERT_EQ(store.Size(), tracks.size());
        int64_t lastByte = 0;
        for (const auto& t : tracks) lastByte = std::max(lastByte, t.snippetByte + kSnippetBytes);
        const std::vector<uint8_t> fgp =
            ReferenceFingerprint(c.seed, c.channels, lastByte * 441, o.timing);
        ASSERT_EQ(static_cast<int64_t>(fgp.size()), lastByte);

        for (size_t i = 0; i < tracks.size(); ++i) {
            const Description& d = *store.Records()[i];
            const SeedTrack& t = tracks[i];
            const std::string n = std::to_string(t.number);
            EXPECT_EQ(d.artist, "Generator Band " + n);
            EXPECT_EQ(d.title, "Track " + n + " of seed " + std::to_string(c.seed));
            EXPECT_FALSE(d.album.empty());
            EXPECT_EQ(d.year.size(), 4u);
            EXPECT_GE(d.genre, 0);
            EXPECT_FALSE(d.notIdentified);
            // The whole record runs late by the error, its snippet with it.
            EXPECT_EQ(d.start, t.start + c.errorMs);
            EXPECT_EQ(d.end, t.end + c.errorMs);
            EXPECT_EQ(d.fingerprintTime, t.snippetTime + c.errorMs);
            const std::vector<uint8_t> snippet = d.FingerprintBytes();
            ASSERT_EQ(snippet.size(), static_cast<size_t>(kSnippetBytes));
            const auto from = fgp.begin() + t.snippetByte;
            EXPECT_TRUE(std::equal(snippet.begin(), snippet.end(), from)) << "track " << n;
            EXPECT_EQ(result.records[i].ToLine(), d.ToLine());
        }
        // A snippet is the music's own shape: not flat.
        const std::vector<uint8_t> first = store.Records()[1]->FingerprintBytes();
        EXPECT_NE(std::count(first.begin(), first.end(), first[399]), kSnippetBytes);
    }
}

TEST_F(SeedFolderTest, ChannelListGainsTheStreamOnce) {
    fs::create_directories(Data());
    WriteFile(Data() + "/channels.txt", "# ours\nRadio One\tOne\t7\nMusic TV\tTwo\t12\tx\n");
    SeedOptions o = Options(Data(), 2, 10);
    o.stream = "Generator FM";
    std::string error;
    SeedResult result;
    ASSERT_TRUE(SeedGeneratorBroadcast(o, &error, &result)) << error;
    EXPECT_TRUE(result.channelAdded);
    const std::string expected =
        "# ours\nRadio One\tOne\t7\nMusic TV\tTwo\t12\tx\nGenerator FM\tOne\t13\n";
    EXPECT_EQ(ReadFile(Data() + "/channels.txt"), expected);
    EXPECT_TRUE(fs::exists(DesPath("Generator FM")));

    // Again, and with the name in other case: listed already.
    o.stream = "generator fm";
    ASSERT_TRUE(SeedGeneratorBroadcast(o, &error, &result)) << error;
    EXPECT_FALSE(result.channelAdded);
    EXPECT_EQ(ReadFile(Data() + "/channels.txt"), expected);

    // A fresh folder gets a list of its own.
    TempDir other;
    o.dataFolder = other.File("fresh/data");
    ASSERT_TRUE(SeedGeneratorBroadcast(o, &error, &result)) << error;
    EXPECT_EQ(ReadFile(other.File("fresh/data/channels.txt")), "generator fm\tOne\t1\n");
    EXPECT_EQ(ServiceData(other.File("fresh/data")).ChannelLines(),
              std::vector<std::string>{"generator fm\tOne\t1"});
}

TEST_F(SeedFolderTest, NoCompleteTrackGivesAnEmptyPlaylist) {
    SeedOptions o = Options(Data(), 29, 120);  // its first track lasts 122 s
    o.timing = GeneratorTiming{};
    std::string error;
    SeedResult result;
    ASSERT_TRUE(SeedGeneratorBroadcast(o, &error, &result)) << error;
    EXPECT_TRUE(result.records.empty());
    EXPECT_EQ(ReadFile(DesPath()), "# 0.9\r\n# Default\r\n# _WAVKEEP_STAFF_\r\n");
}

TEST_F(SeedFolderTest, ServiceAnswersAPlaylistRequestWithTheSeededRecords) {
    SeedOptions o = Options(Data(), 11, 30);
    o.offsetErrorMs = 300;
    std::string error;
    SeedResult result;
    ASSERT_TRUE(SeedGeneratorBroadcast(o, &error, &result)) << error;
    ASSERT_GE(result.records.size(), 4u);

    ManualClock clock(DateTime(2024, 3, 9, 22, 0, 0));
    ServiceData data(Data());
    ServiceHandlers handlers(data, clock, 0.0);
    // A stretch that holds the second and third track only.
    const Description& second = result.records[1];
    const Description& third = result.records[2];
    const std::string body =
        "a=dofp&srcname=Default&srctype=1&timestampstart=" +
        DateTime::FromStreamTime(second.start + 1000).LongText() +
        "&timestampend=" + DateTime::FromStreamTime(third.end - 1000).LongText();
    const ServiceAnswer answer = handlers.Handle(FormFields::Parse("", body));
    EXPECT_EQ(answer.body, "# 0.9\n# Default\n# _WAVKEEP_STAFF_\n" + second.ToLine() + "\n" +
                               third.ToLine() + "\n");
}

TEST(SeedOptionsTest, UnusableOptionsAreRefusedWithAReason) {
    struct Case {
        const char* what;
        void (*change)(SeedOptions&);
    };
    const Case cases[] = {
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
    SeedOptions good = Options(dir.File("data"), 1, 2);
    good.offsetErrorMs = kSeedMaxOffsetErrorMs;
    good.seconds = kSeedMaxSeconds;
    EXPECT_EQ(CheckSeedOptions(good), "");
    for (const Case& c : cases) {
        SeedOptions o = Options(dir.File("data"), 1, 2);
        c.change(o);
        EXPECT_NE(CheckSeedOptions(o), "") << c.what;
        std::string error;
        EXPECT_FALSE(SeedGeneratorBroadcast(o, &error)) << c.what;
        EXPECT_EQ(error, CheckSeedOptions(o)) << c.what;
    }
    EXPECT_FALSE(fs::exists(dir.File("data"))) << "nothing written for refused options";
}

TEST(SeedOptionsTest, UnwritableFolderFails) {
    TempDir dir;
    WriteFile(dir.File("file"), "x");
    SeedOptions o = Options(dir.File("file/data"), 1, 1);
    std::string error;
    EXPECT_FALSE(SeedGeneratorBroadcast(o, &error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

TEST(SeedTimeTest, ServerTimeTexts) {
    struct Case {
        const char* text;
        bool ok;
        DateTime expected;
    };
    const Case cases[] = {
        {"09/03/2024 21:15:07", true, DateTime(2024, 3, 9, 21, 15, 7, 0)},
        {"09/03/2024  21:15:07.250", true, DateTime(2024, 3, 9, 21, 15, 7, 250)},
        {"29/02/2024 00:00:00.001", true, DateTime(2024, 2, 29, 0, 0, 0, 1)},
        {"29/02/2023 00:00:00", false, {}},
        {"09/13/2024 21:15:07", false, {}},
        {"09/03/2024 24:00:00", false, {}},
        {"09/03/2024 21:60:00", false, {}},
        {"09/03/2024   21:15:07", false, {}},
        {"09/03/2024T21:15:07", false, {}},
        {"2024-03-09 21:15:07", false, {}},
        {"09/03/2024 21:15:07.25", false, {}},
        {"09/03/2024 21:15:07 ", false, {}},
        {"9/03/2024 21:15:07", false, {}},
        {"09/03/1999 21:15:07", false, {}},
        {"", false, {}},
    };
    for (const Case& c : cases) {
        const auto t = ParseSeedTime(c.text);
        EXPECT_EQ(t.has_value(), c.ok) << c.text;
        if (t && c.ok) {
            EXPECT_EQ(*t, c.expected.ToStreamTime()) << c.text;
        }
    }
}

// The command line, through the built executable.
class SeedCommandTest : public ::testing::Test {
protected:
    int Run(const std::vector<std::string>& args) {
        std::string cmd = "'" WAVKEEP_SERVICE_EXE "'";
        for (const auto& a : args) cmd.append(" '").append(a).append("'");
        cmd.append(" >'").append(m_io.File("out")).append("' 2>'").append(m_io.File("err"));
        cmd.append("'");
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
    DescriptionStore store(data + "/streams/Gen FM", "generated");
    ASSERT_TRUE(store.Load());
    SeedOptions o;
    o.seed = 29;
    o.seconds = 180;
    o.start = DateTime(2024, 3, 9, 21, 15, 7, 250).ToStreamTime();
    const std::vector<SeedTrack> tracks = SeedTracks(o);
    ASSERT_EQ(store.Size(), 1u);
    ASSERT_EQ(tracks.size(), 1u);
    for (size_t i = 0; i < tracks.size(); ++i) {
        EXPECT_EQ(store.Records()[i]->start, tracks[i].start - 350);
        EXPECT_EQ(store.Records()[i]->fingerprintTime, tracks[i].snippetTime - 350);
    }
    EXPECT_EQ(ReadFile(data + "/channels.txt"), "Gen FM\tOne\t1\n");
    // The help names the subcommand and its options.
    ASSERT_EQ(Run({"seed", "--help"}), 0);
    for (const char* option :
         {"--data", "--seed", "--start", "--minutes", "--stream", "--offset-error-ms"})
        EXPECT_NE(Out().find(option), std::string::npos) << option;
    ASSERT_EQ(Run({"--help"}), 0);
    EXPECT_NE(Out().find("seed"), std::string::npos);
}

TEST_F(SeedCommandTest, BadArgumentsExitTwoWithAMessage) {
    const std::string data = m_dir.File("data");
    const std::vector<std::string> good = {
        "seed", "--data", data, "--seed", "3", "--start", "09/03/2024 21:15:07", "--minutes", "3"};
    struct Case {
        const char* what;
        std::vector<std::string> args;
        const char* message;
    };
    const auto with = [&](size_t index, const std::string& value) {
        std::vector<std::string> args = good;
        args[index] = value;
        return args;
    };
    const auto plus = [&](const std::vector<std::string>& more) {
        std::vector<std::string> args = good;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const auto without = [&](size_t index) {
        std::vector<std::string> args = good;
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(index),
                   args.begin() + static_cast<std::ptrdiff_t>(index) + 2);
        return args;
    };
    const Case cases[] = {
        {"no data", without(1), "--data"},
        {"no seed", without(3), "--seed"},
        {"no start", without(5), "--start"},
        {"no minutes", without(7), "--minutes"},
        {"seed not a number", with(4, "three"), "--seed"},
        {"negative seed", with(4, "-1"), "--seed"},
        {"seed too big", with(4, "4294967296"), "--seed"},
        {"start in another form", with(6, "2024-03-09 21:15:07"), "--start"},
        {"impossible start", with(6, "31/04/2024 21:15:07"), "--start"},
        {"zero minutes", with(8, "0"), "--minutes"},
        {"more than a day", with(8, "1441"), "--minutes"},
        {"minutes not a number", with(8, "ten"), "--minutes"},
        {"unsafe stream", plus({"--stream", "../up"}), "stream"},
        {"error beyond an hour", plus({"--offset-error-ms", "3600001"}), "offset error"},
        {"serving option", plus({"--listen", "127.0.0.1:0"}), "--listen"},
        {"unknown subcommand", {"sow", "--data", data}, "sow"},
    };
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
