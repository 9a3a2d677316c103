#pragma once
// What the disk-space check asks the file system: the regular files of a
// folder with their sizes and ages in one pass over it (one statx call a
// file, fstatat where the kernel has no statx), and the free space of the
// file system a path lies on.
//
// Threads: any; both block on the file system.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace wk {

struct FileFacts {
    uint64_t size = 0;
    // Seconds since the epoch: the birth time where the file system keeps
    // one, else the last change. Only when asked for.
    int64_t created = 0;
};

// Calls `found(name, facts)` for every regular file of `folder` (links and
// folders are passed over) whose name `wanted` accepts; `wantAge` asks for
// `created` too. False, with errno set, when the folder cannot be read (a
// missing one gives ENOENT).
bool ScanRegularFiles(const std::string& folder, bool wantAge,
                      const std::function<bool(std::string_view name)>& wanted,
                      const std::function<void(const char* name, const FileFacts&)>& found);

// The bytes an unprivileged user may still write on the file system of
// `path` (f_bavail * f_frsize, at most UINT64_MAX); nothing, with errno
// set, when it cannot be asked.
std::optional<uint64_t> FreeSpaceAt(const std::string& path);

}  // namespace wk
