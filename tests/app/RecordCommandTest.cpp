// "wavkeep record" and "wavkeep schedule" end to end, through the real
// executable, on generated input (no sound card, no wall clock).

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <regex>
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
    EXPECT_TRUE(Chunks(".mp3").empty());
    EXPECT_TRUE(Chunks(".ogg").empty());
}

TEST_F(RecordCommandTest, VorbisChunksAndANamedStream) {
    ASSERT_EQ(Run({"record", "--for", "12", "--stream", "Radio 2", "--input", "generator:3:fast"}), 0)
        << test::ReadFile(m_io.File("err"));
    const auto names = Chunks(".ogg", "Radio 2");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_NE(names[0].find("_12_10_1"), std::string::npos);
    EXPECT_NE(test::ReadFile(m_home.File("Streams/StreamFileNames.txt")).find("Radio 2\tOne\t"),
              std::string::npos);
}

TEST_F(RecordCommandTest, SignalsCloseTheLastChunkAndAKillLosesAtMostIt) {
    ASSERT_EQ(Run({"config", "set", "Encoder", "Lame encoder"}), 0);
    ASSERT_EQ(Run({"config", "set", "SingleFileLength", "2"}), 0);
    for (int signal : {SIGTERM, SIGKILL}) {
        std::filesystem::remove_all(m_home.File("Streams/Default"));
        const pid_t pid = Spawn({"record", "--input", "generator:5:fast"});
        // Wait until a few chunks exist, then stop it.
        for (int i = 0; i < 3000 && Chunks(".mp3").size() < 4; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::kill(pid, signal);
        const int code = Wait(pid);
        const auto names = Chunks(".mp3");
        ASSERT_GE(names.size(), 4u) << signal;
        if (signal == SIGTERM) {
            EXPECT_EQ(code, 0);
        }
        // Every chunk but (after a kill) the one being written is whole.
        const size_t whole = signal == SIGTERM ? names.size() : names.size() - 1;
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
