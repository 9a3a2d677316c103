#pragma once
// The diagnostic trace: one process-wide text log in the program home.
//
// A message of level L is written when the threshold T is not 0 and L <= T.
// Levels: 10 errors ("ERR"), 20 information ("INF"), 30 debugging ("DBG"),
// 40 thread begin/end and detail ("-->"); other levels get an empty tag.
// Files are named "<base>_YYYYMMDD_hhmmss_<pid hex>.txt"; a new file begins
// with each run and at the first message of a new day (never appended).
// Each line is "hh:mm:ss.mmm <thread id hex> <tag>: <message>\r\n", written
// with one write call; lines of different threads never interleave.
// Time comes from the process clock (GetClock()).
//
// Any thread may call every function. A file that cannot be created loses
// the message silently.

#include <cstdarg>
#include <string>

namespace wk {

inline constexpr int kTraceError = 10;
inline constexpr int kTraceInfo = 20;
inline constexpr int kTraceDebug = 30;
inline constexpr int kTraceDetail = 40;

// Longest formatted message; longer ones are cut.
inline constexpr int kTraceMessageLimit = 32768;

void Trace(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void TraceV(int level, const char* format, va_list args);

// Values below 1 switch the trace off.
void SetTraceLevel(int level);
int GetTraceLevel();
// Closes the current file; the next message opens a file with the new base
// name. An empty base falls back to "Trace".
void SetTraceFileBase(const std::string& base);
// The file being written, empty when none is open.
std::string CurrentTraceFile();

// The tag of a level: "ERR", "INF", "DBG", "-->" or "".
const char* TraceTag(int level);

// "BEGIN THREAD <name> (Current Thread ID = 0x<id>)" and its END twin, level 40.
// A worker thread also takes the name as its thread name (NameCurrentThread).
void TraceThreadBegin(const char* name);
void TraceThreadEnd(const char* name);

// Start-up set-up: base name program home + "Log", level from "TraceLevel".
void SetUpTraceFromConfig();

}  // namespace wk
