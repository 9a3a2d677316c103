#include "platform/PlaybackDeviceNull.h"

#include <algorithm>

namespace wk {

bool PlaybackDeviceNull::Open(std::string*) {
    if (m_open) return true;
    m_pacer.Start();
    ResetCounters();
    m_open = true;
    return true;
}

int64_t PlaybackDeviceNull::WriteFrames(const int16_t*, int64_t frames) {
    if (!m_open) return -1;
    for (int64_t done = 0; done < frames;) {
        const int64_t piece = std::min(frames - done, PlaybackPacer::BufferFrames());
        m_pacer.Admit(piece);
        done += piece;
    }
    return frames;
}

bool PlaybackDeviceNull::WaitFor(int64_t ms, const std::atomic<int>* cancel) {
    return m_open ? m_pacer.WaitFor(ms, cancel) : PlaybackDevice::WaitFor(ms, cancel);
}

void PlaybackDeviceNull::Drain() {
    if (m_open) m_pacer.Drain();
}

void PlaybackDeviceNull::Close() {
    if (m_open) m_pacer.Drop();
    m_open = false;
}

}  // namespace wk
