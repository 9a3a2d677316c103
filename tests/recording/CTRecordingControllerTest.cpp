// The controller following a schedule under a manual clock, recording from
// the generator paced by that clock.

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/EventLoop.h"
#include "core/RecordingNotifier.h"
#include "platform/CaptureDeviceGenerator.h"
#include "platform/Tuner.h"
#include "platform/TunerFake.h"
#include "recording/CTRecordingController.h"
#include "scheduler/Scheduler.h"
#include "scheduler/TaskKinds.h"
#include "streamstore/StreamNameFile.h"
#include "support/TempHome.h"

namespace wk {
namespace {

class Events final : public MessageReceiver {
public:
    void HandleMessage(Message& m) override { codes.push_back(m.id); }
    int Count(int code) const { return int(std::count(codes.begin(), codes.end(), code)); }
    std::vector<int> codes;
};

class ControllerTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        SetClock(&m_clock);
        ConfigStore config;
        config.SetString("Encoder", "Lame encoder");
        config.SetString("SingleFileLength", "5");
        ASSERT_TRUE(config.Save());
        StreamNameFile streams;
        streams.load();
        StreamRecord radio;
        radio.name = "Radio";
        radio.active = 1;
        radio.tunerChannel = 583;
        streams.AddCopy(radio);
        ASSERT_TRUE(streams.save());
        for (int code : {1, 2, 3, 9})
            RecordingNotifier::Instance().Subscribe(code, m_loop, m_slot.Id(), code);
    }
    void TearDown() override {
        RecordingNotifier::Instance().Unsubscribe(m_loop, m_slot.Id());
        SetTuner(nullptr);
        SetClock(nullptr);
        TempHomeTest::TearDown();
    }
    void AddOnceTask(const DateTime& from, const DateTime& to) {
        OnceTask task;
        task.SetStreamName("Radio");
        task.SetStart(from);
        task.SetEnd(to);
        m_scheduler.insertTask(task);
    }
    // Moves the clock on in 50 ms steps, giving the threads a moment at each,
    // until `done` holds (or `seconds` of clock time have passed); a loaded
    // machine may need more steps than an idle one.
    bool RunUntil(const std::function<bool()>& done, int seconds) {
        for (int i = 0; i < seconds * 20; ++i) {
            m_loop.ProcessPending();
            if (done()) return true;
            m_clock.Advance(50);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        m_loop.ProcessPending();
        return done();
    }
    void StartController(CTRecordingController& controller) {
        controller.SetDeviceFactory([] { return std::make_unique<CaptureDeviceGenerator>(7); });
        controller.Create();
        controller.Start();
        controller.StartEvent().Set();
    }
    std::vector<std::string> StreamFiles(const std::string& ext) const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(HomeFile("Streams/Radio"), ec))
            if (e.path().extension() == ext) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    ManualClock m_clock{DateTime(2003, 11, 7, 10, 0, 0)};
    EventLoop m_loop;
    Events m_events;
    ReceiverSlot m_slot{m_loop, &m_events};
    Scheduler m_scheduler;
};

