#pragma once
// wavkeep-service as a child process on a free loopback port, for the tests
// that run the client against the real service.

#include <signal.h>

#include <cstdlib>
#include <string>

#include "support/Process.h"
#include "support/Regex.h"
#include "support/TempHome.h"
#include "support/WaitFor.h"

namespace wk::test {

class ServiceProcess {
public:
    // Serves `data` with its clock `offset` seconds ahead; its log goes to
    // `log` (or nowhere). False when it did not come up.
    bool Start(const std::string& data, double offset = 0, const std::string& log = "/dev/null") {
        ::setenv("no_proxy", "127.0.0.1", 1);  // libcurl would take even loopback to a proxy
        if (!m_child.Start({WAVKEEP_SERVICE_EXE, "--listen", "127.0.0.1:0", "--data", data,
                            "--clock-offset", std::to_string(offset)},
                           m_io.File("stdout"), log))
            return false;
        std::vector<std::string> m;
        if (!WaitFor([&] {
                return RegexSearch(ReadFile(m_io.File("stdout")),
                                   R"(listening on 127\.0\.0\.1:(\d+))", &m);
            }))
            return false;
        m_port = m[1];
        return true;
    }
    // True when it ended cleanly (and, in a sanitizer build, reported nothing).
    bool Stop() {
        if (m_child.Pid() <= 0) return true;
        m_child.Signal(SIGTERM);
        return m_child.Wait() == 0;
    }
    const std::string& Port() const { return m_port; }
    std::string Root() const { return "http://127.0.0.1:" + m_port; }

private:
    TempDir m_io;
    ChildProcess m_child;
    std::string m_port;
};

}  // namespace wk::test
