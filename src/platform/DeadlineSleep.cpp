#include "platform/DeadlineSleep.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <thread>

namespace wk {

namespace {

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "a futex waits on the flag's own word");

timespec ToTimespec(SteadyTime t) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

int* Word(const std::atomic<int>* flag) {
    // The kernel only reads the word (and compares it with 0).
    return reinterpret_cast<int*>(const_cast<std::atomic<int>*>(flag));
}

}  // namespace

bool SleepUntilDeadline(SteadyTime deadline, const std::atomic<int>* cancel) {
    // The steady clock is CLOCK_MONOTONIC, the clock of both calls below.
    const timespec ts = ToTimespec(deadline);
    if (!cancel) {
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        return true;
    }
    for (;;) {
        if (cancel->load() != 0) return false;
        // An absolute deadline on CLOCK_MONOTONIC; returns at once when the
        // flag is no longer 0.
        const long r = syscall(SYS_futex, Word(cancel), FUTEX_WAIT_BITSET_PRIVATE, 0, &ts, nullptr,
                               FUTEX_BITSET_MATCH_ANY);
        if (r == 0 || errno == EAGAIN || errno == EINTR) continue;
        if (errno == ETIMEDOUT) return cancel->load() == 0;
        // No futex (never on Linux): a plain sleep of the same length.
        std::this_thread::sleep_until(deadline);
        return cancel->load() == 0;
    }
}

void WakeCancelWaiters(std::atomic<int>* flag) {
    syscall(SYS_futex, Word(flag), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace wk
