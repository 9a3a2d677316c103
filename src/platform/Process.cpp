#include "platform/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "core/Clock.h"
#include "core/Trace.h"

extern char** environ;

namespace wk {
namespace {

// Real time between two looks at a running program.
constexpr auto kPoll = std::chrono::milliseconds(10);

bool ExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string InFolder(const std::string& folder, const std::string& name) {
    return folder.back() == '/' ? folder + name : folder + '/' + name;
}

std::vector<char*> ArgumentVector(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Spawn file actions, destroyed with the object.
class FileActions {
public:
    FileActions() { m_ok = posix_spawn_file_actions_init(&m_actions) == 0; }
    ~FileActions() {
        if (m_ok) posix_spawn_file_actions_destroy(&m_actions);
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;

    bool Ok() const { return m_ok; }
    posix_spawn_file_actions_t* Get() { return &m_actions; }
    // `fd` open on `path` for writing (created, emptied), /dev/null when empty.
    void WriteTo(int fd, const std::string& path) {
        if (path.empty()) {
            posix_spawn_file_actions_addopen(&m_actions, fd, "/dev/null", O_WRONLY, 0);
        } else {
            posix_spawn_file_actions_addopen(&m_actions, fd, path.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
    }

private:
    posix_spawn_file_actions_t m_actions{};
    bool m_ok = false;
};

}  // namespace

std::string FindProgram(const std::string& name, const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        if (folder.empty()) continue;
        const std::string candidate = InFolder(folder, name);
        if (ExecutableFile(candidate)) return candidate;
    }
    const char* path = std::getenv("PATH");
    if (path == nullptr) return {};
    const std::string_view dirs = path;
    size_t begin = 0;
    while (begin <= dirs.size()) {
        size_t end = dirs.find(':', begin);
        if (end == std::string_view::npos) end = dirs.size();
        const std::string dir(dirs.substr(begin, end - begin));
        if (!dir.empty() && dir[0] == '/') {
            const std::string candidate = InFolder(dir, name);
            if (ExecutableFile(candidate)) return candidate;
        }
        begin = end + 1;
    }
    return {};
}

ProgramResult RunProgram(const std::vector<std::string>& args, int64_t timeoutMs, int* status,
                         const ProgramFiles& files) {
    if (args.empty()) return ProgramResult::kStartFailed;
    std::vector<char*> argv = ArgumentVector(args);
    pid_t pid = -1;
    {
        FileActions actions;
        if (!actions.Ok()) return ProgramResult::kStartFailed;
        posix_spawn_file_actions_addopen(actions.Get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        actions.WriteTo(STDOUT_FILENO, files.output);
        actions.WriteTo(STDERR_FILENO, files.errors);
        const int spawned =
            posix_spawn(&pid, args[0].c_str(), actions.Get(), nullptr, argv.data(), environ);
        if (spawned != 0) {
            errno = spawned;
            return ProgramResult::kStartFailed;
        }
    }

    const int64_t started = GetClock().Ticks();
    for (;;) {
        const pid_t done = ::waitpid(pid, status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return ProgramResult::kFailed;
        if (GetClock().Ticks() - started >= timeoutMs) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
            }
            return ProgramResult::kTimedOut;
        }
        std::this_thread::sleep_for(kPoll);
    }
    if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0) return ProgramResult::kDone;
    // posix_spawn reports a failed exec as exit status 127 on some systems.
    if (WIFEXITED(*status) && WEXITSTATUS(*status) == 127) return ProgramResult::kStartFailed;
    return ProgramResult::kFailed;
}

bool ShellOpen(const std::string& path) {
    const std::vector<std::string> args = {"xdg-open", path};
    std::vector<char*> argv = ArgumentVector(args);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        Trace(kTraceError, "xdg-open could not be started for %s", path.c_str());
        return false;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

ChildProcess::~ChildProcess() {
    Stop();
}

bool ChildProcess::Start(const std::vector<std::string>& args, const std::string& errorFile,
                         std::string* why) {
    Stop();
    if (args.empty()) {
        *why = "no program to start";
        return false;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        *why = "no pipe";
        return false;
    }
    std::vector<char*> argv = ArgumentVector(args);
    int rc = 0;
    {
        FileActions actions;
        if (!actions.Ok()) {
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
            *why = "cannot start " + args[0];
            return false;
        }
        posix_spawn_file_actions_adddup2(actions.Get(), pipeFds[1], STDOUT_FILENO);
        actions.WriteTo(STDERR_FILENO, errorFile);
        rc = posix_spawn(&m_pid, args[0].c_str(), actions.Get(), nullptr, argv.data(), environ);
    }
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        m_pid = -1;
        *why = "cannot start " + args[0];
        return false;
    }
    m_output = pipeFds[0];
    return true;
}

std::string ChildProcess::ReadLine(size_t maxBytes) {
    std::string line;
    char ch = 0;
    while (m_output >= 0 && line.size() < maxBytes && ::read(m_output, &ch, 1) == 1 && ch != '\n')
        line += ch;
    return line;
}

void ChildProcess::Stop() {
    if (m_output >= 0) {
        ::close(m_output);
        m_output = -1;
    }
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
}

}  // namespace wk
