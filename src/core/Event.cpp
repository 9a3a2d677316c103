#include "core/Event.h"

#include <chrono>

namespace wk {

void Event::Set() {
    std::lock_guard lock(m_mutex);
    m_signalled = true;
    m_cv.notify_one();
}

void Event::Reset() {
    std::lock_guard lock(m_mutex);
    m_signalled = false;
}

bool Event::Wait(int timeoutMs) {
    std::unique_lock lock(m_mutex);
    auto signalled = [this] { return m_signalled; };
    if (timeoutMs < 0) {
        m_cv.wait(lock, signalled);
    } else if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), signalled)) {
        return false;
    }
    m_signalled = false;
    return true;
}

}  // namespace wk
