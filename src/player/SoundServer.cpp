#include "player/SoundServer.h"

#include <chrono>

#include "core/Trace.h"
#include "platform/PlaybackDevice.h"
#include "player/PlayerMessages.h"
#include "player/ThreadPriority.h"

namespace wk {

SoundServer::SoundServer(PlaybackDevice& device) : m_device(device) {
    for (auto& b : m_buffers) b.resize(static_cast<size_t>(kBufferFrames * 2));
    m_thread = std::thread([this] { Run(); });
}

SoundServer::~SoundServer() {
    m_queue.Quit();
    m_thread.join();
}

bool SoundServer::WaitUntilFree(int index, int ms, const std::atomic<int>* cancel) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(ms),
                         [&] { return !m_busy[static_cast<size_t>(index)] || cancel->load() != 0; });
}

void SoundServer::WakeWaiters() {
    // Under the mutex: a waiter between its check and its sleep sees the flag.
    { std::lock_guard lock(m_mutex); }
    m_cv.notify_all();
}

void SoundServer::Play(int index, int64_t frames) {
    {
        std::lock_guard lock(m_mutex);
        m_busy[static_cast<size_t>(index)] = true;
    }
    m_queue.Post(kMsgSoundPlayBuffer, index, static_cast<intptr_t>(frames));
}

void SoundServer::Stop(bool drain) {
    // Buffers queued before the stop message are skipped, not played.
    if (!drain) m_dropping = true;
    const int stop = ++m_stopsPosted;
    m_queue.Post(kMsgSoundStop, drain ? 1 : 0);
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [&] { return m_stopsHandled >= stop; });
}

std::string SoundServer::FailureReason() const {
    std::lock_guard lock(m_mutex);
    return m_failure;
}

void SoundServer::Free(int index) {
    {
        std::lock_guard lock(m_mutex);
        m_busy[static_cast<size_t>(index)] = false;
    }
    m_cv.notify_all();
}

void SoundServer::Run() {
    TraceThreadBegin("sound server");
    RaiseThreadPriority("sound server");
    ThreadMessageQueue<Nothing>::Item m;
    while (m_queue.Take(&m)) {
        if (m.id == kMsgSoundPlayBuffer) {
            const int index = static_cast<int>(m.p1);
            const int64_t frames = m.p2;
            if (!m_dropping.load() && !m_failed.load() && m_device.IsOpen() &&
                m_device.Write(Buffer(index), frames) < frames) {
                const std::string why =
                    m_device.HasEnded() ? m_device.EndReason() : std::string("does not take audio");
                Trace(kTraceError, "%s: %s", m_device.Name().c_str(), why.c_str());
                {
                    std::lock_guard lock(m_mutex);
                    m_failure = why;
                }
                m_failed = true;
            }
            Free(index);
        } else if (m.id == kMsgSoundStop) {
            if (m.p1 != 0) m_device.Drain();
            m_device.Close();
            m_dropping = false;
            m_failed = false;
            {
                std::lock_guard lock(m_mutex);
                ++m_stopsHandled;
            }
            m_cv.notify_all();
        }
    }
    TraceThreadEnd("sound server");
}

}  // namespace wk
