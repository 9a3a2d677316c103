// "wavkeep record" and "wavkeep schedule" end to end, through the real
// executable, on generated input (no sound card, no wall clock).

#include <signal.h>

#include <cmath>
#include <filesystem>
#include <set>

#include "WavkeepRun.h"
#include "platform/WavReader.h"
#include "support/Mp3Decode.h"
#include "support/Regex.h"

namespace wk {
namespace {

namespace fs = std::filesystem;

class RecordCommandTest : public test::WavkeepRunTest {
protected:
    std::string ChunkFile(const std::string& name, const char* extension = nullptr) const {
        const std::string file =
            extension ? fs::path(name).replace_extension(extension).string() : name;
        return m_home.File("Streams/Default/" + file);
    }
    void WriteToneWav(const std::string& path, int seconds) {
        std::string bytes = WavHeader(44100, 2, int64_t{seconds} * 44100);
        for (int i = 0; i < seconds * 44100; ++i) {
            const auto v = static_cast<int16_t>(9000 * std::sin(i * 0.0571));
            const char frame[4] = {char(v & 0xFF), char((v >> 8) & 0xFF), char(v & 0xFF),
                                   char((v >> 8) & 0xFF)};
            bytes.append(frame, 4);
        }
        test::WriteFile(path, bytes);
    }
    bool SetConfig(const std::vector<std::pair<const char*, const char*>>& values) {
        for (const auto& [key, value] : values)
            if (Run({"config", "set", key, value}) != 0) return false;
        return true;
    }
};

TEST_F(RecordCommandTest, TwentyFiveSecondsOfAFileMakeThreeChunks) {
    WriteToneWav(m_io.File("x.wav"), 40);
    ASSERT_TRUE(SetConfig({{"Encoder", "Lame encoder"}}));
    ASSERT_EQ(Run({"record", "--for", "25", "--input", "file:" + m_io.File("x.wav")}), 0) << Err();
    const auto names = Chunks(".mp3");
    ASSERT_EQ(names.size(), 3u);
    const std::string shape(R"(\d{4}_\d\d_\d\d_\d\d_\d\d_\d\d_25_10_(\d)\.mp3)");
    std::string all;
    for (int n = 1; n <= 3; ++n) {
        std::vector<std::string> m;
        const std::string& name = names[size_t(n - 1)];
        EXPECT_TRUE(test::RegexMatch(name, shape, &m) && m[1] == std::to_string(n)) << name;
        all += test::ReadFile(ChunkFile(name));
        // The cuts follow the block arithmetic: 383 blocks of 1152 frames per
        // 10-second chunk, so 1000 fingerprint bytes each, 1001 wave bytes in
        // the first (a wave byte at a step's start, a fingerprint at its end).
        const auto fgp = fs::file_size(ChunkFile(name, ".fgp"));
        const auto dat = fs::file_size(ChunkFile(name, ".dat"));
        if (n < 3) {
            EXPECT_EQ(fgp, 1000u);
            EXPECT_EQ(dat, n == 1 ? 1001u : 1000u);
        } else {
            EXPECT_NEAR(double(fgp), 500.0, 3.0);
        }
    }
    test::WriteFile(m_io.File("all.mp3"), all);
    const test::DecodedMp3 decoded = test::DecodeMp3File(m_io.File("all.mp3"));
    EXPECT_EQ(decoded.errors, 0);
    EXPECT_NEAR(double(decoded.samplesPerChannel), 25.0 * 44100, 1152.0);
    // The short last chunk is part of the stream.
    ASSERT_EQ(Run({"info"}), 0);
    EXPECT_NE(Out().find("(0:00:25)"), std::string::npos) << Out();
}

TEST_F(RecordCommandTest, BadInputIsRefusedBeforeAnyChunk) {
    test::WriteFile(m_io.File("mono.wav"), WavHeader(44100, 1, 100) + std::string(200, '\0'));
    test::WriteFile(m_io.File("junk.wav"), "this is no wave file at all");
    for (const char* name : {"mono.wav", "junk.wav", "missing.wav"}) {
        EXPECT_EQ(Run({"record", "--for", "5", "--input", "file:" + m_io.File(name)}), 1) << name;
        EXPECT_FALSE(Err().empty()) << name;
    }
    EXPECT_EQ(Run({"record", "--input", "tape:deck"}), 2);
    // Chunk names that could not be read back are refused before the input
    // is looked at.
    const std::string missing = "file:" + m_io.File("missing.wav");
    // ("config set" refuses them; a file edited by hand may hold them.)
    for (const char* length : {"0", "-5", "abc", "5x"}) {
        test::WriteFile(m_home.File("config.ini"), std::string("SingleFileLength=") + length + "\n");
        EXPECT_EQ(Run({"record", "--for", "5", "--input", missing}), 2) << length;
        EXPECT_NE(Err().find("\"SingleFileLength\" is"), std::string::npos) << length;
    }
    ASSERT_EQ(Run({"config", "reset", "SingleFileLength"}), 0);
    for (const char* seconds : {"0", "-3", "ten", "2147483648", "9223372036854775807"}) {
        EXPECT_EQ(Run({"record", "--for", seconds, "--input", missing}), 2) << seconds;
        EXPECT_NE(Err().find("from 1 to 2147483647"), std::string::npos) << seconds;
    }
    EXPECT_TRUE(Chunks(".mp3").empty());
    EXPECT_TRUE(Chunks(".ogg").empty());
}

TEST_F(RecordCommandTest, VorbisChunksAndANamedStream) {
    // Exactly two chunks' worth: no empty third chunk.
    ASSERT_EQ(Run({"record", "--for", "20", "--stream", "Radio 2", "--input", "generator:3:fast"}),
              0)
        << Err();
    const auto names = Chunks(".ogg", "Radio 2");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_NE(names[0].find("_20_10_1."), std::string::npos);
    EXPECT_NE(HomeText("Streams/StreamFileNames.txt").find("Radio 2\tOne\t"), std::string::npos);
}

TEST_F(RecordCommandTest, SignalsCloseTheLastChunkAndAKillLosesAtMostIt) {
    ASSERT_TRUE(SetConfig({{"Encoder", "Lame encoder"}, {"SingleFileLength", "2"}}));
    for (int signal : {SIGTERM, SIGHUP, SIGKILL}) {
        fs::remove_all(m_home.File("Streams/Default"));
        test::ChildProcess recorder;
        ASSERT_TRUE(Spawn(recorder, {"record", "--input", "generator:5:fast"}));
        ASSERT_TRUE(test::WaitFor([&] { return Chunks(".mp3").size() >= 4; }));
        recorder.Signal(signal);
        const int code = recorder.Wait();
        const auto names = Chunks(".mp3");
        EXPECT_TRUE(signal == SIGKILL || code == 0) << signal;
        // Every chunk but (after a kill) the one being written is whole.
        const size_t whole = signal != SIGKILL ? names.size() : names.size() - 1;
        for (size_t i = 0; i < whole; ++i) {
            EXPECT_EQ(test::DecodeMp3File(ChunkFile(names[i])).errors, 0) << names[i];
            const double fgp = double(fs::file_size(ChunkFile(names[i], ".fgp")));
            EXPECT_TRUE(i + 1 == names.size() || std::abs(fgp - 200.0) <= 3.0)
                << names[i];  // whole blocks either side
            EXPECT_TRUE(fs::exists(ChunkFile(names[i], ".dat")));
        }
    }
}

// Ctrl-C and SIGTERM stop "wavkeep play" where it is, with its summary
// line and a clean exit, rather than ending the process.
TEST_F(RecordCommandTest, PlayStopsCleanlyOnASignal) {
    ASSERT_TRUE(SetConfig({{"Encoder", "Lame encoder"}, {"SingleFileLength", "10"}}));
    ASSERT_EQ(Run({"record", "--for", "20", "--input", "generator:1:fast"}), 0);
    const std::string first = Chunks(".mp3").at(0);
    const std::string from = first.substr(0, 4) + "-" + first.substr(5, 2) + "-" + first.substr(8, 2) + " " +
                             first.substr(11, 2) + ":" + first.substr(14, 2) + ":" + first.substr(17, 2);
    for (int signal : {SIGINT, SIGTERM}) {
        test::ChildProcess player;
        ASSERT_TRUE(Spawn(player, {"play", "--from", from, "--output", "null"}, "play"));
        ASSERT_TRUE(test::WaitFor([&] { return test::ReadFile(m_io.File("play.out")).find("playing ") == 0; }));
        player.Signal(signal);
        EXPECT_EQ(player.Wait(), 0) << signal;
        EXPECT_NE(test::ReadFile(m_io.File("play.out")).find("\nstopped at "), std::string::npos) << signal;
    }
}

// "wavkeep delete" and "wavkeep disk --prune" in other processes while
// "wavkeep record" runs (held still with SIGSTOP, so that its newest chunk is
// the one being written): the running session keeps its names and chunks,
// pruning spares its newest chunk, and every finished chunk counts.
TEST_F(RecordCommandTest, DeletingAndPruningBesideARecorderLeaveItsSessionAlone) {
    ASSERT_TRUE(
        SetConfig({{"Encoder", "Lame encoder"}, {"BitRate", "320"}, {"SingleFileLength", "30"}}));
    ASSERT_EQ(Run({"record", "--for", "30", "--input", "generator:1:fast"}), 0);
    ASSERT_EQ(Chunks(".mp3").size(), 1u);
    const std::string older = Chunks(".mp3")[0];
    const auto recorded = [&] {
        std::vector<std::string> names = Chunks(".mp3");
        names.erase(std::remove(names.begin(), names.end(), older), names.end());
        return names;
    };
    const auto folderFiles = [&] {
        const auto names = test::FileNames(m_home.File("Streams/Default"), "");
        return std::set<std::string>(names.begin(), names.end());
    };
    test::ChildProcess recorder;
    ASSERT_TRUE(Spawn(recorder, {"record", "--input", "generator:5:fast"}));
    ASSERT_TRUE(test::WaitFor([&] { return recorded().size() >= 4; }, std::chrono::seconds(60)));
    recorder.Signal(SIGSTOP);
    // kill() returns before the process has stopped: a chunk file made in
    // between would be missing from `before`.
    const auto stopped = [&] {
        const std::string stat =
            test::ReadFile("/proc/" + std::to_string(recorder.Pid()) + "/stat");
        return stat.size() > stat.rfind(')') + 2 && stat[stat.rfind(')') + 2] == 'T';
    };
    ASSERT_TRUE(test::WaitFor(stopped));
    const std::vector<std::string> before = recorded();
    std::set<std::string> expected = folderFiles();
    for (const char* ext : {".mp3", ".dat", ".fgp", ".pos"})
        expected.erase(fs::path(older).replace_extension(ext).string());

    EXPECT_EQ(Run({"delete", "--from", "2000-01-01 00:00:00", "--to", "2099-12-31 23:59:59"}), 0);
    EXPECT_NE(Out().find("1 chunks deleted"), std::string::npos);
    EXPECT_EQ(folderFiles(), expected);
    ASSERT_EQ(Run({"info"}), 0);
    EXPECT_NE(Out().find("chunks present " + std::to_string(before.size() - 1)), std::string::npos)
        << Out();

    // A newer session in another stream, so large that the allowance asks
    // for more than the finished chunks of the recording hold.
    ASSERT_EQ(Run({"streams", "add", "B"}), 0);
    const std::string big = m_home.File("Streams/B/2099_01_01_00_00_00_60_60_1.mp3");
    test::WriteFile(big, "");
    fs::resize_file(big, 8 << 20);
    ASSERT_TRUE(SetConfig({{"DiskSpace", "1"}}));
    std::vector<std::string> writing;  // the files of the newest chunk made so far
    for (const char* ext : {".mp3", ".dat", ".fgp"})
        if (fs::exists(ChunkFile(before.back(), ext)))
            writing.push_back(ChunkFile(before.back(), ext));
    Run({"disk", "--prune"});
    EXPECT_FALSE(fs::exists(big));
    const std::vector<std::string> pruned = recorded();
    ASSERT_FALSE(pruned.empty());
    EXPECT_EQ(pruned.back(), before.back());
    for (const std::string& path : writing) EXPECT_TRUE(fs::exists(path)) << path;
    EXPECT_TRUE(std::equal(pruned.begin(), pruned.end(), before.end() - long(pruned.size())));

    recorder.Signal(SIGCONT);
    ASSERT_TRUE(test::WaitFor([&] { return recorded().back() != before.back(); },
                              std::chrono::seconds(60)));
    recorder.Signal(SIGTERM);
    EXPECT_EQ(recorder.Wait(), 0);
    const std::vector<std::string> after = recorded();
    ASSERT_GE(after.size(), 2u);
    const std::string session = after[0].substr(0, after[0].rfind('_') + 1);
    const int first = std::stoi(after[0].substr(session.size()));
    for (size_t i = 0; i < after.size(); ++i)
        EXPECT_EQ(after[i], session + std::to_string(first + int(i)) + ".mp3");
    ASSERT_EQ(Run({"info"}), 0);
    EXPECT_NE(Out().find("chunks present " + std::to_string(after.size())), std::string::npos)
        << Out();
}

TEST_F(RecordCommandTest, ScheduleAddListDelete) {
    // A task for a stream that is not listed (or listed in other letters)
    // would never record; one for an inactive stream records once it is active.
    const auto nightFor = [](const char* stream) {
        return std::vector<std::string>{"schedule", "add",      "daily",    "--from",
                                        "22:00",    "--to",     "23:30:00", "--description",
                                        "Night",    "--stream", stream};
    };
    EXPECT_EQ(Run(nightFor("Radio 1")), 2);
    EXPECT_NE(Err().find("no stream Radio 1"), std::string::npos);
    ASSERT_EQ(Run({"streams", "add", "Radio 1"}), 0);
    EXPECT_EQ(Run(nightFor("radio 1")), 2);
    ASSERT_EQ(Run(nightFor("Radio 1")), 0) << Err();
    EXPECT_NE(Err().find("warning: the stream Radio 1 is not active"), std::string::npos);
    ASSERT_EQ(
        Run({"schedule", "add", "weekly", "--day", "wed", "--from", "08:00", "--to", "09:00"}), 0);
    // The editor's refusals: an end in the past, a start after the end.
    EXPECT_EQ(Run({"schedule", "add", "once", "--from", "2001-01-01 10:00:00", "--to",
                   "2001-01-01 11:00:00"}),
              1);
    EXPECT_NE(Err().find("Can not schedule recording in the past."), std::string::npos);
    EXPECT_EQ(Run({"schedule", "add", "daily", "--from", "23:00", "--to", "22:00"}), 1);
    EXPECT_NE(Err().find("Error! Start time is greater than end time."), std::string::npos);
    EXPECT_NE(HomeText("events.txt").find("Error! Start time is greater"), std::string::npos);
    EXPECT_EQ(Run({"schedule", "add", "once", "--from", "tomorrow", "--to", "later"}), 2);

    ASSERT_EQ(Run({"schedule", "list"}), 0);
    EXPECT_NE(Out().find("1\tD 22:00:00 -> 23:30:00 Radio 1\tNight"), std::string::npos) << Out();
    EXPECT_NE(Out().find("2\tW 08:00:00 -> 09:00:00 3 Wednesday"), std::string::npos) << Out();
    ASSERT_EQ(Run({"schedule", "delete", "1"}), 0);
    EXPECT_EQ(Run({"schedule", "delete", "5"}), 1);
    const std::string file = HomeText("schedule.txt");
    EXPECT_EQ(file.rfind(" LEGEND: O - once; D - daily; W - weekly\n", 0), 0u);
    EXPECT_EQ(file.find("Radio 1"), std::string::npos);
    EXPECT_NE(file.find("W 08:00:00 -> 09:00:00 3 Wednesday"), std::string::npos);
}

}  // namespace
}  // namespace wk
