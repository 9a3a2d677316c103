#pragma once
// Runs the wavkeep executable as a user does, in a temporary program home,
// capturing its output in files.

#include <algorithm>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/TempHome.h"
#include "support/WaitFor.h"

namespace wk::test {

class WavkeepRunTest : public ::testing::Test {
protected:
    // wavkeep with `args` in `home` (this test's unless named): its exit
    // status; Out() and Err() hold what it printed.
    int Run(const std::vector<std::string>& args) { return RunIn(m_home, args); }
    int RunIn(const TempDir& home, const std::vector<std::string>& args) {
        return Exec(With({"--home", home.Path()}, args));
    }
    // Without a --home of the test's.
    int Exec(const std::vector<std::string>& args) {
        return RunProgram(With({WAVKEEP_EXE}, args), m_io.File("out"), m_io.File("err"));
    }
    // Started in this test's home, not waited for; its output in `name`.out/.err.
    bool Spawn(ChildProcess& child, const std::vector<std::string>& args,
               const std::string& name = "child") {
        return child.Start(With({WAVKEEP_EXE, "--home", m_home.Path()}, args),
                           m_io.File(name + ".out"), m_io.File(name + ".err"));
    }
    std::string Out() const { return ReadFile(m_io.File("out")); }
    std::string Err() const { return ReadFile(m_io.File("err")); }
    std::string HomeText(const std::string& name) const { return ReadFile(m_home.File(name)); }
    // The chunk files of a stream in this home, in the order of their numbers.
    std::vector<std::string> Chunks(const std::string& extension,
                                    const std::string& stream = "Default") const {
        std::vector<std::string> names = FileNames(m_home.File("Streams/" + stream), extension);
        const auto number = [](const std::string& n) {
            return std::stoi(n.substr(n.rfind('_') + 1));
        };
        std::stable_sort(
            names.begin(), names.end(),
            [&](const std::string& a, const std::string& b) { return number(a) < number(b); });
        return names;
    }
    static std::vector<std::string> With(std::vector<std::string> words,
                                         const std::vector<std::string>& more) {
        words.insert(words.end(), more.begin(), more.end());
        return words;
    }

    TempDir m_home;
    TempDir m_io;
};

}  // namespace wk::test
