#include "support/TempHome.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/EventLog.h"
#include "core/ProgramHome.h"
#include "core/Trace.h"

namespace wk::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "wavkeep-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern + "/";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> FileNames(const std::string& folder, const std::string& suffix) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = e.path().filename().string();
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string TraceText(const std::string& folder) {
    std::string text;
    for (const std::string& name : FileNames(folder, ".txt"))
        if (name.rfind("Log_", 0) == 0) text += ReadFile(folder + "/" + name);
    return text;
}

void TempHomeTest::SetUp() {
    SetProgramHome(m_dir.Path());
    EventLog::Instance().Close();
}

void TempHomeTest::TearDown() {
    EventLog::Instance().Close();
    if (m_traced) {
        SetTraceLevel(0);
        SetTraceFileBase("");
    }
    SetProgramHome("");
}

void TempHomeTest::TraceToHome() {
    SetTraceFileBase(HomeFile("Log"));
    SetTraceLevel(kTraceDetail);
    m_traced = true;
}

std::string TempHomeTest::TraceText() const {
    return ReadFile(CurrentTraceFile());
}

}  // namespace wk::test
