#pragma once
// A ManualClock that shows who sleeps on it, so that a test moves time only
// while the threads under test wait for it: an advance that fell between a
// worker reading the time and starting to sleep would make it sleep from the
// later time and miss its moment. Every wait is bounded (ten seconds of real
// time: a hung worker fails the test instead of hanging it).

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include "core/Clock.h"

namespace wk::test {

class SleeperClock : public ManualClock {
public:
    using ManualClock::ManualClock;

    bool SleepFor(int64_t ms, const std::atomic<int>* cancel) override {
        std::unique_lock lock(m_mutex);
        const auto it = m_sleepers.insert(Ticks() + std::max<int64_t>(ms, 0));
        m_changed.notify_all();
        bool passed = true;
        while (Ticks() < *it) {
            if (cancel != nullptr && cancel->load() != 0) {
                passed = false;
                break;
            }
            m_changed.wait_for(lock, std::chrono::milliseconds(1));
        }
        m_sleepers.erase(it);
        m_changed.notify_all();
        return passed;
    }

    void WakeSleepers() override {
        std::lock_guard lock(m_mutex);
        m_changed.notify_all();
    }

    // Waits until a thread sleeps towards a time not yet reached.
    bool WaitAsleep() {
        std::unique_lock lock(m_mutex);
        return WaitAsleepLocked(lock);
    }

    bool AdvanceWhenAsleep(int64_t ms) {
        std::unique_lock lock(m_mutex);
        if (!WaitAsleepLocked(lock)) return false;
        Advance(ms);
        m_changed.notify_all();
        return true;
    }

private:
    bool WaitAsleepLocked(std::unique_lock<std::mutex>& lock) {
        return m_changed.wait_for(lock, std::chrono::seconds(10), [this] {
            return !m_sleepers.empty() && *m_sleepers.rbegin() > Ticks();
        });
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::multiset<int64_t> m_sleepers;
};

}  // namespace wk::test
