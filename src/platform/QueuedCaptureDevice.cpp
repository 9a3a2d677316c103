#include "platform/QueuedCaptureDevice.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "core/Clock.h"
#include "core/Event.h"
#include "core/Trace.h"

namespace wk {

namespace {

void SetWhy(std::string* why, const std::string& text) {
    if (why) *why = text;
}

}  // namespace

QueuedCaptureDevice::~QueuedCaptureDevice() {
    // Derived classes close in their own destructors, while their ReadFrames
    // still exists; by now the thread is normally gone already.
    StopThread();
}

bool QueuedCaptureDevice::Open(int sampleRate, int channels, Event* bufferDone, std::string* why) {
    Close();
    if (sampleRate <= 0 || channels < 1) {
        SetWhy(why, "invalid format: " + std::to_string(sampleRate) + " Hz, " +
                        std::to_string(channels) + " channels");
        return false;
    }
    m_sourceEndReason.clear();
    if (!OpenSource(sampleRate, channels, why)) return false;
    m_rate = sampleRate;
    m_channels = channels;
    m_event = bufferDone;
    m_open = true;
    m_delivered = 0;
    {
        std::lock_guard lock(m_mutex);
        m_endReason.clear();
        m_largestBufferFrames = 0;
    }
    m_ended.store(false);
    return true;
}

bool QueuedCaptureDevice::AddBuffer(CaptureBuffer* buffer, std::string* why) {
    if (!m_open.load()) {
        SetWhy(why, Name() + " is not open");
        return false;
    }
    const size_t frameBytes = 2 * static_cast<size_t>(m_channels.load());
    if (buffer == nullptr || buffer->data == nullptr || buffer->size < frameBytes) {
        SetWhy(why, "a capture buffer must hold at least one frame");
        return false;
    }
    buffer->recorded = 0;
    buffer->done.store(false);
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(buffer);
        m_largestBufferFrames =
            std::max(m_largestBufferFrames, static_cast<int64_t>(buffer->size / frameBytes));
    }
    m_wake.notify_all();
    return true;
}

bool QueuedCaptureDevice::Start(std::string* why) {
    if (!m_open.load()) {
        SetWhy(why, Name() + " is not open");
        return false;
    }
    if (m_thread.joinable()) return true;
    // An ended device delivers nothing more; its buffers wait for Reset.
    if (m_ended.load()) return true;
    if (!StartSource(why)) return false;
    m_stop.store(0);
    m_deliveredSinceStart = 0;
    {
        std::lock_guard lock(m_mutex);
        m_consumedSinceStart = 0;
    }
    m_startTicks = GetClock().Ticks();
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        StopSource();
        SetWhy(why, std::string("cannot start the capture thread: ") + e.what());
        return false;
    }
    return true;
}

void QueuedCaptureDevice::StopThread() {
    if (!m_thread.joinable()) return;
    {
        // Set under the mutex so that a thread about to wait cannot miss it.
        std::lock_guard lock(m_mutex);
        m_stop.store(1);
    }
    m_wake.notify_all();
    GetClock().WakeSleepers();
    m_thread.join();
}

void QueuedCaptureDevice::Reset() {
    const bool wasRunning = m_thread.joinable();
    StopThread();
    if (wasRunning) StopSource();
    std::deque<CaptureBuffer*> queued;
    {
        std::lock_guard lock(m_mutex);
        queued.swap(m_queue);
    }
    for (CaptureBuffer* buffer : queued) buffer->done.store(true);
    if (!queued.empty() && m_event) m_event->Set();
}

void QueuedCaptureDevice::Close() {
    Reset();
    if (!m_open.load()) return;
    CloseSource();
    m_open = false;
    m_event = nullptr;
}

bool QueuedCaptureDevice::HasEnded() const {
    return m_ended.load();
}

std::string QueuedCaptureDevice::EndReason() const {
    std::lock_guard lock(m_mutex);
    return m_endReason;
}

void QueuedCaptureDevice::Consumed(int64_t frames) {
    if (frames <= 0 || m_pacing != Pacing::kConsumer) return;
    {
        std::lock_guard lock(m_mutex);
        m_consumedSinceStart += frames;
    }
    m_wake.notify_all();
    if (auto* clock = dynamic_cast<VirtualClock*>(&GetClock()))
        clock->AdvanceFrames(frames, m_rate.load());
}

