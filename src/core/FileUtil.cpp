#include "core/FileUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/SystemInfo.h"
#include "core/Trace.h"

namespace wk {

bool ReplaceFileContents(const std::string& path, std::string_view bytes, unsigned mode) {
    // A name of its own per writer: two threads or processes saving the same
    // file at once must not write into one temporary file.
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = path + ".new." + std::to_string(CurrentProcessId()) + "." + std::to_string(counter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    static_cast<mode_t>(mode));
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        Trace(kTraceError, "Cannot write %s: %s", temp.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = true;
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        Trace(kTraceError, "Cannot write %s: %s", path.c_str(), std::strerror(errno));
        ::unlink(temp.c_str());
    }
    return ok;
}

int64_t FileLength(std::FILE* f) {
    struct stat st {};
    if (f == nullptr || ::fstat(::fileno(f), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_size);
}

bool WriteAll(std::FILE* out, const void* data, size_t size) {
    return size == 0 || std::fwrite(data, 1, size, out) == size;
}

}  // namespace wk
