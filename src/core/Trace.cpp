#include "core/Trace.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>
#include <vector>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/ProgramHome.h"
#include "core/SystemInfo.h"

namespace wk {
namespace {

struct TraceState {
    std::mutex mutex;
    std::atomic<int> level{0};
    int fd = -1;
    std::string base;
    std::string fileName;
    DateTime created;
    std::vector<char> line;  // reused under the mutex

    ~TraceState() {
        if (fd >= 0) ::close(fd);
    }

    void CloseFile() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        fileName.clear();
    }

    void OpenFile(const DateTime& now) {
        char name[64];
        std::snprintf(name, sizeof name, "_%04d%02d%02d_%02d%02d%02d_%X.txt", now.year,
                      now.month, now.day, now.hour, now.minute, now.second,
                      CurrentProcessId());
        fileName = (base.empty() ? std::string("Trace") : base) + name;
        // Traces show requests, paths and names: for the user's eyes only.
        fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) fileName.clear();
        created = now;
    }
};

TraceState& State() {
    static TraceState state;
    return state;
}

bool SameDay(const DateTime& a, const DateTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day;
}

}  // namespace

const char* TraceTag(int level) {
    static const char* const kTags[] = {"", "ERR", "INF", "DBG", "-->"};
    if (level < 0 || level >= 50) return "";
    return kTags[level / 10];
}

void TraceV(int level, const char* format, va_list args) {
    TraceState& s = State();
    const int threshold = s.level.load(std::memory_order_relaxed);
    if (threshold == 0 || level > threshold) return;

    std::lock_guard lock(s.mutex);
    const DateTime now = GetClock().Now();
    if (s.fd < 0 || !SameDay(now, s.created)) {
        s.CloseFile();
        s.OpenFile(now);
    }
    if (s.fd < 0) return;

    char head[64];
    int headLen = std::snprintf(head, sizeof head, "%02d:%02d:%02d.%03d %X %s: ", now.hour,
                                now.minute, now.second, now.millisecond, CurrentThreadId(),
                                TraceTag(level));
    std::vector<char>& line = s.line;
    line.resize(static_cast<size_t>(headLen) + kTraceMessageLimit + 3);
    std::copy(head, head + headLen, line.begin());
    int bodyLen = std::vsnprintf(line.data() + headLen, kTraceMessageLimit + 1, format, args);
    if (bodyLen < 0) bodyLen = 0;
    if (bodyLen > kTraceMessageLimit) bodyLen = kTraceMessageLimit;
    size_t total = static_cast<size_t>(headLen + bodyLen);
    line[total++] = '\r';
    line[total++] = '\n';
    // One write per line; a short write (full disk) drops the rest of the line.
    [[maybe_unused]] ssize_t written = ::write(s.fd, line.data(), total);
}

void Trace(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    TraceV(level, format, args);
    va_end(args);
}

void SetTraceLevel(int level) {
    TraceState& s = State();
    std::lock_guard lock(s.mutex);
    s.level.store(level < 1 ? 0 : level);
}

int GetTraceLevel() {
    return State().level.load();
}

void SetTraceFileBase(const std::string& base) {
    TraceState& s = State();
    std::lock_guard lock(s.mutex);
    s.CloseFile();
    s.base = base;
}

std::string CurrentTraceFile() {
    TraceState& s = State();
    std::lock_guard lock(s.mutex);
    return s.fileName;
}

void TraceThreadBegin(const char* name) {
    NameCurrentThread(name);
    Trace(kTraceDetail, "BEGIN THREAD %s (Current Thread ID = 0x%X)", name, CurrentThreadId());
}

void TraceThreadEnd(const char* name) {
    Trace(kTraceDetail, "END THREAD %s (Current Thread ID = 0x%X)", name, CurrentThreadId());
}

void SetUpTraceFromConfig() {
    SetTraceFileBase(ProgramFolder() + "Log");
    SetTraceLevel(GetTraceLevelNumber());
}

}  // namespace wk
