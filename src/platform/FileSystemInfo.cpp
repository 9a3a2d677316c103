#include "platform/FileSystemInfo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>
#include <cerrno>

namespace wk {
namespace {

// Size and age of one directory entry without opening it; false for anything
// but a regular file.
bool StatEntry(int dirFd, const char* name, bool wantAge, FileFacts& out) {
    // Kernels or sandboxes without statx get fstatat, which has no birth time.
    static std::atomic<bool> s_noStatx{false};
    if (!s_noStatx.load(std::memory_order_relaxed)) {
        struct statx sx {};
        unsigned mask = STATX_TYPE | STATX_SIZE;
        if (wantAge) mask |= STATX_BTIME | STATX_MTIME;
        if (::statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, mask, &sx) == 0) {
            if ((sx.stx_mask & STATX_TYPE) == 0 || !S_ISREG(sx.stx_mode)) return false;
            out.size = sx.stx_size;
            out.created =
                (sx.stx_mask & STATX_BTIME) != 0 ? sx.stx_btime.tv_sec : sx.stx_mtime.tv_sec;
            return true;
        }
        if (errno != ENOSYS) return false;
        s_noStatx.store(true, std::memory_order_relaxed);
    }
    struct stat st {};
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return false;
    out.size = static_cast<uint64_t>(st.st_size);
    out.created = st.st_mtim.tv_sec;
    return true;
}

}  // namespace

bool ScanRegularFiles(const std::string& folder, bool wantAge,
                      const std::function<bool(std::string_view name)>& wanted,
                      const std::function<void(const char* name, const FileFacts&)>& found) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return false;
    const int fd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (!wanted(entry->d_name)) continue;
        if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_REG) continue;
        FileFacts facts;
        if (StatEntry(fd, entry->d_name, wantAge, facts)) found(entry->d_name, facts);
    }
    ::closedir(dir);
    return true;
}

std::optional<uint64_t> FreeSpaceAt(const std::string& path) {
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0) return std::nullopt;
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(vfs.f_bavail),
                               static_cast<uint64_t>(vfs.f_frsize), &bytes))
        return UINT64_MAX;
    return bytes;
}

}  // namespace wk
