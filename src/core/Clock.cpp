#include "core/Clock.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

namespace wk {

namespace {

// Longest real-time stretch a sleeper goes without looking at its cancel flag.
// Whoever sets a flag calls WakeSleepers, which wakes the sleeper at once; the
// slice only bounds the delay for a flag set without it, and a short one would
// wake a playing or recording thread a hundred times a second for nothing.
constexpr int64_t kSystemSleepSliceMs = 100;
// A ManualClock sleeper looks at its flag more often: tests cancel it and
// should not wait for the slice to run out.
constexpr auto kManualPollInterval = std::chrono::milliseconds(5);

std::atomic<Clock*> g_clock{nullptr};

SystemClock& TheSystemClock() {
    static SystemClock clock;
    return clock;
}

bool Cancelled(const std::atomic<int>* cancel) {
    return cancel != nullptr && cancel->load() != 0;
}

}  // namespace

Clock& GetClock() {
    Clock* clock = g_clock.load(std::memory_order_acquire);
    return clock != nullptr ? *clock : TheSystemClock();
}

void SetClock(Clock* clock) {
    g_clock.store(clock, std::memory_order_release);
}

// --- SystemClock -----------------------------------------------------------

DateTime SystemClock::Now() const {
    timespec ts{};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return DateTime::Now();
    std::tm tm{};
    if (localtime_r(&ts.tv_sec, &tm) == nullptr) return DateTime();
    return DateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                    static_cast<int32_t>(ts.tv_nsec / 1000000));
}

int64_t SystemClock::Ticks() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool SystemClock::SleepFor(int64_t ms, const std::atomic<int>* cancel) {
    if (!cancel) {
        // Nothing to look at meanwhile: one sleep, no lock.
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max<int64_t>(ms, 0)));
        return true;
    }
    const int64_t end = Ticks() + std::max<int64_t>(ms, 0);
    std::unique_lock lock(m_mutex);
    for (;;) {
        const int64_t remaining = end - Ticks();
        if (remaining <= 0) return true;
        if (Cancelled(cancel)) return false;
        // Sliced, so that a cancel set without WakeSleepers is still seen.
        m_wake.wait_for(lock, std::chrono::milliseconds(std::min(remaining, kSystemSleepSliceMs)));
    }
}

void SystemClock::WakeSleepers() {
    std::lock_guard lock(m_mutex);
    m_wake.notify_all();
}

// --- ManualClock -----------------------------------------------------------

ManualClock::ManualClock(DateTime start) : m_now(start.ToStreamTime()) {}

DateTime ManualClock::Now() const {
    return DateTime::FromStreamTime(Current());
}

int64_t ManualClock::Ticks() const {
    return Current();
}

StreamTime ManualClock::Current() const {
    std::lock_guard lock(m_mutex);
    return m_now;
}

void ManualClock::Set(DateTime now) {
    std::lock_guard lock(m_mutex);
    m_now = now.ToStreamTime();
    m_changed.notify_all();
}

void ManualClock::Advance(int64_t ms) {
    if (ms <= 0) return;
    std::lock_guard lock(m_mutex);
    m_now += ms;
    m_changed.notify_all();
}

bool ManualClock::SleepFor(int64_t ms, const std::atomic<int>* cancel) {
    std::unique_lock lock(m_mutex);
    const int64_t end = m_now + std::max<int64_t>(ms, 0);
    // The real-time timeout is only there to look at the cancel flag: the
    // flag is set without this mutex, so a notify alone could be missed.
    while (m_now < end) {
        if (Cancelled(cancel)) return false;
        m_changed.wait_for(lock, kManualPollInterval);
    }
    return true;
}

void ManualClock::WakeSleepers() {
    std::lock_guard lock(m_mutex);
    m_changed.notify_all();
}

// --- VirtualClock ----------------------------------------------------------

void VirtualClock::AdvanceFrames(int64_t frames, int sampleRate) {
    if (frames <= 0 || sampleRate <= 0) return;
    int64_t wholeMs = 0;
    {
        std::lock_guard lock(m_fractionMutex);
        m_fractionFramesMs += frames * 1000;
        wholeMs = m_fractionFramesMs / sampleRate;
        m_fractionFramesMs %= sampleRate;
    }
    Advance(wholeMs);
}

}  // namespace wk
