// "wavkeep record" and "wavkeep schedule" end to end, through the real
// executable, on generated input (no sound card, no wall clock).

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "platform/WavReader.h"
#include "support/Mp3Decode.h"
#include "support/TempHome.h"

extern char** environ;

namespace wk {
namespace {

struct Mp3Info {
    int64_t frames = 0;  // sample frames per channel
    int errors = 0;
};

Mp3Info DecodeMp3(const std::string& path) {
    const test::DecodedMp3 d = test::DecodeMp3File(path);
    return {d.samplesPerChannel, d.errors};
}

class RecordCommandTest : public ::testing::Test {
protected:
    pid_t Spawn(const std::vector<std::string>& args) {
        std::vector<std::string> words = {WAVKEEP_EXE, "--home", m_home.Path()};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, m_io.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, m_io.File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    int Wait(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int Run(const std::vector<std::string>& args) { return Wait(Spawn(args)); }
    std::vector<std::string> Chunks(const std::string& ext, const std::string& stream = "Default") {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(m_home.File("Streams/" + stream), ec))
            if (e.path().extension() == ext) names.push_back(e.path().stem().string());
        std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
            return std::stoi(a.substr(a.rfind('_') + 1)) < std::stoi(b.substr(b.rfind('_') + 1));
        });
        return names;
    }
    std::string ChunkPath(const std::string& base, const std::string& ext, const std::string& stream = "Default") {
        return m_home.File("Streams/" + stream + "/" + base + ext);
    }
    void WriteToneWav(const std::string& path, int seconds, int16_t level) {
        std::string bytes = WavHeader(44100, 2, int64_t{seconds} * 44100);
        for (int i = 0; i < seconds * 44100; ++i) {
            const auto v = static_cast<int16_t>(level * std::sin(i * 0.0571));
            for (int c = 0; c < 2; ++c) {
                bytes += static_cast<char>(v & 0xFF);
                bytes += static_cast<char>((v >> 8) & 0xFF);
            }
        }
        test::WriteFile(path, bytes);
    }
    test::TempDir m_home;
    test::TempDir m_io;
};

TEST_F(RecordCommandTest, TwentyFiveSecondsOfAFileMakeThreeChunks) {
    WriteToneWav(m_io.File("x.wav"), 40, 9000);
    ASSERT_EQ(Run({"config", "set", "Encoder", "Lame encoder"}), 0);
    ASSERT_EQ(Run({"record", "--for", "25", "--input", "file:" + m_io.File("x.wav")}), 0)
        << test::ReadFile(m_io.File("err"));
    const auto names = Chunks(".mp3");
    ASSERT_EQ(names.size(), 3u);
    const std::regex shape(R"(\d{4}_\d\d_\d\d_\d\d_\d\d_\d\d_25_10_)");
    std::string all;
    for (int n = 1; n <= 3; ++n) {
        const std::string& base = names[size_t(n - 1)];
        EXPECT_TRUE(std::regex_match(base.substr(0, base.size() - 1), shape)) << base;
        EXPECT_EQ(base.back() - '0', n);
        all += test::ReadFile(ChunkPath(base, ".mp3"));
        // The cuts follow the block arithmetic: 383 blocks of 1152 frames per
        // 10-second chunk, so 1000 fingerprint bytes each, 1001 wave bytes in
        // the first (a wave byte at a step's start, a fingerprint at its end).
        const auto fgp = std::filesystem::file_size(ChunkPath(base, ".fgp"));
        const auto dat = std::filesystem::file_size(ChunkPath(base, ".dat"));
        if (n == 1) {
            EXPECT_EQ(fgp, 1000u);
            EXPECT_EQ(dat, 1001u);
        } else if (n == 2) {
            EXPECT_EQ(fgp, 1000u);
            EXPECT_EQ(dat, 1000u);
        } else {
            EXPECT_NEAR(double(fgp), 500.0, 3.0);
        }
    }
    test::WriteFile(m_io.File("all.mp3"), all);
    const Mp3Info info = DecodeMp3(m_io.File("all.mp3"));
    EXPECT_EQ(info.errors, 0);
    EXPECT_NEAR(double(info.frames), 25.0 * 44100, 1152.0);
    // The short last chunk is part of the stream.
    ASSERT_EQ(Run({"info"}), 0);
    EXPECT_NE(test::ReadFile(m_io.File("out")).find("(0:00:25)"), std::string::npos)
        << test::ReadFile(m_io.File("out"));
}

TEST_F(RecordCommandTest, BadInputIsRefusedBeforeAnyChunk) {
    test::WriteFile(m_io.File("mono.wav"), WavHeader(44100, 1, 100) + std::string(200, '\0'));
    test::WriteFile(m_io.File("rate.wav"), WavHeader(22050, 2, 100) + std::string(400, '\0'));
    test::WriteFile(m_io.File("junk.wav"), "this is no wave file at all");
    test::WriteFile(m_io.File("short.wav"), WavHeader(44100, 2, 100).substr(0, 20));
    for (const char* name : {"mono.wav", "rate.wav", "junk.wav", "short.wav", "missing.wav"}) {
        EXPECT_EQ(Run({"record", "--for", "5", "--input", "file:" + m_io.File(name)}), 1) << name;
        EXPECT_FALSE(test::ReadFile(m_io.File("err")).empty()) << name;
    }
    EXPECT_EQ(Run({"record", "--input", "tape:deck"}), 2);
    // Chunk names that could not be read back are refused before the input
    // is looked at.
    const std::string missing = "file:" + m_io.File("missing.wav");
    for (const char* length : {"0", "-5", "abc", "5x"}) {
        ASSERT_EQ(Run({"config", "set", "SingleFileLength", length}), 0);
        EXPECT_EQ(Run({"record", "--for", "5", "--input", missing}), 2) << length;
        EXPECT_NE(test::ReadFile(m_io.File("err")).find("\"SingleFileLength\" is"), std::string::npos) << length;
    }
    ASSERT_EQ(Run({"config", "reset", "SingleFileLength"}), 0);
    for (const char* seconds : {"0", "-3", "ten", "2147483648", "9223372036854775807"}) {
        EXPECT_EQ(Run({"record", "--for", seconds, "--input", missing}), 2) << seconds;
        EXPECT_NE(test::ReadFile(m_io.File("err")).find("from 1 to 2147483647"), std::string::npos) << seconds;
    }
    EXPECT_TRUE(Chunks(".mp3").empty());
    EXPECT_TRUE(Chunks(".ogg").empty());
}

TEST_F(RecordCommandTest, VorbisChunksAndANamedStream) {
    // Exactly two chunks' worth: no empty third chunk.
    ASSERT_EQ(Run({"record", "--for", "20", "--stream", "Radio 2", "--input", "generator:3:fast"}), 0)
        << test::ReadFile(m_io.File("err"));
    const auto names = Chunks(".ogg", "Radio 2");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_NE(names[0].find("_20_10_1"), std::string::npos);
    EXPECT_NE(test::ReadFile(m_home.File("Streams/StreamFileNames.txt")).find("Radio 2\tOne\t"),
              std::string::npos);
}

TEST_F(RecordCommandTest, SignalsCloseTheLastChunkAndAKillLosesAtMostIt) {
    ASSERT_EQ(Run({"config", "set", "Encoder", "Lame encoder"}), 0);
    ASSERT_EQ(Run({"config", "set", "SingleFileLength", "2"}), 0);
    for (int signal : {SIGTERM, SIGHUP, SIGKILL}) {
        std::filesystem::remove_all(m_home.File("Streams/Default"));
        const pid_t pid = Spawn({"record", "--input", "generator:5:fast"});
        // Wait until a few chunks exist, then stop it.
        for (int i = 0; i < 3000 && Chunks(".mp3").size() < 4; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::kill(pid, signal);
        const int code = Wait(pid);
        const auto names = Chunks(".mp3");
        ASSERT_GE(names.size(), 4u) << signal;
        if (signal != SIGKILL) {
            EXPECT_EQ(code, 0) << signal;
        }
        // Every chunk but (after a kill) the one being written is whole.
        const size_t whole = signal != SIGKILL ? names.size() : names.size() - 1;
        for (size_t i = 0; i < whole; ++i) {
            EXPECT_EQ(DecodeMp3(ChunkPath(names[i], ".mp3")).errors, 0) << names[i];
            const auto fgp = std::filesystem::file_size(ChunkPath(names[i], ".fgp"));
            if (i + 1 < names.size()) {
                EXPECT_NEAR(double(fgp), 200.0, 3.0) << names[i];  // whole blocks either side
            }
            EXPECT_TRUE(std::filesystem::exists(ChunkPath(names[i], ".dat")));
        }
    }
}

// "wavkeep delete" and "wavkeep disk --prune" in other processes while
// "wavkeep record" runs (held still with SIGSTOP, so that its newest chunk is
// the one being written): the running session keeps its names and chunks,
// pruning spares its newest chunk, and every finished chunk counts.
TEST_F(RecordCommandTest, DeletingAndPruningBesideARecorderLeaveItsSessionAlone) {
    for (const auto& [key, value] : std::vector<std::pair<const char*, const char*>>{
             {"Encoder", "Lame encoder"}, {"BitRate", "320"}, {"SingleFileLength", "30"}})
        ASSERT_EQ(Run({"config", "set", key, value}), 0);
    ASSERT_EQ(Run({"record", "--for", "30", "--input", "generator:1:fast"}), 0);
    ASSERT_EQ(Chunks(".mp3").size(), 1u);
    const std::string older = Chunks(".mp3")[0];
    const auto recorded = [&] {
        std::vector<std::string> names;
        for (const std::string& name : Chunks(".mp3"))
            if (name != older) names.push_back(name);
        return names;
    };
    const auto folderFiles = [&] {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_home.File("Streams/Default")))
            names.insert(e.path().filename().string());
        return names;
    };
    const pid_t pid = Spawn({"record", "--input", "generator:5:fast"});
    // However the test ends, the recorder does not outlive it.
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            if (pid <= 0) return;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } reaper{pid};
    for (int i = 0; i < 6000 && recorded().size() < 4; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(pid, SIGSTOP);
    const std::vector<std::string> before = recorded();
    ASSERT_GE(before.size(), 4u);
    std::set<std::string> expected = folderFiles();
    for (const char* ext : {".mp3", ".dat", ".fgp"}) expected.erase(older + ext);

    EXPECT_EQ(Run({"delete", "--from", "2000-01-01 00:00:00", "--to", "2099-12-31 23:59:59"}), 0);
    EXPECT_NE(test::ReadFile(m_io.File("out")).find("1 chunks deleted"), std::string::npos);
    EXPECT_EQ(folderFiles(), expected);
    ASSERT_EQ(Run({"info"}), 0);
    EXPECT_NE(test::ReadFile(m_io.File("out")).find("chunks present " + std::to_string(before.size() - 1)),
              std::string::npos)
        << test::ReadFile(m_io.File("out"));

    // A newer session in another stream, so large that the allowance asks
    // for more than the finished chunks of the recording hold.
    ASSERT_EQ(Run({"streams", "add", "B"}), 0);
    const std::string big = m_home.File("Streams/B/2099_01_01_00_00_00_60_60_1.mp3");
    test::WriteFile(big, "");
    std::filesystem::resize_file(big, 8 << 20);
    ASSERT_EQ(Run({"config", "set", "DiskSpace", "1"}), 0);
    std::vector<std::string> writing;  // the files of the newest chunk made so far
    for (const char* ext : {".mp3", ".dat", ".fgp"}) {
        const std::string path = ChunkPath(before.back(), ext);
        if (std::filesystem::exists(path)) writing.push_back(path);
    }
    Run({"disk", "--prune"});
    EXPECT_FALSE(std::filesystem::exists(big));
    const std::vector<std::string> pruned = recorded();
    ASSERT_FALSE(pruned.empty());
    EXPECT_EQ(pruned.back(), before.back());
    for (const std::string& path : writing) EXPECT_TRUE(std::filesystem::exists(path)) << path;
    EXPECT_TRUE(std::equal(pruned.begin(), pruned.end(), before.end() - long(pruned.size())));

    ::kill(pid, SIGCONT);
    for (int i = 0; i < 6000 && recorded().back() == before.back(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(pid, SIGTERM);
    EXPECT_EQ(Wait(pid), 0);
    reaper.pid = -1;
    const std::vector<std::string> after = recorded();
    ASSERT_GE(after.size(), 2u);
    const std::string session = after[0].substr(0, after[0].rfind('_') + 1);
    const int first = std::stoi(after[0].substr(session.size()));
    for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i], session + std::to_string(first + int(i)));
    ASSERT_EQ(Run({"info"}), 0);
    EXPECT_NE(test::ReadFile(m_io.File("out")).find("chunks present " + std::to_string(after.size())),
              std::string::npos)
        << test::ReadFile(m_io.File("out"));
}

