#include "core/SystemInfo.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <pthread.h>
#include <unistd.h>

#include "core/Version.h"

namespace wk {

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(::syscall(SYS_gettid));
}

uint32_t CurrentProcessId() {
    return static_cast<uint32_t>(::getpid());
}

void NameCurrentThread(const char* name) {
    if (name == nullptr || CurrentThreadId() == CurrentProcessId()) return;
    // The kernel keeps 15 bytes and a terminating zero; a longer name would
    // be refused whole.
    char shortName[16] = {};
    std::strncpy(shortName, name, sizeof shortName - 1);
    ::pthread_setname_np(::pthread_self(), shortName);
}

std::string GetExecutablePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

std::string GetExecutableFolder() {
    std::string path = GetExecutablePath();
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return path.substr(0, slash + 1);
}

std::string GetProgramVersion() {
    return kWavkeepVersion + std::string(".0");
}

std::string GetFileVersionString(const std::string& path) {
    std::error_code ec;
    auto self = std::filesystem::weakly_canonical(GetExecutablePath(), ec);
    auto other = std::filesystem::weakly_canonical(path, ec);
    if (!ec && !self.empty() && self == other) return GetProgramVersion();
    return {};
}

std::string GetComputerNameString() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::string GetLastErrorString() {
    return std::to_string(errno);
}

bool EnsureDirectory(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return true;
    return ::mkdir(path.c_str(), 0777) == 0;
}

void MakeFileNameSafe(std::string& text) {
    constexpr std::string_view bad = "*?\\&~/<>|@\"";
    for (char& c : text)
        if (bad.find(c) != std::string_view::npos) c = '_';
}

std::string GetFileExtension(const std::string& name) {
    auto slash = name.find_last_of('/');
    std::string_view base = slash == std::string::npos ? std::string_view(name)
                                                       : std::string_view(name).substr(slash + 1);
    auto dot = base.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return std::string(base.substr(dot));
}

}  // namespace wk
