#pragma once
// Sleeping until a moment of the steady clock in one system call, for the
// threads that pace playback in real time: a relative sleep on a condition
// variable costs a lock, a wake-up call on the way out and a rounding of the
// deadline to milliseconds, once per block played.
//
// A sleeper with a cancel flag waits on the flag's own word: whoever sets the
// flag calls WakeCancelWaiters on it and the sleep ends at once. A flag set
// without that call is seen at the deadline.

#include <atomic>
#include <chrono>

namespace wk {

using SteadyTime = std::chrono::steady_clock::time_point;

// True when the deadline passed, false when `*cancel` (may be nullptr) was or
// became non-zero.
bool SleepUntilDeadline(SteadyTime deadline, const std::atomic<int>* cancel);

// Ends the sleeps waiting on `flag` (after the flag was set).
void WakeCancelWaiters(std::atomic<int>* flag);

}  // namespace wk
