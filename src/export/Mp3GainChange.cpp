// Moving the global_gain fields of an MP3 file in place.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/Trace.h"
#include "export/Mp3Normalize.h"
#include "export/Mp3Scan.h"

namespace wk {
namespace {

using mp3::Frame;

constexpr size_t kWriteQueueLimit = 100'000;

// Changed bytes waiting to be written: one entry per frame, from its first
// to its last changed byte (header checksum and side information only).
class WriteQueue {
public:
    explicit WriteQueue(int fd) : m_fd(fd) { m_entries.reserve(1024); }

    bool Add(int64_t pos, const uint8_t* bytes, size_t n) {
        Entry e;
        e.pos = pos;
        e.length = static_cast<uint8_t>(n);
        std::memcpy(e.bytes, bytes, n);
        m_entries.push_back(e);
        return m_entries.size() < kWriteQueueLimit || Flush();
    }

    bool Flush() {
        for (const Entry& e : m_entries) {
            ssize_t put = 0;
            do {
                put = ::pwrite(m_fd, e.bytes, e.length, static_cast<off_t>(e.pos));
            } while (put < 0 && errno == EINTR);
            if (put != static_cast<ssize_t>(e.length)) m_failed = true;
        }
        m_entries.clear();
        return !m_failed;
    }

private:
    struct Entry {
        int64_t pos;
        uint8_t length;
        uint8_t bytes[40];
    };
    int m_fd;
    bool m_failed = false;
    std::vector<Entry> m_entries;
};

uint16_t Crc16(const uint8_t* frame, const Frame& f) {
    uint16_t crc = 0xFFFF;
    const auto add = [&crc](uint8_t byte) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = ((byte >> bit) & 1) != 0;
            const bool top = (crc & 0x8000) != 0;
            crc = static_cast<uint16_t>(crc << 1);
            if (in != top) crc ^= 0x8005;
        }
    };
    add(frame[2]);
    add(frame[3]);
    for (int i = 0; i < f.sideInfo; ++i) add(frame[6 + i]);
    return crc;
}

// Moves the global_gain fields of one frame (its header and side information
// at `p`); returns the range of changed bytes, empty when none changed.
std::pair<int, int> ChangeFrameGains(uint8_t* p, const Frame& f, int leftSteps, int rightSteps) {
    int first = f.HeaderAndSideInfo(), last = -1;
    const int channels = f.mono ? 1 : 2;
    const int granules = f.mpeg1 ? 2 : 1;
    const int block = f.mpeg1 ? 59 : 63;
    // main_data_begin and private bits, then (MPEG-1) scfsi per channel.
    int bit =
        f.SideStart() * 8 + (f.mpeg1 ? 9 + (f.mono ? 5 : 3) + 4 * channels : 8 + (f.mono ? 1 : 2));
    for (int gr = 0; gr < granules; ++gr) {
        for (int ch = 0; ch < channels; ++ch, bit += block) {
            const int at = bit + 21;  // after part2_3_length and big_values
            const int byte = at / 8;
            const int shift = 8 - at % 8;
            unsigned word = (unsigned{p[byte]} << 8) | p[byte + 1];
            const int old = static_cast<int>((word >> shift) & 0xFF);
            if (old == 0) continue;
            const int now = std::clamp(old + (ch == 0 ? leftSteps : rightSteps), 0, 255);
            if (now == old) continue;
            word = (word & ~(0xFFu << shift)) | (static_cast<unsigned>(now) << shift);
            p[byte] = static_cast<uint8_t>(word >> 8);
            p[byte + 1] = static_cast<uint8_t>(word);
            first = std::min(first, byte);
            last = std::max(last, byte + 1);
        }
    }
    if (last >= 0 && f.crc) {
        const uint16_t crc = Crc16(p, f);
        if (p[4] != (crc >> 8) || p[5] != (crc & 0xFF)) {
            p[4] = static_cast<uint8_t>(crc >> 8);
            p[5] = static_cast<uint8_t>(crc);
            first = std::min(first, 4);
        }
    }
    return {first, last};
}

}  // namespace

bool ChangeMp3Gain(const std::string& path, int leftSteps, int rightSteps) {
    Trace(kTraceDetail, "changeGain %d", leftSteps);
    if (leftSteps == 0 && rightSteps == 0) return true;
    int64_t size = 0;
    mp3::FdCloser file{mp3::OpenRegularFile(path, O_RDWR, &size)};
    if (file.fd < 0) {
        mp3::Say((std::string("\nCan't open ") += path) += " for modifying\n", kTraceError);
        return false;
    }
    std::vector<uint8_t> buffer;
    mp3::FrameScanner scanner(file.fd, size, buffer);
    Frame frame;
    const mp3::FrameScanner::First first = scanner.FindFirst(&frame);
    if (first != mp3::FrameScanner::First::kFound) {
        mp3::Say(mp3::FirstFrameMessage(first, path));
        return false;
    }
    bool more = true;
    if (scanner.IsInfoFrame(frame)) more = scanner.FindNext(frame.pos + frame.length, &frame);
    WriteQueue queue(file.fd);
    bool written = true;
    for (; more; more = scanner.FindNext(frame.pos + frame.length, &frame)) {
        // A frame cut off before the end of its side information stays as it is.
        uint8_t* p = scanner.Window(frame.pos, static_cast<size_t>(frame.HeaderAndSideInfo()));
        if (p == nullptr) break;
        const auto [from, to] = ChangeFrameGains(p, frame, leftSteps, rightSteps);
        if (to >= from)
            written &= queue.Add(frame.pos + from, p + from, static_cast<size_t>(to - from + 1));
    }
    written &= queue.Flush();
    if (!written || scanner.ReadFailed()) {
        Trace(kTraceError, "Changing the gain of %s failed: the file may be changed in part",
              path.c_str());
        return false;
    }
    return true;
}

}  // namespace wk
