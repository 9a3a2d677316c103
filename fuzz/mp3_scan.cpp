// The MP3 frame search of the normalisation and gain change: ID3 tags and
// information frames stepped over, frame after frame to the end.
#include <fcntl.h>
#include <unistd.h>

#include "FuzzSupport.h"
#include "export/Mp3Scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wk::fuzz::WriteHomeFile("scan.mp3", wk::fuzz::AsText(data, size));
    const int fd = ::open((wk::fuzz::ScratchHome() + "scan.mp3").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) wk::fuzz::Fail("cannot open the scratch file");
    std::vector<uint8_t> buffer;
    wk::mp3::FrameScanner scanner(fd, static_cast<int64_t>(size), buffer);
    wk::mp3::Frame frame;
    if (scanner.FindFirst(&frame) == wk::mp3::FrameScanner::First::kFound) {
        bool more = true;
        if (scanner.IsInfoFrame(frame)) more = scanner.FindNext(frame.pos + frame.length, &frame);
        for (; more; more = scanner.FindNext(frame.pos + frame.length, &frame)) {
            // The last frame may be cut off; it still begins inside the data.
            if (frame.length <= 0 || frame.pos < 0 || frame.pos >= scanner.End())
                wk::fuzz::Fail("a frame outside the file");
            // What the gain change and the analysis take of each frame.
            (void)scanner.Window(frame.pos, static_cast<size_t>(frame.HeaderAndSideInfo()));
            const int64_t available = std::min<int64_t>(frame.length, scanner.End() - frame.pos);
            if (scanner.Window(frame.pos, static_cast<size_t>(available)) == nullptr) break;
        }
    }
    ::close(fd);
    return 0;
}