TEST_F(RecordCommandTest, ScheduleAddListDelete) {
    // A task for a stream that is not listed (or listed in other letters)
    // would never record; one for an inactive stream records once it is active.
    const std::vector<std::string> night = {"schedule", "add", "daily", "--from", "22:00", "--to",
                                            "23:30:00", "--description", "Night", "--stream"};
    const auto nightFor = [&night](const char* stream) {
        std::vector<std::string> args = night;
        args.push_back(stream);
        return args;
    };
    EXPECT_EQ(Run(nightFor("Radio 1")), 2);
    EXPECT_NE(test::ReadFile(m_io.File("err")).find("no stream Radio 1"), std::string::npos);
    ASSERT_EQ(Run({"streams", "add", "Radio 1"}), 0);
    EXPECT_EQ(Run(nightFor("radio 1")), 2);
    ASSERT_EQ(Run(nightFor("Radio 1")), 0) << test::ReadFile(m_io.File("err"));
    EXPECT_NE(test::ReadFile(m_io.File("err")).find("warning: the stream Radio 1 is not active"),
              std::string::npos);
    ASSERT_EQ(Run({"schedule", "add", "weekly", "--day", "wed", "--from", "08:00", "--to", "09:00"}), 0);
    // The editor's refusals: an end in the past, a start after the end.
    EXPECT_EQ(Run({"schedule", "add", "once", "--from", "2001-01-01 10:00:00", "--to",
                   "2001-01-01 11:00:00"}),
              1);
    EXPECT_NE(test::ReadFile(m_io.File("err")).find("Can not schedule recording in the past."),
              std::string::npos);
    EXPECT_EQ(Run({"schedule", "add", "daily", "--from", "23:00", "--to", "22:00"}), 1);
    EXPECT_NE(test::ReadFile(m_io.File("err")).find("Error! Start time is greater than end time."),
              std::string::npos);
    EXPECT_NE(test::ReadFile(m_home.File("events.txt")).find("Error! Start time is greater"),
              std::string::npos);
    EXPECT_EQ(Run({"schedule", "add", "once", "--from", "tomorrow", "--to", "later"}), 2);

    ASSERT_EQ(Run({"schedule", "list"}), 0);
    const std::string list = test::ReadFile(m_io.File("out"));
    EXPECT_NE(list.find("1\tD 22:00:00 -> 23:30:00 Radio 1\tNight"), std::string::npos) << list;
    EXPECT_NE(list.find("2\tW 08:00:00 -> 09:00:00 3 Wednesday"), std::string::npos) << list;
    ASSERT_EQ(Run({"schedule", "delete", "1"}), 0);
    EXPECT_EQ(Run({"schedule", "delete", "5"}), 1);
    const std::string file = test::ReadFile(m_home.File("schedule.txt"));
    EXPECT_EQ(file.rfind(" LEGEND: O - once; D - daily; W - weekly\n", 0), 0u);
    EXPECT_EQ(file.find("Radio 1"), std::string::npos);
    EXPECT_NE(file.find("W 08:00:00 -> 09:00:00 3 Wednesday"), std::string::npos);
}

}  // namespace
}  // namespace wk
