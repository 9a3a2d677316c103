#pragma once
// A fresh temporary folder per test, set as the program home while the
// fixture lives, removed afterwards.

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wk::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }  // with a trailing '/'
    std::string File(const std::string& name) const { return m_path + name; }

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
// The names in `folder` that end in `suffix`, sorted; none for a missing folder.
std::vector<std::string> FileNames(const std::string& folder, const std::string& suffix);
// The text of the trace files ("Log_*.txt") in `folder`, oldest first.
std::string TraceText(const std::string& folder);

// Sets the program home to a temporary folder for the test's duration. The
// event log is closed at both ends, since it follows the program home only
// when it opens again.
class TempHomeTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string HomeFile(const std::string& name) const { return m_dir.File(name); }
    // Trace lines down to the detail level go to "Log..." files in the home
    // until the test ends; TraceText is what the current one holds.
    void TraceToHome();
    std::string TraceText() const;
    TempDir m_dir;

private:
    bool m_traced = false;
};

}  // namespace wk::test
