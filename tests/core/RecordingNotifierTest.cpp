#include <gtest/gtest.h>

#include <vector>

#include "core/Clock.h"
#include "core/RecordingNotifier.h"

namespace wk {
namespace {

struct Received {
    int id;
    intptr_t p1;
    intptr_t p2;
};

class Recorder : public MessageReceiver {
public:
    void HandleMessage(Message& message) override {
        m_received.push_back({message.id, message.p1, message.p2});
    }
    std::vector<Received> m_received;
};

TEST(RecordingNotifierTest, OnlySubscribersOfTheCodeReceiveItsParameters) {
    ManualClock clock;
    EventLoop loop(&clock);
    Recorder starts;
    Recorder levels;
    ReceiverSlot startSlot(loop, &starts);
    ReceiverSlot levelSlot(loop, &levels);

    RecordingNotifier& notifier = RecordingNotifier::Instance();
    notifier.Clear();
    notifier.Subscribe(kEventRecordingStarted, loop, startSlot.Id(), 100);
    notifier.Subscribe(kEventRecordingStarted, loop, startSlot.Id(), 100);  // no second copy
    notifier.Subscribe(kEventLevelLeft, loop, levelSlot.Id(), 200);
    notifier.Subscribe(kEventChunkCompleted, loop, startSlot.Id(), 101);
    notifier.Subscribe(kEventChunkCompleted, loop, levelSlot.Id(), 201);

    EXPECT_EQ(notifier.Notify(kEventRecordingStarted, 11, 22), 1);
    EXPECT_EQ(notifier.Notify(kEventLevelLeft, 33, 44), 1);
    EXPECT_EQ(notifier.Notify(kEventChunkCompleted, 55, 66), 2);
    EXPECT_EQ(notifier.Notify(kEventRecordingStopped), 0);
    EXPECT_EQ(loop.ProcessPending(), 4);

    ASSERT_EQ(starts.m_received.size(), 2u);
    EXPECT_EQ(starts.m_received[0].id, 100);
    EXPECT_EQ(starts.m_received[0].p1, 11);
    EXPECT_EQ(starts.m_received[0].p2, 22);
    EXPECT_EQ(starts.m_received[1].id, 101);
    ASSERT_EQ(levels.m_received.size(), 2u);
    EXPECT_EQ(levels.m_received[0].id, 200);
    EXPECT_EQ(levels.m_received[0].p1, 33);
    EXPECT_EQ(levels.m_received[0].p2, 44);
    EXPECT_EQ(levels.m_received[1].id, 201);
    EXPECT_EQ(levels.m_received[1].p2, 66);

    notifier.Unsubscribe(loop, startSlot.Id());
    EXPECT_EQ(notifier.Notify(kEventRecordingStarted), 0);
    EXPECT_EQ(notifier.Notify(kEventChunkCompleted), 1);
    notifier.Clear();
    EXPECT_EQ(notifier.Notify(kEventChunkCompleted), 0);
}

}  // namespace
}  // namespace wk
