#pragma once
// The recording event notifier: process-wide subscriptions (event code ->
// receiver, message id). Notify posts the subscribed message with its two
// parameters to every receiver subscribed to that code. Any thread may call
// every operation.
//
// Event codes: 1 recording started (p2 the task), 2 stopped (p2 the task),
// 3 record skipped (p2 the task's name), 5 chunk files closed, 8 chunk
// completed, 9 active stream changed (p2 the stream name), 10/11 level meter
// left/right (p1 the level), 12 a recording error was shown.

#include <cstdint>
#include <mutex>
#include <vector>

#include "core/EventLoop.h"

namespace wk {

class RecordingNotifier {
public:
    static RecordingNotifier& Instance();

    void Subscribe(int eventCode, EventLoop& loop, ReceiverId receiver, int messageId);
    // Removes every subscription of the receiver.
    void Unsubscribe(EventLoop& loop, ReceiverId receiver);
    void Clear();

    // Returns how many messages were posted.
    int Notify(int eventCode, intptr_t p1 = 0, intptr_t p2 = 0);

private:
    struct Subscription {
        int code;
        EventLoop* loop;
        ReceiverId receiver;
        int messageId;
    };
    std::mutex m_mutex;
    std::vector<Subscription> m_subscriptions;
};

// Event codes of the notifier.
enum RecordingEvent : int {
    kEventRecordingStarted = 1,
    kEventRecordingStopped = 2,
    kEventRecordSkipped = 3,
    kEventChunkFilesClosed = 5,
    kEventChunkCompleted = 8,
    kEventActiveStreamChanged = 9,
    kEventLevelLeft = 10,
    kEventLevelRight = 11,
    kEventRecordingError = 12,
};

}  // namespace wk
