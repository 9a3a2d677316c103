#include "core/EventLoop.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "core/Clock.h"

namespace wk {

namespace {

// Any clock but the system clock moves without telling the loop (a test's
// ManualClock, the capture's VirtualClock), so Run looks at it this often.
constexpr int64_t kOtherClockPollMs = 10;
// The system clock's ticks follow real time, so Run can sleep until the next
// timer; the cap only bounds how late a SetClock to another clock is noticed.
constexpr int64_t kSystemClockMaxWaitMs = 1000;

}  // namespace

EventLoop::EventLoop(Clock* clock) : m_clock(clock) {}

EventLoop::~EventLoop() = default;

Clock& EventLoop::TheClock() const {
    // Looked up on every use rather than once, so that a test may install its
    // clock after the loop was built.
    return m_clock != nullptr ? *m_clock : GetClock();
}

ReceiverId EventLoop::Register(MessageReceiver* receiver) {
    if (receiver == nullptr) return kNoReceiver;
    std::lock_guard lock(m_mutex);
    ReceiverId id = m_nextReceiver++;
    // Ids are not reused while their receiver lives; kNoReceiver never is.
    while (id == kNoReceiver || m_receivers.count(id) != 0) id = m_nextReceiver++;
    m_receivers[id] = receiver;
    return id;
}

void EventLoop::Unregister(ReceiverId id) {
    std::lock_guard lock(m_mutex);
    m_receivers.erase(id);
}

bool EventLoop::Post(ReceiverId to, int id, intptr_t p1, intptr_t p2,
                     std::unique_ptr<MessagePayload> payload) {
    bool queued = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_receivers.count(to) != 0) {
            m_queue.push_back(Queued{to, Message{id, p1, p2, std::move(payload)}});
            if (m_wakeHook) m_wakeHook();
            queued = true;
        }
    }
    // Notified after the unlock: woken under it, Run would only block again
    // on the mutex, two switches for every message (a player posts several
    // a second for as long as it plays).
    if (queued) {
        m_cv.notify_all();
        return true;
    }
    // Freed here, outside the lock, in case its destructor posts in turn.
    payload.reset();
    return false;
}

TimerId EventLoop::SetTimer(int64_t periodMs, bool repeating, std::function<void()> fn) {
    periodMs = std::max<int64_t>(periodMs, 0);
    // A repeating timer with no period would be due forever and starve Run.
    if (repeating && periodMs == 0) periodMs = 1;
    const int64_t now = TheClock().Ticks();
    std::lock_guard lock(m_mutex);
    TimerId id = m_nextTimer++;
    while (id == 0 || m_timers.count(id) != 0) id = m_nextTimer++;
    m_timers.emplace(id, Timer{now + periodMs, periodMs, repeating, std::move(fn)});
    // A Run asleep without a time-out must look at the new timer.
    m_wakeRequested = true;
    m_cv.notify_all();
    if (m_wakeHook) m_wakeHook();
    return id;
}

bool EventLoop::KillTimer(TimerId id) {
    std::function<void()> doomed;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_timers.find(id);
        if (it == m_timers.end()) return false;
        doomed = std::move(it->second.fn);
        m_timers.erase(it);
    }
    // The function's captures are destroyed outside the lock for the same
    // reason a dropped payload is.
    return true;
}

int64_t EventLoop::MsToNextTimer() const {
    const int64_t now = TheClock().Ticks();
    std::lock_guard lock(m_mutex);
    if (m_timers.empty()) return -1;
    int64_t next = m_timers.begin()->second.due;
    for (const auto& [id, timer] : m_timers) next = std::min(next, timer.due);
    return std::max<int64_t>(next - now, 0);
}

