#include "recording/RecordingQueue.h"

#include <algorithm>
#include <cstring>

namespace wk {

// A ring rather than the move-to-front of a flat buffer: reading never
// shifts the remaining bytes, so the session thread's copy is the only copy.
RecordingQueue::RecordingQueue(size_t capacity) : m_data(capacity) {}

size_t RecordingQueue::Capacity() const {
    std::lock_guard lock(m_mutex);
    return m_data.size();
}

bool RecordingQueue::Resize(size_t capacity) {
    std::lock_guard lock(m_mutex);
    if (capacity < m_fill) return false;
    std::vector<uint8_t> bigger(capacity);
    const size_t first = std::min(m_fill, m_data.size() - m_head);
    if (m_fill) {
        std::memcpy(bigger.data(), m_data.data() + m_head, first);
        std::memcpy(bigger.data() + first, m_data.data(), m_fill - first);
    }
    m_data.swap(bigger);
    m_head = 0;
    return true;
}

size_t RecordingQueue::Free() const {
    std::lock_guard lock(m_mutex);
    return m_data.size() - m_fill;
}

size_t RecordingQueue::Available() const {
    std::lock_guard lock(m_mutex);
    return m_fill;
}

bool RecordingQueue::Write(const uint8_t* bytes, size_t count) {
    std::lock_guard lock(m_mutex);
    const size_t size = m_data.size();
    const size_t n = std::min(count, size - m_fill);
    if (n > 0) {
        const size_t tail = (m_head + m_fill) % size;
        const size_t first = std::min(n, size - tail);
        std::memcpy(m_data.data() + tail, bytes, first);
        std::memcpy(m_data.data(), bytes + first, n - first);
        m_fill += n;
    }
    return n == count;
}

size_t RecordingQueue::Read(uint8_t* out, size_t count) {
    std::lock_guard lock(m_mutex);
    const size_t n = std::min(count, m_fill);
    if (n > 0) {
        const size_t first = std::min(n, m_data.size() - m_head);
        std::memcpy(out, m_data.data() + m_head, first);
        std::memcpy(out + first, m_data.data(), n - first);
        m_head = (m_head + n) % m_data.size();
        m_fill -= n;
    }
    return n;
}

}  // namespace wk
