#include "core/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "core/ProgramHome.h"
#include "core/Trace.h"

namespace wk {
namespace {

constexpr auto kRetryPause = std::chrono::milliseconds(10);

bool SafeLockName(const std::string& name) {
    if (name.empty() || name.size() > 200 || name == "." || name == "..") return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

int OpenLockFile(const std::string& name, std::string* why) {
    if (!SafeLockName(name)) {
        if (why) *why = "bad lock name \"" + name + "\"";
        return -1;
    }
    const std::string folder = LockFolder();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const std::string path = folder + name;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 && why) *why = "cannot open the lock " + path + ": " + std::strerror(errno);
    return fd;
}

}  // namespace

FileLock::~FileLock() {
    Release();
}

FileLock::FileLock(FileLock&& other) noexcept : m_fd(other.m_fd) {
    other.m_fd = -1;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        Release();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool FileLock::Acquire(const std::string& name, int timeoutMs, std::string* why,
                       const std::atomic<int>* cancel) {
    Release();
    const int fd = OpenLockFile(name, why);
    if (fd < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            m_fd = fd;
            return true;
        }
        const int error = errno;
        if (error != EWOULDBLOCK && error != EINTR) {
            if (why) *why = "cannot lock " + name + ": " + std::strerror(error);
            break;
        }
        if (cancel && cancel->load() != 0) {
            if (why) *why = "cancelled while waiting for the lock " + name;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            if (why) *why = "another wavkeep process is still changing the files guarded by " + name;
            break;
        }
        std::this_thread::sleep_for(kRetryPause);
    }
    ::close(fd);
    Trace(kTraceError, "FileLock: %s", why ? why->c_str() : name.c_str());
    return false;
}

bool FileLock::AcquireFor(const std::string& path, int timeoutMs, std::string* why,
                          const std::atomic<int>* cancel) {
    return Acquire(LockNameForFile(path), timeoutMs, why, cancel);
}

void FileLock::Release() {
    if (m_fd < 0) return;
    ::close(m_fd);  // lets go of the lock
    m_fd = -1;
}

bool FileLock::IsHeld(const std::string& name) {
    if (!SafeLockName(name)) return false;
    const int fd = ::open((LockFolder() + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = false;
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0)
        ::flock(fd, LOCK_UN);
    else
        held = errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

std::string LockNameForFile(const std::string& path) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec) absolute = path;
    const std::string whole = absolute.lexically_normal().string();
    uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    for (const unsigned char c : whole) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    std::string base = std::filesystem::path(whole).filename().string();
    std::string safe;
    for (const char c : base.substr(0, 64)) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '-' || c == '_';
        safe += ok ? c : '_';
    }
    if (safe.empty() || safe == "." || safe == "..") safe = "file";
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return safe + "-" + hex + ".lock";
}

std::string LockFolder() {
    return ProgramFolder() + "locks/";
}

}  // namespace wk
