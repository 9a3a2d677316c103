#include "platform/PlaybackPacer.h"

#include <algorithm>

#include "core/Clock.h"
#include "core/Trace.h"
#include "platform/DeadlineSleep.h"
#include "platform/PlaybackDevice.h"

namespace wk {

namespace {

constexpr int64_t kRate = PlaybackDevice::kSampleRate;

}  // namespace

int64_t PlaybackPacer::BufferFrames() {
    return kBufferMs * kRate / 1000;
}

void PlaybackPacer::Start() {
    m_virtual = m_realTime ? nullptr : dynamic_cast<VirtualClock*>(&GetClock());
    m_systemClock = dynamic_cast<SystemClock*>(&GetClock()) != nullptr;
    m_written = m_played = m_pendingGap = 0;
    m_underrunFrames = 0;
}

int64_t PlaybackPacer::ElapsedFrames() const {
    return (GetClock().Ticks() - m_startTicks) * kRate / 1000;
}

void PlaybackPacer::PlayVirtual(int64_t frames, bool gapAllowed) {
    if (frames <= 0) return;
    const int64_t queued = m_written - m_played;
    const int64_t heard = std::min(frames, queued);
    m_played += heard;
    // Nothing queued before the first write: a card that has not started yet
    // plays no silence either.
    if (gapAllowed && m_written > 0) m_pendingGap += frames - heard;
    m_virtual->AdvanceFrames(frames, kRate);
}

int64_t PlaybackPacer::Admit(int64_t frames) {
    int64_t gap = 0;
    if (m_virtual) {
        gap = m_pendingGap;
        m_pendingGap = 0;
        m_written += gap;
        m_played += gap;
        const int64_t over = m_written - m_played + frames - BufferFrames();
        if (over > 0) PlayVirtual(over, false);
    } else {
        if (m_written == 0) m_startTicks = GetClock().Ticks();  // the card starts with its first frames
        const int64_t elapsed = ElapsedFrames();
        if (elapsed > m_written) {
            gap = elapsed - m_written;
            m_written = elapsed;
        }
        // A full buffer is left to play down to half before more is taken:
        // one wake-up per half buffer rather than one per decoded frame.
        for (;;) {
            const int64_t over = m_written - ElapsedFrames() + frames - BufferFrames();
            if (over <= 0) break;
            GetClock().SleepFor(std::max<int64_t>(1, (over + BufferFrames() / 2) * 1000 / kRate));
        }
    }
    m_written += frames;
    if (gap > 0) {
        m_underrunFrames += gap;
        Trace(kTraceInfo, "playback underrun: %lld ms of silence", static_cast<long long>(gap * 1000 / kRate));
    }
    return gap;
}

bool PlaybackPacer::WaitFor(int64_t ms, const std::atomic<int>* cancel) {
    if (cancel && cancel->load() != 0) return false;
    if (m_systemClock) {
        // One sleep to an absolute deadline: woken once per block, not per slice.
        return SleepUntilDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), cancel);
    }
    if (!m_virtual) return GetClock().SleepFor(ms, cancel);
    PlayVirtual(ms * kRate / 1000, true);
    return true;
}

void PlaybackPacer::Drain() {
    if (m_virtual) {
        PlayVirtual(m_written - m_played, false);
        return;
    }
    if (m_written == 0) return;
    for (int64_t left = m_written - ElapsedFrames(); left > 0; left = m_written - ElapsedFrames())
        GetClock().SleepFor(std::max<int64_t>(1, left * 1000 / kRate));
}

int64_t PlaybackPacer::Drop() {
    const int64_t heard = m_virtual ? m_played : std::min(m_written, ElapsedFrames());
    const int64_t unheard = m_written > 0 ? std::max<int64_t>(0, m_written - heard) : 0;
    m_written = m_played = m_pendingGap = 0;
    return unheard;
}

}  // namespace wk