void QueuedCaptureDevice::Run() {
    TraceThreadBegin("CaptureDevice");
    while (CaptureBuffer* buffer = NextBuffer()) {
        if (!Fill(*buffer)) break;
    }
    TraceThreadEnd("CaptureDevice");
}

CaptureBuffer* QueuedCaptureDevice::NextBuffer() {
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [this] { return m_stop.load() != 0 || !m_queue.empty(); });
    if (m_stop.load() != 0) return nullptr;
    CaptureBuffer* buffer = m_queue.front();
    m_queue.pop_front();
    return buffer;
}

int64_t QueuedCaptureDevice::WaitForRoom(int64_t wanted) {
    std::unique_lock lock(m_mutex);
    int64_t room = 0;
    m_wake.wait(lock, [&] {
        room = m_consumedSinceStart + kLeadBuffers * m_largestBufferFrames - m_deliveredSinceStart;
        return m_stop.load() != 0 || room > 0;
    });
    if (m_stop.load() != 0) return 0;
    return std::min(wanted, room);
}

bool QueuedCaptureDevice::WaitUntilDue() {
    const int64_t due = m_startTicks + m_deliveredSinceStart * 1000 / m_rate.load();
    for (;;) {
        Clock& clock = GetClock();
        const int64_t now = clock.Ticks();
        if (now >= due) return true;
        if (!clock.SleepFor(due - now, &m_stop)) return false;
    }
}

bool QueuedCaptureDevice::Fill(CaptureBuffer& buffer) {
    const int channels = m_channels.load();
    const size_t frameBytes = 2 * static_cast<size_t>(channels);
    const int64_t capacity = static_cast<int64_t>(buffer.size / frameBytes);
    const bool aligned = reinterpret_cast<uintptr_t>(buffer.data) % alignof(int16_t) == 0;
    if (!aligned) m_scratch.resize(static_cast<size_t>(capacity * channels));
    int16_t* out = aligned ? reinterpret_cast<int16_t*>(buffer.data) : m_scratch.data();

    int64_t filled = 0;
    bool stopped = false;
    std::string endReason;
    while (filled < capacity) {
        if (StopRequested()) {
            stopped = true;
            break;
        }
        int64_t wanted = capacity - filled;
        const int64_t limit = m_frameLimit.load();
        if (limit >= 0) {
            wanted = std::min(wanted, limit - m_delivered);
            if (wanted <= 0) {
                endReason = kEndFrameLimit;
                break;
            }
        }
        if (m_pacing == Pacing::kConsumer) {
            wanted = WaitForRoom(wanted);
            if (wanted == 0) {
                stopped = true;
                break;
            }
        }
        const int64_t got = ReadFrames(out + filled * channels, wanted);
        if (got > 0) {
            const int64_t taken = std::min(got, wanted);
            filled += taken;
            m_delivered += taken;
            m_deliveredSinceStart += taken;
            continue;
        }
        if (StopRequested()) {
            stopped = true;
            break;
        }
        if (!m_sourceEndReason.empty()) {
            endReason = m_sourceEndReason;
        } else {
            endReason = got == 0 ? "end of input" : "read failed";
        }
        break;
    }
    if (endReason.empty() && !stopped) {
        const int64_t limit = m_frameLimit.load();
        if (limit >= 0 && m_delivered >= limit) {
            endReason = kEndFrameLimit;
        } else if (SourceExhausted()) {
            // Ends with the buffer holding the last frame, not one empty buffer later.
            endReason = m_sourceEndReason.empty() ? "end of input" : m_sourceEndReason;
        }
    }
    if (!stopped && filled > 0 && m_pacing == Pacing::kClock && !WaitUntilDue()) stopped = true;

    if (!aligned && filled > 0)
        std::memcpy(buffer.data, m_scratch.data(), static_cast<size_t>(filled) * frameBytes);
    buffer.recorded = static_cast<size_t>(filled) * frameBytes;
    buffer.done.store(true);
    // A stop does not end the device: it may be started again.
    if (!stopped && !endReason.empty()) End(endReason);
    if (m_event) m_event->Set();
    return !stopped && endReason.empty();
}

void QueuedCaptureDevice::End(const std::string& reason) {
    {
        std::lock_guard lock(m_mutex);
        m_endReason = reason;
    }
    m_ended.store(true);
    Trace(kTraceInfo, "%s ended: %s", Name().c_str(), reason.c_str());
}

}  // namespace wk
