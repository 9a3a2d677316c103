#include "support/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace wk::test {

ChildProcess::~ChildProcess() {
    if (m_pid <= 0) return;
    Signal(SIGKILL);
    Wait();
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& out,
                         const std::string& err) {
    std::vector<std::string> words = argv;
    std::vector<char*> pointers;
    for (auto& w : words) pointers.push_back(w.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int rc = posix_spawnp(&m_pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) m_pid = -1;
    return rc == 0;
}

int ChildProcess::Wait() {
    if (m_pid <= 0) return -1;
    int status = 0;
    const pid_t pid = m_pid;
    m_pid = -1;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ChildProcess::Signal(int signal) const {
    return m_pid > 0 && ::kill(m_pid, signal) == 0;
}

int RunProgram(const std::vector<std::string>& argv, const std::string& out,
               const std::string& err) {
    ChildProcess child;
    return child.Start(argv, out, err) ? child.Wait() : -1;
}

}  // namespace wk::test
