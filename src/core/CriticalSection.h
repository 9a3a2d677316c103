#pragma once
// A recursive lock: the thread that holds it may take it again (and must
// release it as often). lock/unlock/try_lock make it usable with
// std::lock_guard and std::unique_lock.

#include <mutex>

namespace wk {

class CriticalSection {
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }
    bool TryLock() { return m_mutex.try_lock(); }

    void lock() { Lock(); }
    void unlock() { Unlock(); }
    bool try_lock() { return TryLock(); }

private:
    std::recursive_mutex m_mutex;
};

}  // namespace wk
