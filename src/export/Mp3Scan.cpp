#include "export/Mp3Scan.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>

namespace wk::mp3 {

// Writes one message of the normalisation to standard error and the trace.
void Say(const std::string& text, int level) {
    std::fputs(text.c_str(), stderr);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    while (!line.empty() && line.front() == '\n') line.erase(line.begin());
    Trace(level, "%s", line.c_str());
}

int OpenRegularFile(const std::string& path, int flags, int64_t* size) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return -1;
    }
    *size = st.st_size;
    return fd;
}

std::string FirstFrameMessage(FrameScanner::First first, const std::string& path) {
    switch (first) {
        case FrameScanner::First::kFound:
            return {};
        case FrameScanner::First::kLayer1:
            return std::string(path) += " is an MPEG Layer I file, not a layer III file\n";
        case FrameScanner::First::kLayer2:
            return std::string(path) += " is an MPEG Layer II file, not a layer III file\n";
        case FrameScanner::First::kNone:
            break;
    }
    return (std::string("Can't find any valid MP3 frames in file ") += path) += "\n\n";
}

}  // namespace wk::mp3
