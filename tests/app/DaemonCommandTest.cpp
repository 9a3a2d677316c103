// "wavkeep run", "stop", "status" and "open" through the real executable, the
// daemon running as a process of its own in a temporary home.

#include <signal.h>

#include <filesystem>

#include "WavkeepRun.h"
#include "platform/ControlChannel.h"
#include "core/ProgramHome.h"
#include "descriptions/Description.h"
#include "platform/InstanceLock.h"

namespace wk {
namespace {

class DaemonCommandTest : public test::WavkeepRunTest {
protected:
    void SetUp() override {
        SetProgramHome(m_home.Path());  // for FindRunningInstance and the control socket
        ASSERT_EQ(Run({"streams", "add", "Radio"}), 0) << Err();
        // No service in these tests: nothing may reach out to one.
        for (const auto& [key, value] : {std::pair{"AutoScheduleDownload", "0"},
                                         {"AutoPlaylistDownload", "0"},
                                         {"TimeCheckURL", "http://127.0.0.1:1/x"},
                                         {"TraceLevel", "Info"}})
            ASSERT_EQ(Run({"config", "set", key, value}), 0);
    }
    void TearDown() override { SetProgramHome(""); }

    // Starts "wavkeep run" and waits until it answers.
    void StartDaemon() {
        ASSERT_TRUE(Spawn(m_daemon, {"run", "--input", "generator:1"}, "daemon"));
        ASSERT_TRUE(test::WaitFor([&] {
            return Daemon("out").find("wavkeep runs in") != std::string::npos;
        })) << Daemon("err");
    }
    std::string Daemon(const char* stream) const {
        return test::ReadFile(m_io.File(std::string("daemon.") + stream));
    }
    bool EventSeen(const std::string& text) const {
        return test::WaitFor(
            [&] { return HomeText("events.txt").find(text) != std::string::npos; });
    }
    bool Described(const std::string& artist) {
        return test::WaitFor(
            [&] { return Run({"descriptions"}) == 0 && Out().find(artist) != std::string::npos; });
    }
    // A description file of one track by `artist`, `minute` minutes into the stretch.
    std::string DescriptionFile(const std::string& name, const std::string& marker,
                                const std::string& artist, int minute = 0) {
        Description d;
        d.start = DateTime(2024, 3, 1, 20, minute, 10).ToStreamTime();
        d.end = d.start + 180000;
        d.artist = artist;
        d.title = "Handed Title";
        test::WriteFile(m_io.File(name),
                        "# 0.9\r\n# \r\n# " + marker + "\r\n" + d.ToLine() + "\r\n");
        return m_io.File(name);
    }

