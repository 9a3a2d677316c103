// "wavkeep run", "stop", "status" and "open" through the real executable, the
// daemon running as a process of its own in a temporary home.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "WavkeepRun.h"
#include "core/ProgramHome.h"
#include "descriptions/Description.h"
#include "platform/InstanceLock.h"

extern char** environ;

namespace wk {
namespace {

using namespace std::chrono_literals;

class DaemonCommandTest : public test::WavkeepRunTest {
protected:
    void SetUp() override {
        SetProgramHome(m_home.Path());  // for FindRunningInstance
        ASSERT_EQ(Run({"streams", "add", "Radio"}), 0) << Err();
        // No service in these tests: nothing may reach out to one.
        ASSERT_EQ(Run({"config", "set", "AutoScheduleDownload", "0"}), 0);
        ASSERT_EQ(Run({"config", "set", "AutoPlaylistDownload", "0"}), 0);
        ASSERT_EQ(Run({"config", "set", "TimeCheckURL", "http://127.0.0.1:1/x"}), 0);
        ASSERT_EQ(Run({"config", "set", "TraceLevel", "Info"}), 0);
    }
    void TearDown() override {
        if (m_daemon > 0) {
            ::kill(m_daemon, SIGKILL);
            Reap();
        }
        SetProgramHome("");
    }

    // Starts "wavkeep run" and waits until it answers.
    void StartDaemon(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> words = {WAVKEEP_EXE, "--home",  m_home.Path(),
                                          "run",       "--input", "generator:1"};
        words.insert(words.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, m_io.File("daemon.out").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, m_io.File("daemon.err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(posix_spawn(&m_daemon, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_TRUE(WaitFor([&] {
            return test::ReadFile(m_io.File("daemon.out")).find("wavkeep runs in") !=
                   std::string::npos;
        })) << test::ReadFile(m_io.File("daemon.err"));
    }
    // The daemon's exit status, -1 when it did not exit normally.
    int Reap() {
        int status = 0;
        const pid_t pid = m_daemon;
        m_daemon = -1;
        if (::waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (done()) return true;
            std::this_thread::sleep_for(20ms);
        }
        return done();
    }
    std::string WriteDescriptionFile(const std::string& name, const std::string& thirdHeader) {
        Description d;
        d.start = DateTime(2024, 3, 1, 20, 0, 10).ToStreamTime();
        d.end = DateTime(2024, 3, 1, 20, 3, 10).ToStreamTime();
        d.artist = "Handed Artist";
        d.title = "Handed Title";
        const std::string path = m_io.File(name);
        test::WriteFile(path, "# 0.9\r\n# \r\n# " + thirdHeader + "\r\n" + d.ToLine() + "\r\n");
        return path;
    }

    std::vector<std::string> Files(const std::string& folder, const std::string& extension) const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(m_home.File(folder), ec))
            if (e.path().extension() == extension) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    pid_t m_daemon = -1;
};

TEST_F(DaemonCommandTest, OpenHandsTheFileToTheDaemonWhichImportsIt) {
    StartDaemon();
    const std::string des = WriteDescriptionFile("handed.des", "_WAVKEEP_STAFF_");
    ASSERT_EQ(Run({"open", des}), 0) << Err();
    EXPECT_NE(Out().find("handed " + des), std::string::npos) << Out();
    EXPECT_EQ(test::ReadFile(m_home.File("share.shr")), des);
    ASSERT_TRUE(WaitFor([&] {
        return Run({"descriptions"}) == 0 &&
               Out().find("Handed Artist - Handed Title") != std::string::npos;
    })) << Out();
    ASSERT_TRUE(WaitFor([&] {
        return test::ReadFile(m_home.File("events.txt"))
                   .find("Description file imported: " + des) != std::string::npos;
    }));

    // A file the daemon refuses (no trusted marker) is named in the event log.
    const std::string untrusted = WriteDescriptionFile("other.des", "someone");
    ASSERT_EQ(Run({"open", untrusted}), 0) << Err();
    EXPECT_TRUE(WaitFor([&] {
        return test::ReadFile(m_home.File("events.txt")).find("Description file not imported: ") !=
               std::string::npos;
    }));

    // A second instance hands its file over and ends; a second recorder is refused.
    EXPECT_EQ(Run({"run", "--input", "generator:1", des}), 1);
    EXPECT_NE(Err().find("another recorder runs in this program home"), std::string::npos) << Err();
    EXPECT_NE(Err().find(des + " was handed over to it"), std::string::npos) << Err();
    EXPECT_EQ(Run({"run", "--input", "generator:1"}), 1);
    EXPECT_NE(Err().find("nothing done"), std::string::npos) << Err();
    EXPECT_EQ(Run({"record", "--for", "1", "--input", "generator:1:fast"}), 1);
    EXPECT_NE(Err().find("\"wavkeep run\", pid " + std::to_string(m_daemon)), std::string::npos)
        << Err();
    EXPECT_TRUE(Files("Streams/Radio", ".ogg").empty());

    ASSERT_EQ(Run({"stop"}), 0) << Err();
    EXPECT_EQ(Reap(), 0);
    EXPECT_EQ(Run({"stop"}), 1);
    EXPECT_NE(Err().find("no recorder runs"), std::string::npos) << Err();

    // With no daemon, "open" imports the file itself.
    ASSERT_EQ(Run({"open", des}), 0) << Err();
    EXPECT_NE(Out().find("imported 1 descriptions"), std::string::npos) << Out();
}

