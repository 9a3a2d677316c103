#include "player/ThreadPriority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/Trace.h"

namespace wk {

namespace {

// Above the normal 0 but far from the top: playback should win against
// builds and encoders, not against the system's own housekeeping.
constexpr int kRaisedNiceness = -5;

}  // namespace

void RaiseThreadPriority(const char* threadName) {
    // On Linux a niceness set for a thread id applies to that thread alone.
    const auto self = static_cast<id_t>(gettid());
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, self);
    if (errno != 0 || current <= kRaisedNiceness) return;
    if (setpriority(PRIO_PROCESS, self, kRaisedNiceness) != 0)
        Trace(kTraceDetail, "%s keeps niceness %d: %s", threadName, current, std::strerror(errno));
}

}  // namespace wk
