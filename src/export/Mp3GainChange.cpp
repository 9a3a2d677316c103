// Moving the global_gain fields of an MP3 file: the changed file is written
// as a copy beside it, flushed to the disk and renamed over it, so that a
// crash or a failed write leaves either the old song or the new one, never a
// song whose frames are changed in part.

#include <fcntl.h>
#include <libgen.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// A copy of the song beside it that replaces the song on Commit and is
// removed otherwise. The copy is made by the kernel (copy_file_range), so it
// costs little next to the analysis.
class GainCopy {
public:
    // The copy holds `head` and then the song from byte `skip` on (a new
    // ID3v2 tag in place of the old one; none: the whole song).
    GainCopy(const std::string& path, int from, int64_t size, const std::string& head = {},
             int64_t skip = 0)
        : m_target(path), m_shift(static_cast<int64_t>(head.size()) - skip) {
        // One name per song, locked while in use: a copy left by a run that
        // was killed is taken over by the next, one another run is writing
        // is not touched.
        m_temp = path + ".gain";
        m_fd = ::open(m_temp.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0) return;
        if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(m_fd);
            m_fd = -1;
            m_temp.clear();
            return;
        }
        // Ours now: removed by the destructor when it cannot be emptied.
        if (::ftruncate(m_fd, 0) != 0 || !WriteAt(head.data(), head.size(), 0)) {
            m_failed = true;
            return;
        }
        struct stat st {};
        if (::fstat(from, &st) == 0) ::fchmod(m_fd, st.st_mode & 07777);
        off_t in = skip;
        off_t out = static_cast<off_t>(head.size());
        while (in < size) {
            const ssize_t n = ::copy_file_range(from, &in, m_fd, &out,
                                                static_cast<size_t>(size - in), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
        }
        if (in < size) m_failed = !CopyByReading(from, in, size);
    }
    ~GainCopy() {
        if (m_fd >= 0) ::close(m_fd);
        if (!m_temp.empty() && !m_committed) ::unlink(m_temp.c_str());
    }
    GainCopy(const GainCopy&) = delete;
    GainCopy& operator=(const GainCopy&) = delete;

    int Fd() const { return m_failed ? -1 : m_fd; }
    bool Busy() const { return m_temp.empty(); }
    // Where a byte of the song lies in the copy, from where it lies in the song.
    int64_t Shift() const { return m_shift; }

    bool Commit() {
        if (m_fd < 0 || m_failed) return false;
        bool ok = ::fsync(m_fd) == 0;
        ok = ::close(m_fd) == 0 && ok;
        m_fd = -1;
        if (!ok || ::rename(m_temp.c_str(), m_target.c_str()) != 0) return false;
        m_committed = true;
        std::string dir = m_target;
        const int dfd = ::open(::dirname(dir.data()), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
        return true;
    }

private:
    bool WriteAt(const void* data, size_t n, int64_t at) {
        for (size_t done = 0; done < n;) {
            const ssize_t put = ::pwrite(m_fd, static_cast<const uint8_t*>(data) + done, n - done,
                                         static_cast<off_t>(at) + static_cast<off_t>(done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return false;
            done += static_cast<size_t>(put);
        }
        return true;
    }

    // When the file system cannot copy between the two files.
    bool CopyByReading(int from, off_t at, int64_t size) {
        std::vector<uint8_t> block(1 << 16);
        while (at < size) {
            const ssize_t got = ::pread(from, block.data(), block.size(), at);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            if (!WriteAt(block.data(), static_cast<size_t>(got), at + m_shift)) return false;
            at += got;
        }
        return true;
    }

    std::string m_target;
    int64_t m_shift = 0;
    std::string m_temp;
    int m_fd = -1;
    bool m_failed = false;
    bool m_committed = false;
};

}  // namespace

// A copy a killed run left beside the song, when no run is writing it.
static void RemoveStaleCopy(const std::string& path) {
    const std::string temp = path + ".gain";
    const int fd = ::open(temp.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(temp.c_str());
    ::close(fd);
}

bool ChangeMp3Gain(const std::string& path, int leftSteps, int rightSteps, const std::string& tag) {
    Trace(kTraceDetail, "changeGain %d", leftSteps);
    if (leftSteps == 0 && rightSteps == 0) {
        RemoveStaleCopy(path);
        return true;
    }
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
    // The new tag takes the old one's place: a tag that runs into the audio
    // is not replaced.
    int64_t oldTag = 0;
    if (const uint8_t* h = tag.empty() ? nullptr : scanner.Window(0, 10)) oldTag = mp3::Id3v2Length(h);
    const bool retag = oldTag > 0 && oldTag <= frame.pos;
    if (!tag.empty() && !retag)
        Trace(kTraceError, "%s: its tag is not where its audio leaves room; the tag stays", path.c_str());
    GainCopy copy(path, file.fd, size, retag ? tag : std::string(), retag ? oldTag : 0);
    if (copy.Fd() < 0) {
        Trace(kTraceError, "Changing the gain of %s failed: %s", path.c_str(),
              copy.Busy() ? "another run is changing it"
                          : ("cannot write a copy beside it: " + std::string(std::strerror(errno))).c_str());
        return false;
    }
    WriteQueue queue(copy.Fd());
    bool written = true;
    for (; more; more = scanner.FindNext(frame.pos + frame.length, &frame)) {
        // A frame cut off before the end of its side information stays as it is.
        uint8_t* p = scanner.Window(frame.pos, static_cast<size_t>(frame.HeaderAndSideInfo()));
        if (p == nullptr) break;
        const auto [from, to] = ChangeFrameGains(p, frame, leftSteps, rightSteps);
        if (to >= from)
            written &= queue.Add(frame.pos + copy.Shift() + from, p + from,
                                 static_cast<size_t>(to - from + 1));
    }
    written &= queue.Flush();
    if (!written || scanner.ReadFailed() || !copy.Commit()) {
        Trace(kTraceError, "Changing the gain of %s failed: the song is left as it was",
              path.c_str());
        return false;
    }
    return true;
}

}  // namespace wk
