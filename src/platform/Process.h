#pragma once
// Other programs the client starts: the Ogg decoder, the desktop's opener of
// folders, the reference service. Programs are started without a shell;
// every argument reaches them as it is.
//
// Threads: any. RunProgram, ShellOpen and ChildProcess::ReadLine block as
// their comments say.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace wk {

// `name` in the first of `folders` that holds it as an executable regular
// file, else in the first absolute folder of $PATH that does; "" when none
// does. Empty folder names are passed over (an empty PATH entry would mean
// the current folder, which is not a place to take programs from).
std::string FindProgram(const std::string& name, const std::vector<std::string>& folders = {});

enum class ProgramResult { kDone, kStartFailed, kFailed, kTimedOut };

// Where a program's standard output and error go: a file, created or
// emptied, or /dev/null when the name is empty. Standard input is /dev/null.
struct ProgramFiles {
    std::string output;
    std::string errors;
};

// Runs `args` (args[0] the program's path) and waits for it at most
// `timeoutMs` of the process clock (GetClock().Ticks()), killing it when it
// takes longer. `*status` receives its wait status. kDone: it exited with 0;
// kStartFailed: it could not be started (errno says why when the spawn
// itself failed).
ProgramResult RunProgram(const std::vector<std::string>& args, int64_t timeoutMs, int* status,
                         const ProgramFiles& files = {});

// Opens `path` with the desktop's preferred application: xdg-open from the
// PATH, with this process's standard files, waited for. True when it
// reported success.
bool ShellOpen(const std::string& path);

// A program that runs beside this one, its standard output read through a
// pipe and its standard error written to a file. Stopped (SIGTERM, then
// waited for) when the object goes.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `args` (args[0] the program's path). False with `why` when it
    // cannot be started.
    bool Start(const std::vector<std::string>& args, const std::string& errorFile,
               std::string* why);
    // Blocks until the program writes a line end or closes its output; the
    // line without its end, at most `maxBytes` of it.
    std::string ReadLine(size_t maxBytes);
    // Idempotent.
    void Stop();

private:
    pid_t m_pid = -1;
    int m_output = -1;
};

}  // namespace wk
