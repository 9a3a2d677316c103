#pragma once
// The program's only source of time.
//
// Now() is the local wall clock; Ticks() is a monotonic millisecond counter for
// periods and time-outs. Nothing else reads the system time: production uses
// SystemClock, tests a ManualClock they advance by hand, and a recording from
// a file a VirtualClock advanced by the audio it delivers.
//
// Thread safety: every operation may be called from any thread.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "core/DateTime.h"

namespace wk {

class Clock {
public:
    virtual ~Clock() = default;

    // Local wall-clock time, with milliseconds.
    virtual DateTime Now() const = 0;
    StreamTime NowStream() const { return Now().ToStreamTime(); }

    // Monotonic milliseconds; only differences mean anything.
    virtual int64_t Ticks() const = 0;

    // Blocks the calling thread until Ticks() has advanced by `ms`, or until
    // `*cancel` becomes non-zero (looked at at least every 10 ms of real time).
    // Returns true when the time passed, false when cancelled.
    virtual bool SleepFor(int64_t ms, const std::atomic<int>* cancel = nullptr) = 0;

    // Wakes every SleepFor early so that it looks at its cancel flag again.
    virtual void WakeSleepers() {}
};

// The process-wide clock; SystemClock unless a test or the WAV-file capture
// replaced it. The clock passed must outlive its use.
Clock& GetClock();
void SetClock(Clock* clock);  // nullptr restores the system clock

class SystemClock final : public Clock {
public:
    DateTime Now() const override;
    int64_t Ticks() const override;
    bool SleepFor(int64_t ms, const std::atomic<int>* cancel = nullptr) override;
    void WakeSleepers() override;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
};

// A clock that only moves when told to. SleepFor blocks until another thread
// advances the clock far enough (or cancels).
class ManualClock : public Clock {
public:
    explicit ManualClock(DateTime start = DateTime(2003, 11, 7, 17, 42, 20, 0));

    DateTime Now() const override;
    int64_t Ticks() const override;
    bool SleepFor(int64_t ms, const std::atomic<int>* cancel = nullptr) override;
    void WakeSleepers() override;

    void Set(DateTime now);      // jumps; Ticks() follows the wall time
    void Advance(int64_t ms);    // ms >= 0
    StreamTime Current() const;  // the wall time as stream time

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    StreamTime m_now;
};

// A clock driven by the amount of audio a capture device delivered: each
// delivered frame advances it by 1/rate seconds, remainders carried over.
class VirtualClock final : public ManualClock {
public:
    explicit VirtualClock(DateTime start) : ManualClock(start) {}
    void AdvanceFrames(int64_t frames, int sampleRate);

private:
    std::mutex m_fractionMutex;
    int64_t m_fractionFramesMs = 0;  // frames*1000 not yet turned into whole ms
};

}  // namespace wk
