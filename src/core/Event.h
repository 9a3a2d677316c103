#pragma once
// An auto-reset event: Set releases one waiter (or the next one to come) and
// the event is non-signalled again.

#include <condition_variable>
#include <mutex>

namespace wk {

class Event {
public:
    static constexpr int kInfinite = -1;

    Event() = default;
    explicit Event(bool initialState) : m_signalled(initialState) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // True if signalled within timeoutMs (negative: no limit), false on time-out.
    bool Wait(int timeoutMs);

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_signalled = false;
};

}  // namespace wk
