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

void NoteStreamsChanged() {
    const std::string next = std::to_string(StreamsGeneration() + 1) + "\n";
    if (!ReplaceFileContents(ProgramFile(kStreamsGenerationFile), next))
        Trace(kTraceError, "The change count of the stream folders could not be written");
}

}  // namespace wk
