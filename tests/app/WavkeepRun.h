#pragma once
// Runs the wavkeep executable with a temporary program home, capturing its
// output in files.

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/TempHome.h"

namespace wk::test {

class WavkeepRunTest : public ::testing::Test {
protected:
    int Run(const std::vector<std::string>& args) {
        std::string cmd = "'" WAVKEEP_EXE "' --home '";
        cmd.append(m_home.Path()).append("'");
        for (const auto& a : args) cmd.append(" '").append(a).append("'");
        cmd.append(" >'").append(m_io.File("out")).append("' 2>'").append(m_io.File("err")).append("'");
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Out() const { return ReadFile(m_io.File("out")); }
    std::string Err() const { return ReadFile(m_io.File("err")); }
    TempDir m_home;
    TempDir m_io;
};

}  // namespace wk::test
