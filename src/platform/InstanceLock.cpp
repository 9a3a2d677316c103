#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/FileUtil.h"
#include "core/ProgramHome.h"
#include "platform/MachineSettings.h"

namespace wk {
namespace {

// A longer share.shr is not a path this program wrote.
constexpr size_t kHandOverLimit = 4096;
// The holder writes its pid right after locking; a reader that finds the
// file still empty looks again this often.
constexpr int kPidReadAttempts = 50;
constexpr auto kPidReadPause = std::chrono::milliseconds(10);

std::string LockPath() {
    return ProgramFile(kInstanceLockFile);
}

RunningInstance ParseLockFile(const std::string& text) {
    RunningInstance instance;
    std::istringstream in(text);
    long long pid = 0;
    if (in >> pid && pid > 0) instance.pid = static_cast<pid_t>(pid);
    in >> instance.command;
    return instance;
}

std::string ReadAllFd(int fd) {
    std::string text;
    char buffer[256];
    off_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
        at += n;
        if (text.size() > 1024) break;
    }
    return text;
}

std::string CommandText(const std::string& command) {
    if (command.empty()) return "wavkeep";
    return "\"wavkeep " + command + "\"";
}

}  // namespace

InstanceLock::~InstanceLock() {
    Release();
}

bool InstanceLock::Acquire(const std::string& command, std::string* why) {
    if (m_fd >= 0) return true;
    const std::string path = LockPath();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (why) *why = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        ::close(fd);
        if (why) {
            if (error == EWOULDBLOCK) {
                const auto other = FindRunningInstance();
                *why = "another recorder runs in this program home (" + ProgramFolder() + ")";
                if (other && other->pid > 0) {
                    *why +=
                        ": " + CommandText(other->command) + ", pid " + std::to_string(other->pid);
                }
            } else {
                *why = "cannot lock " + path + ": " + std::strerror(error);
            }
        }
        return false;
    }
    const std::string text = std::to_string(::getpid()) + "\n" + command + "\n";
    // The lock is what counts; the pid only serves the messages of others,
    // so a failed write is not a reason to refuse.
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t n = ::pwrite(fd, text.data(), text.size(), 0);
    }
    m_fd = fd;
    return true;
}

void InstanceLock::Release() {
    if (m_fd < 0) return;
    [[maybe_unused]] const int ignored = ::ftruncate(m_fd, 0);
    ::close(m_fd);  // lets go of the lock
    m_fd = -1;
}

std::optional<RunningInstance> FindRunningInstance() {
    const int fd = ::open(LockPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<RunningInstance> found;
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);  // free: nobody runs
    } else if (errno == EWOULDBLOCK) {
        RunningInstance instance;
        for (int i = 0; i < kPidReadAttempts; ++i) {
            instance = ParseLockFile(ReadAllFd(fd));
            if (instance.pid > 0) break;
            std::this_thread::sleep_for(kPidReadPause);
        }
        found = instance;
    }
    ::close(fd);
    return found;
}

std::string HandOverFolder() {
    const auto folder = MachineSettings::Get(MachineSettings::kDescriptionFolder);
    std::error_code ec;
    if (folder && !folder->empty() && std::filesystem::is_directory(*folder, ec))
        return folder->back() == '/' ? *folder : *folder + "/";
    return ProgramFolder();
}

void RegisterHandOverFolder() {
    const auto folder = MachineSettings::Get(MachineSettings::kDescriptionFolder);
    std::error_code ec;
    if (folder && !folder->empty() && std::filesystem::is_directory(*folder, ec)) return;
    MachineSettings::Set(MachineSettings::kDescriptionFolder, ProgramFolder());
}

std::optional<std::string> WriteHandOverFile(const std::string& descriptionPath, std::string* why) {
    std::error_code ec;
    const std::string absolute =
        std::filesystem::absolute(descriptionPath, ec).lexically_normal().string();
    if (ec || absolute.empty() || absolute.size() > kHandOverLimit ||
        absolute.find_first_of("\r\n") != std::string::npos) {
        if (why) *why = "cannot hand over \"" + descriptionPath + "\": not a usable path";
        return std::nullopt;
    }
    const std::string path = HandOverFolder() + kHandOverFile;
    if (!ReplaceFileContents(path, absolute)) {
        if (why) *why = "cannot write " + path;
        return std::nullopt;
    }
    return absolute;
}

std::optional<std::string> ReadHandOverFile() {
    std::ifstream in(HandOverFolder() + kHandOverFile, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(kHandOverLimit + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > kHandOverLimit) return std::nullopt;
    // Another writer may have ended the line; the path itself holds none.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty() || text.find('\0') != std::string::npos) return std::nullopt;
    return text;
}

}  // namespace wk
