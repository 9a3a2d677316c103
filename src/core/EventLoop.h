#pragma once
// The main thread's message loop.
//
// Workers never call into the user interface: they post messages (an id, two
// integer parameters and an optional owned payload) to a receiver, and the loop
// runs the receiver's handler on the thread that runs the loop. A message for a
// receiver that has gone away is dropped and its payload freed. Timers belong
// to the loop and run off the process clock (GetClock()), so tests drive them
// with a ManualClock.
//
// Thread safety: Post, Quit and Wake may be called from any thread; everything
// else is for the loop's own thread.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <deque>
#include <atomic>

namespace wk {

class Clock;

// Base of every posted payload; the receiver may take it over with
// Message::TakePayload, otherwise it is freed after the handler ran.
struct MessagePayload {
    virtual ~MessagePayload() = default;
};

template <typename T>
struct ValuePayload final : MessagePayload {
    explicit ValuePayload(T v) : value(std::move(v)) {}
    T value;
};

using ReceiverId = uint32_t;
using TimerId = uint32_t;
inline constexpr ReceiverId kNoReceiver = 0;

struct Message {
    int id = 0;
    intptr_t p1 = 0;
    intptr_t p2 = 0;
    std::unique_ptr<MessagePayload> payload;

    template <typename T>
    const T* PayloadAs() const {
        auto* v = dynamic_cast<ValuePayload<T>*>(payload.get());
        return v ? &v->value : nullptr;
    }
};

class MessageReceiver {
public:
    virtual ~MessageReceiver() = default;
    virtual void HandleMessage(Message& message) = 0;
};

class EventLoop {
public:
    explicit EventLoop(Clock* clock = nullptr);  // nullptr: the process clock
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // The receiver must call Unregister before it is destroyed (ReceiverSlot
    // does that); messages still queued for it are then dropped.
    ReceiverId Register(MessageReceiver* receiver);
    void Unregister(ReceiverId id);

    // Queues a message; false (payload freed) when the receiver is unknown.
    bool Post(ReceiverId to, int id, intptr_t p1 = 0, intptr_t p2 = 0,
              std::unique_ptr<MessagePayload> payload = nullptr);

    // Timers call `fn` on the loop's thread once `periodMs` have passed on the
    // clock; a repeating timer is re-armed from its due time.
    TimerId SetTimer(int64_t periodMs, bool repeating, std::function<void()> fn);
    bool KillTimer(TimerId id);

    // Runs until Quit; returns the code given to Quit.
    int Run();
    void Quit(int code = 0);
    bool QuitRequested() const { return m_quit.load(); }

    // Dispatches every queued message and every timer that is due now, then
    // returns how many handlers ran. For tests and for embedding in another loop.
    int ProcessPending();

    // Wakes Run so that it looks at the clock again (after a ManualClock moved).
    void Wake();

    // Ticks until the next timer is due (-1 when there is none).
    int64_t MsToNextTimer() const;

    // For a loop embedded in another one (the desktop shell's): `hook` runs
    // whenever something may have become due, a Post, SetTimer, Wake or
    // Quit, on the calling thread and with the loop's lock held, so it must
    // only schedule a ProcessPending on the host loop, never run one. After
    // SetWakeHook(nullptr) returns the old hook is never called again.
    void SetWakeHook(std::function<void()> hook);

private:
    struct Queued {
        ReceiverId to;
        Message message;
    };
    struct Timer {
        int64_t due;
        int64_t period;
        bool repeating;
        std::function<void()> fn;
    };
    Clock& TheClock() const;
    int DispatchMessages();
    int FireDueTimers();

    Clock* m_clock;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Queued> m_queue;
    std::map<ReceiverId, MessageReceiver*> m_receivers;
    std::map<TimerId, Timer> m_timers;
    ReceiverId m_nextReceiver = 1;
    TimerId m_nextTimer = 1;
    std::atomic<bool> m_quit{false};
    int m_quitCode = 0;
    bool m_wakeRequested = false;  // a Wake that Run has not yet seen
    std::function<void()> m_wakeHook;  // guarded by m_mutex
};

// RAII registration of a receiver with a loop.
class ReceiverSlot {
public:
    ReceiverSlot(EventLoop& loop, MessageReceiver* receiver)
        : m_loop(&loop), m_id(loop.Register(receiver)) {}
    ~ReceiverSlot() { m_loop->Unregister(m_id); }
    ReceiverSlot(const ReceiverSlot&) = delete;
    ReceiverSlot& operator=(const ReceiverSlot&) = delete;
    ReceiverId Id() const { return m_id; }
    EventLoop& Loop() const { return *m_loop; }

private:
    EventLoop* m_loop;
    ReceiverId m_id;
};

}  // namespace wk
