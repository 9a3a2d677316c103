#pragma once
// The command-line tools the tests compare against (lame, mp3gain, oggdec,
// ogginfo...). scripts/install-deps installs them, so a tool that is not on
// the PATH fails the test that needs it: RequireTool reports it and returns "".

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace wk::test {

// The tool's full path from the PATH, "" when it is not there.
inline std::string FindTool(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

inline std::string RequireTool(const std::string& name) {
    const std::string found = FindTool(name);
    EXPECT_NE(found, "") << name << " is not on the PATH (scripts/install-deps installs it)";
    return found;
}

// Standard output (and, with " 2>&1" in `command`, standard error) of a shell
// command; `status` receives its exit status.
inline std::string RunTool(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
    const int result = ::pclose(pipe);
    if (status) *status = result;
    return out;
}

inline std::string Quote(const std::string& path) {
    return "'" + path + "'";
}

}  // namespace wk::test