int EventLoop::DispatchMessages() {
    // Only what was queued on entry: a handler that posts to itself must not
    // keep this call from returning.
    std::deque<Queued> batch;
    {
        std::lock_guard lock(m_mutex);
        batch.swap(m_queue);
    }
    int handled = 0;
    while (!batch.empty()) {
        Queued queued = std::move(batch.front());
        batch.pop_front();
        MessageReceiver* receiver = nullptr;
        {
            // Looked up per message: an earlier handler may have unregistered it.
            std::lock_guard lock(m_mutex);
            auto it = m_receivers.find(queued.to);
            if (it != m_receivers.end()) receiver = it->second;
        }
        if (receiver == nullptr) continue;  // dropped; the payload goes with `queued`
        receiver->HandleMessage(queued.message);
        ++handled;
    }
    return handled;
}

int EventLoop::FireDueTimers() {
    const int64_t now = TheClock().Ticks();
    std::vector<std::pair<int64_t, TimerId>> due;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [id, timer] : m_timers)
            if (timer.due <= now) due.emplace_back(timer.due, id);
    }
    // Ids grow with every SetTimer, so equal due times fire in the order set.
    std::sort(due.begin(), due.end());

    int fired = 0;
    for (const auto& [dueTime, id] : due) {
        std::function<void()> fn;
        {
            std::lock_guard lock(m_mutex);
            auto it = m_timers.find(id);
            if (it == m_timers.end()) continue;  // killed by an earlier handler
            Timer& timer = it->second;
            if (timer.repeating) {
                // Re-armed from the due time so that the period does not drift
                // by however late the loop came round. After a clock jump of
                // more than a period the missed runs are not caught up: the
                // timer fires once and its next run is a period from now.
                timer.due += timer.period;
                if (timer.due <= now) timer.due = now + timer.period;
                fn = timer.fn;  // a copy: the handler may kill its own timer
            } else {
                fn = std::move(timer.fn);
                m_timers.erase(it);
            }
        }
        if (fn) fn();
        ++fired;
    }
    return fired;
}

int EventLoop::ProcessPending() {
    const int handled = DispatchMessages();
    return handled + FireDueTimers();
}

int EventLoop::Run() {
    for (;;) {
        ProcessPending();
        if (m_quit.load()) break;

        Clock& clock = TheClock();
        const bool systemClock = dynamic_cast<SystemClock*>(&clock) != nullptr;
        const int64_t cap = systemClock ? kSystemClockMaxWaitMs : kOtherClockPollMs;
        const int64_t next = MsToNextTimer();
        const int64_t waitMs = next < 0 ? cap : std::min(next, cap);

        std::unique_lock lock(m_mutex);
        auto woken = [this] { return m_quit.load() || m_wakeRequested || !m_queue.empty(); };
        // Without a timer on the system clock nothing can fall due unasked
        // (SetTimer wakes the loop): a wait without time-out spares the
        // kernel a timer on every message.
        if (systemClock && next < 0 && m_timers.empty()) m_cv.wait(lock, woken);
        else if (waitMs > 0) m_cv.wait_for(lock, std::chrono::milliseconds(waitMs), woken);
        m_wakeRequested = false;
        // What arrives after a Quit (a cancelled job's result) is left to the
        // owner's shutdown, not handled by a loop that was told to end.
        if (m_quit.load()) break;
    }

    std::lock_guard lock(m_mutex);
    // Cleared so that the loop can be run again.
    m_quit.store(false);
    return m_quitCode;
}

void EventLoop::Quit(int code) {
    std::lock_guard lock(m_mutex);
    m_quitCode = code;
    m_quit.store(true);
    m_cv.notify_all();
    if (m_wakeHook) m_wakeHook();
}

void EventLoop::Wake() {
    std::lock_guard lock(m_mutex);
    m_wakeRequested = true;
    m_cv.notify_all();
    if (m_wakeHook) m_wakeHook();
}

void EventLoop::SetWakeHook(std::function<void()> hook) {
    std::function<void()> old;
    {
        std::lock_guard lock(m_mutex);
        old.swap(m_wakeHook);
        m_wakeHook = std::move(hook);
    }
}

}  // namespace wk