    test::ChildProcess m_daemon;
};

TEST_F(DaemonCommandTest, OpenHandsTheFileToTheDaemonWhichImportsIt) {
    StartDaemon();
    const std::string des = DescriptionFile("handed.des", "_WAVKEEP_STAFF_", "Handed Artist");
    ASSERT_EQ(Run({"open", des}), 0) << Err();
    EXPECT_NE(Out().find("handed " + des), std::string::npos) << Out();
    EXPECT_EQ(HomeText("share.shr"), des);
    EXPECT_TRUE(Described("Handed Artist - Handed Title")) << Out();
    EXPECT_TRUE(EventSeen("Description file imported: " + des));
    // A file the daemon refuses (no trusted marker) is named in the event log.
    ASSERT_EQ(Run({"open", DescriptionFile("other.des", "someone", "Stranger", 5)}), 0) << Err();
    EXPECT_TRUE(EventSeen("Description file not imported: "));

    // Another hand-over has replaced share.shr before this request is read:
    // the request's own path counts. Without a path, share.shr's does.
    const std::string own = DescriptionFile("own.des", "_WAVKEEP_STAFF_", "Own Artist", 10);
    const std::string shared =
        DescriptionFile("shared.des", "_WAVKEEP_STAFF_", "Shared Artist", 15);
    std::string why;
    ASSERT_TRUE(WriteHandOverFile(shared, &why)) << why;
    ASSERT_EQ(SendControlRequest("open " + own).value_or(""), "ok\n");
    EXPECT_TRUE(EventSeen("Description file imported: " + own));
    EXPECT_TRUE(Described("Own Artist"));
    EXPECT_EQ(Out().find("Shared Artist"), std::string::npos) << Out();
    ASSERT_EQ(SendControlRequest("open").value_or(""), "ok\n");
    EXPECT_TRUE(Described("Shared Artist"));
    EXPECT_EQ(SendControlRequest("launch").value_or(""), "error: unknown request\n");

    // A second instance hands its file over and ends; a second recorder is refused.
    EXPECT_EQ(Run({"run", "--input", "generator:1", des}), 1);
    EXPECT_NE(Err().find("another recorder runs in this program home"), std::string::npos) << Err();
    EXPECT_NE(Err().find(des + " was handed over to it"), std::string::npos) << Err();
    EXPECT_EQ(Run({"run", "--input", "generator:1"}), 1);
    EXPECT_NE(Err().find("nothing done"), std::string::npos) << Err();
    EXPECT_EQ(Run({"record", "--for", "1", "--input", "generator:1:fast"}), 1);
    EXPECT_NE(Err().find("\"wavkeep run\", pid " + std::to_string(m_daemon.Pid())),
              std::string::npos)
        << Err();
    EXPECT_TRUE(Chunks(".ogg", "Radio").empty());

    ASSERT_EQ(Run({"stop"}), 0) << Err();
    EXPECT_EQ(m_daemon.Wait(), 0);
    EXPECT_EQ(Run({"stop"}), 1);
    EXPECT_NE(Err().find("no recorder runs"), std::string::npos) << Err();
    // With no daemon, "open" imports the file itself.
    ASSERT_EQ(Run({"open", des}), 0) << Err();
    EXPECT_NE(Out().find("imported 1 descriptions"), std::string::npos) << Out();
}

TEST_F(DaemonCommandTest, StatusSignalsAndTheOrderlyStop) {
    std::string events;
    for (int i = 1; i <= 7; ++i)
        events += "10:00:0" + std::to_string(i) + "  01/03/2024  event " + std::to_string(i) + "\n";
    test::WriteFile(m_home.File("events.txt"), events);
    ASSERT_EQ(Run({"status"}), 0) << Err();
    for (const char* line : {"recorder: none runs in this home", "next task: none",
                             "0 bytes of 100.0 MiB allowed (DiskSpace), within it",
                             "last events:\n  10:00:03  01/03/2024  event 3\n", "event 7\n"})
        EXPECT_NE(Out().find(line), std::string::npos) << Out();
    EXPECT_EQ(Out().find("event 2\n"), std::string::npos) << Out();

    StartDaemon();
    ASSERT_TRUE(FindRunningInstance());
    EXPECT_TRUE(std::filesystem::exists(m_home.File("wavkeep.sock")));
    ASSERT_EQ(Run({"status"}), 0) << Err();
    EXPECT_NE(Out().find("recorder: \"wavkeep run\", pid " + std::to_string(m_daemon.Pid()) + "\n"),
              std::string::npos)
        << Out();
    EXPECT_NE(Out().find("recording: nothing now"), std::string::npos) << Out();
    // SIGHUP reads the schedule again, SIGTERM stops in order.
    ASSERT_EQ(
        Run({"schedule", "add", "daily", "--from", "03:00", "--to", "04:00", "--stream", "Radio"}),
        0);
    ASSERT_TRUE(m_daemon.Signal(SIGHUP));
    EXPECT_TRUE(test::WaitFor([&] {
        return test::TraceText(m_home.Path())
                   .find("schedule.txt reloaded (schedule read, 1 tasks)") != std::string::npos;
    }));
    ASSERT_TRUE(m_daemon.Signal(SIGTERM));
    EXPECT_EQ(m_daemon.Wait(), 0);
    EXPECT_NE(Daemon("out").find("wavkeep stopped"), std::string::npos);
    EXPECT_FALSE(FindRunningInstance());
    EXPECT_FALSE(std::filesystem::exists(m_home.File("wavkeep.sock")));
    const std::string trace = test::TraceText(m_home.Path());
    const size_t signal = trace.find("Signal 15: stopping");
    ASSERT_NE(signal, std::string::npos) << trace;
    EXPECT_LT(signal, trace.find("Shutdown: complete")) << trace;
}

TEST_F(DaemonCommandTest, InputsTheDaemonCannotUse) {
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
