#include "streamstore/StreamsGeneration.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "core/FileUtil.h"
#include "core/ProgramHome.h"
#include "core/Trace.h"

namespace wk {

uint64_t StreamsGeneration() {
    const int fd = ::open(ProgramFile(kStreamsGenerationFile).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32] = {};
    ssize_t got = -1;
    do {
        got = ::read(fd, text, sizeof text - 1);
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    if (got <= 0) return 0;
    return std::strtoull(text, nullptr, 10);
}

// The count only tells a reader that something changed since it looked: it
// need not outlive a power cut (a view reads the folder whole when it opens),
// so it is replaced by a rename without waiting for the disk. The disk thread
// notes every pruning here, and a wait on the disk would hold it up.
void NoteStreamsChanged() {
    const std::string path = ProgramFile(kStreamsGenerationFile);
    const std::string next = std::to_string(StreamsGeneration() + 1) + "\n";
    const std::string temp = path + ".new";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    if (ok) {
        ssize_t wrote = -1;
        do {
            wrote = ::write(fd, next.data(), next.size());
        } while (wrote < 0 && errno == EINTR);
        ok = wrote == static_cast<ssize_t>(next.size());
        ok = ::close(fd) == 0 && ok;
    }
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        if (fd >= 0) ::unlink(temp.c_str());
        Trace(kTraceError, "The change count of the stream folders could not be written");
    }
}

}  // namespace wk
