#pragma once
// wavkeep-service as a child process on a free loopback port, for the tests
// that run the client against the real service.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/TempHome.h"

extern char** environ;

namespace wk::test {

class ServiceProcess {
public:
    ServiceProcess() = default;
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    ~ServiceProcess() { Stop(); }

    // Serves `data` with its clock `offset` seconds ahead; its log goes to
    // `log` (or nowhere). False when it did not come up within 5 s.
    bool Start(const std::string& data, double offset = 0, const std::string& log = "/dev/null") {
        std::vector<std::string> words = {WAVKEEP_SERVICE_EXE, "--listen", "127.0.0.1:0", "--data",
                                          data, "--clock-offset", std::to_string(offset)};
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, m_io.File("stdout").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        const int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            m_pid = -1;
            return false;
        }
        const std::regex listening(R"(listening on 127\.0\.0\.1:(\d+))");
        for (int i = 0; i < 500 && m_port.empty(); ++i) {
            std::smatch m;
            const std::string text = ReadFile(m_io.File("stdout"));
            if (std::regex_search(text, m, listening)) {
                m_port = m[1];
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        return !m_port.empty();
    }
    // True when it ended cleanly (and, in a sanitizer build, reported nothing).
    bool Stop() {
        if (m_pid <= 0) return true;
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    const std::string& Port() const { return m_port; }
    std::string Root() const { return "http://127.0.0.1:" + m_port; }

private:
    TempDir m_io;
    pid_t m_pid = -1;
    std::string m_port;
};

}  // namespace wk::test