TEST_F(DaemonCommandTest, StatusTellsWhetherARecorderRunsAndTheLastEvents) {
    std::string events;
    for (int i = 1; i <= 7; ++i)
        events += "10:00:0" + std::to_string(i) + "  01/03/2024  event " + std::to_string(i) + "\n";
    test::WriteFile(m_home.File("events.txt"), events);
    ASSERT_EQ(Run({"status"}), 0) << Err();
    std::string out = Out();
    EXPECT_NE(out.find("recorder: none runs in this home"), std::string::npos) << out;
    EXPECT_NE(out.find("next task: none"), std::string::npos) << out;
    EXPECT_NE(out.find("0 bytes of 100.0 MiB allowed (DiskSpace), within it"), std::string::npos) << out;
    EXPECT_EQ(out.find("event 2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("last events:\n  10:00:03  01/03/2024  event 3\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("event 7\n"), std::string::npos) << out;

    StartDaemon();
    ASSERT_EQ(Run({"status"}), 0) << Err();
    out = Out();
    EXPECT_NE(out.find("recorder: \"wavkeep run\", pid " + std::to_string(m_daemon) + "\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("recording: nothing now"), std::string::npos) << out;
    ASSERT_EQ(Run({"stop"}), 0) << Err();
    EXPECT_EQ(Reap(), 0);
}

TEST_F(DaemonCommandTest, SigtermStopsTheDaemonInOrder) {
    StartDaemon();
    ASSERT_TRUE(FindRunningInstance());
    EXPECT_TRUE(std::filesystem::exists(m_home.File("wavkeep.sock")));
    ASSERT_EQ(::kill(m_daemon, SIGTERM), 0);
    EXPECT_EQ(Reap(), 0);
    EXPECT_NE(test::ReadFile(m_io.File("daemon.out")).find("wavkeep stopped"), std::string::npos);
    EXPECT_FALSE(FindRunningInstance());
    EXPECT_FALSE(std::filesystem::exists(m_home.File("wavkeep.sock")));
    std::string trace;
    for (const auto& e : std::filesystem::directory_iterator(m_home.Path()))
        if (e.path().filename().string().rfind("Log_", 0) == 0) trace += test::ReadFile(e.path());
    const size_t signal = trace.find("Signal 15: stopping");
    const size_t done = trace.find("Shutdown: complete");
    ASSERT_NE(signal, std::string::npos) << trace;
    ASSERT_NE(done, std::string::npos) << trace;
    EXPECT_LT(signal, done);
}

TEST_F(DaemonCommandTest, InputsTheDaemonCannotUse) {
    // Table: the input, the exit status, what stderr says.
    const struct {
        const char* input;
        int status;
        const char* message;
    } kCases[] = {
        {"alsa:wavkeep_no_such_card", 1, "Error : sound card does not exist!"},
        {"generator:1:fast", 2, "records at the pace of the clock"},
        {"tape:1", 2, "unknown capture device"},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(Run({"run", "--input", c.input}), c.status) << c.input;
        EXPECT_NE(Err().find(c.message), std::string::npos) << c.input << ": " << Err();
        EXPECT_FALSE(FindRunningInstance()) << c.input;
        EXPECT_FALSE(std::filesystem::exists(m_home.File("wavkeep.sock"))) << c.input;
    }
}

}  // namespace
}  // namespace wk