TEST_F(ControllerTest, OnceTaskStartsAndStopsARecordingAtItsTimes) {
    AddOnceTask(DateTime(2003, 11, 7, 10, 0, 2), DateTime(2003, 11, 7, 10, 0, 12));
    CTRecordingController controller(m_scheduler);
    StartController(controller);
    RunUntil([] { return false; }, 1);
    EXPECT_FALSE(controller.IsRecording());
    EXPECT_EQ(m_events.Count(1), 0);
    ASSERT_TRUE(RunUntil([&] { return m_events.Count(1) == 1; }, 30));
    EXPECT_GE(m_clock.Now(), DateTime(2003, 11, 7, 10, 0, 2));
    EXPECT_EQ(m_events.Count(9), 1);  // ActiveStream switched to the task's stream
    ASSERT_TRUE(RunUntil([&] { return m_events.Count(2) == 1; }, 60));
    EXPECT_GE(m_clock.Now(), DateTime(2003, 11, 7, 10, 0, 12));
    EXPECT_FALSE(controller.IsRecording());
    controller.Shutdown();

    ConfigStore config;
    config.Load();
    EXPECT_EQ(config.GetString("ActiveStream"), "Radio");
    EXPECT_EQ(m_scheduler.TaskCount(), 0u);  // a finished once task leaves the schedule
    // How much audio got through depends on how fast this machine runs the
    // threads against the test's clock steps; the name and the side files do not.
    const auto mp3 = StreamFiles(".mp3");
    ASSERT_GE(mp3.size(), 1u);
    // Named after the second it started, with the seconds left of the task.
    int second = 0, duration = 0, length = 0, number = 0;
    ASSERT_EQ(std::sscanf(mp3[0].c_str(), "2003_11_07_10_00_%d_%d_%d_%d.mp3", &second, &duration,
                          &length, &number),
              4)
        << mp3[0];
    EXPECT_GE(second, 2);
    EXPECT_EQ(duration, 12 - second);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(number, 1);
    EXPECT_EQ(StreamFiles(".dat").size(), mp3.size());
    EXPECT_EQ(StreamFiles(".fgp").size(), mp3.size());
}

TEST_F(ControllerTest, TaskOfAnInactiveStreamIsNotedOnceAndRecordsIntoTheListedFolder) {
    StreamNameFile streams;
    streams.load();
    streams.Find("Radio")->active = 0;
    ASSERT_TRUE(streams.save());
    OnceTask task;
    task.SetStreamName("radio");  // the list spells it "Radio"
    task.SetStart(DateTime(2003, 11, 7, 10, 0, 0));
    task.SetEnd(DateTime(2003, 11, 7, 11, 0, 0));
    m_scheduler.insertTask(task);
    CTRecordingController controller(m_scheduler);
    StartController(controller);
    const auto events = [&] { return test::ReadFile(HomeFile("events.txt")); };
    ASSERT_TRUE(RunUntil([&] { return events().find("is not active") != std::string::npos; }, 30));
    RunUntil([] { return false; }, 1);
    EXPECT_EQ(events().find("is not active"), events().rfind("is not active"));  // once
    EXPECT_EQ(m_events.Count(1), 0);
    streams.load();
    streams.Find("Radio")->active = 1;
    ASSERT_TRUE(streams.save());
    ASSERT_TRUE(RunUntil([&] { return m_events.Count(1) == 1; }, 30));
    EXPECT_EQ(controller.CurrentSessionFolder().rfind(HomeFile("Streams/Radio/"), 0), 0u)
        << controller.CurrentSessionFolder();
    controller.Shutdown();
    ConfigStore config;
    config.Load();
    EXPECT_EQ(config.GetString("ActiveStream"), "Radio");
    EXPECT_FALSE(std::filesystem::exists(HomeFile("Streams/radio")));
}

TEST_F(ControllerTest, TaskWhoseChannelCannotBeSetIsSkippedUntilTheStartEvent) {
    ConfigStore config;
    config.Load();
    config.SetString("DirectXCable", "1");
    ASSERT_TRUE(config.Save());
    TunerFake tuner;
    tuner.SetOpenResult(false);
    SetTuner(&tuner);
    AddOnceTask(DateTime(2003, 11, 7, 10, 0, 0), DateTime(2003, 11, 7, 11, 0, 0));
    CTRecordingController controller(m_scheduler);
    StartController(controller);
    ASSERT_TRUE(RunUntil([&] { return m_events.Count(3) == 1; }, 60));
    EXPECT_EQ(m_events.Count(1), 0);
    const size_t callsAfterFirstTry = tuner.Calls().size();
    RunUntil([] { return false; }, 2);
    EXPECT_EQ(tuner.Calls().size(), callsAfterFirstTry);  // not retried on its own
    EXPECT_EQ(m_events.Count(3), 1);
    controller.StartEvent().Set();
    ASSERT_TRUE(RunUntil([&] { return m_events.Count(3) == 2; }, 60));
    EXPECT_FALSE(controller.IsRecording());
    controller.Shutdown();
    EXPECT_TRUE(StreamFiles(".mp3").empty());
}

}  // namespace
}  // namespace wk
