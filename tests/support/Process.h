#pragma once
// The built programs run by the tests as a user runs them: argv as given (no
// shell), stdin from /dev/null, stdout and stderr into files.

#include <sys/types.h>

#include <string>
#include <vector>

namespace wk::test {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();  // one still running is killed and reaped
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is the program: a path, or a name looked up in PATH.
    bool Start(const std::vector<std::string>& argv, const std::string& out,
               const std::string& err);
    // The exit status, 128 + the signal that ended it, -1 when none ran.
    int Wait();
    bool Signal(int signal) const;
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

// Runs the program to its end; its status as Wait gives it.
int RunProgram(const std::vector<std::string>& argv, const std::string& out,
               const std::string& err);

}  // namespace wk::test
