#pragma once
// The frame search of the MP3 normalisation, which the analysis
// (Mp3Normalize.cpp) and the gain change (Mp3GainChange.cpp) share: one
// buffer over the file, ID3 tags and information frames stepped over.
//
// Threads: one scanner per thread; Say from any.

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/Trace.h"
#include "export/Mp3Frame.h"

namespace wk::mp3 {

inline constexpr size_t kReadBufferSize = 3'000'000;

// Writes one message of the normalisation to standard error and the trace.
void Say(const std::string& text, int level = kTraceInfo);

struct Frame {
    int64_t pos = 0;
    int length = 0;
    bool mpeg1 = false;
    bool mono = false;
    bool crc = false;  // a 16-bit checksum follows the header
    int sideInfo = 0;  // bytes of side information
    long rate = 0;

    int SideStart() const { return crc ? 6 : 4; }
    int HeaderAndSideInfo() const { return SideStart() + sideInfo; }
};

// Sync, a version other than the reserved one, a bitrate index other than
// free format and 15, a sample-rate index other than 3. The layer is left to
// the caller.
inline bool IsAcceptedHeader(const uint8_t* h) {
    return h[0] == 0xFF && (h[1] & 0xE0) == 0xE0 && (h[1] & 0x18) != 0x08 && (h[2] & 0xF0) != 0 &&
           (h[2] & 0xF0) != 0xF0 && (h[2] & 0x0C) != 0x0C;
}

// The bytes of the ID3v2 tag whose first 10 bytes are at `h` (header,
// frames, footer); 0 when they open no ID3v2 tag.
inline int64_t Id3v2Length(const uint8_t* h) {
    if (std::memcmp(h, "ID3", 3) != 0 || h[3] == 0xFF || h[4] == 0xFF ||
        ((h[6] | h[7] | h[8] | h[9]) & 0x80) != 0)
        return 0;
    const int64_t size = (int64_t{h[6]} << 21) | (int64_t{h[7]} << 14) | (h[8] << 7) | h[9];
    return 10 + size + ((h[5] & 0x10) != 0 ? 10 : 0);
}

inline constexpr uint8_t kLayer3 = 0x02;
inline constexpr uint8_t kLayer2 = 0x04;
inline constexpr uint8_t kLayer1 = 0x06;

// Reads a file through one buffer that the search refills as it moves on:
// the unread tail moves to the front first, so a frame that crosses the end
// of the buffer is whole after the refill. An ID3v1 tag at the end of the
// file lies beyond the searched data.
class FrameScanner {
public:
    enum class First { kFound, kNone, kLayer1, kLayer2 };

    // The buffer grows to the read-buffer size, or to the file's size when
    // that is smaller.
    FrameScanner(int fd, int64_t fileSize, std::vector<uint8_t>& buffer)
        : m_fd(fd), m_end(fileSize), m_buf(buffer) {
        const auto wanted =
            static_cast<size_t>(std::clamp<int64_t>(fileSize, 64, int64_t{kReadBufferSize}));
        if (m_buf.size() < wanted) m_buf.resize(wanted);
        uint8_t tag[3];
        if (fileSize >= 128 && ReadAt(tag, 3, fileSize - 128) == 3 &&
            std::memcmp(tag, "TAG", 3) == 0)
            m_end = fileSize - 128;
    }

    int64_t End() const { return m_end; }
    bool ReadFailed() const { return m_readFailed; }

    // The bytes [pos, pos + n) in the buffer, null when they reach past the
    // searched data (or cannot be read). Valid until the next call.
    uint8_t* Window(int64_t pos, size_t n) {
        if (pos < 0 || n > m_buf.size() || pos + static_cast<int64_t>(n) > m_end) return nullptr;
        if (pos >= m_start && pos + static_cast<int64_t>(n) <= m_start + m_len)
            return &m_buf[static_cast<size_t>(pos - m_start)];
        size_t keep = 0;
        if (pos >= m_start && pos < m_start + m_len) {
            keep = static_cast<size_t>(m_start + m_len - pos);
            std::memmove(m_buf.data(), &m_buf[static_cast<size_t>(pos - m_start)], keep);
        }
        m_start = pos;
        m_len = static_cast<int64_t>(keep);
        while (m_len < static_cast<int64_t>(m_buf.size()) && m_start + m_len < m_end) {
            const auto want = static_cast<size_t>(std::min<int64_t>(
                static_cast<int64_t>(m_buf.size()) - m_len, m_end - m_start - m_len));
            const ssize_t got = ReadAt(&m_buf[static_cast<size_t>(m_len)], want, m_start + m_len);
            if (got <= 0) {
                // A read error, or the file became shorter: the data ends here.
                if (got < 0) m_readFailed = true;
                m_end = m_start + m_len;
                break;
            }
            m_len += got;
        }
        if (pos + static_cast<int64_t>(n) > m_start + m_len) return nullptr;
        return m_buf.data();
    }

    // Skips an ID3v2 tag and finds the first Layer III frame; a Layer I or II
    // header met before it ends the search.
    First FindFirst(Frame* frame) {
        int64_t pos = 0;
        if (const uint8_t* h = Window(0, 10)) pos = Id3v2Length(h);
        for (;; ++pos) {
            const uint8_t* h = NextCandidate(&pos);
            if (h == nullptr) return First::kNone;
            const uint8_t layer = h[1] & 0x06;
            if (layer == kLayer2) return First::kLayer2;
            if (layer == kLayer1) return First::kLayer1;
            if (layer != kLayer3) continue;
            m_versionBits = h[1] & 0x18;
            m_rateBits = h[2] & 0x0C;
            m_rate = Mp3SampleRate(h);
            m_mpeg1 = m_versionBits == 0x18;
            const int64_t samples = m_mpeg1 ? 1152 : 576;
            for (int i = 0; i < 15; ++i) {
                const int64_t kbps = Layer3Kbps(m_mpeg1, i);
                // floor(floor(samples * kbit/s / kHz) / 8), in whole numbers.
                m_lengths[i] = static_cast<int>(samples * kbps * 1000 / m_rate / 8);
            }
            Describe(h, pos, frame);
            return First::kFound;
        }
    }

    // The next Layer III frame at or after `from` with the first frame's
    // version and sample rate.
    bool FindNext(int64_t from, Frame* frame) {
        for (int64_t pos = from;; ++pos) {
            const uint8_t* h = NextCandidate(&pos);
            if (h == nullptr) return false;
            if ((h[1] & 0x06) == kLayer3 && (h[1] & 0x18) == m_versionBits &&
                (h[2] & 0x0C) == m_rateBits) {
                Describe(h, pos, frame);
                return true;
            }
        }
    }

    // An information frame: "Xing" (or "Info", which encoders write into
    // the same frame of a constant-bitrate file) right after the side
    // information. It holds no audio: it is neither analysed nor changed.
    // With a checksum the text belongs 2 bytes later; some encoders leave
    // it where it would be without one, so both places count.
    bool IsInfoFrame(const Frame& frame) {
        for (int at : {frame.HeaderAndSideInfo(), 4 + frame.sideInfo}) {
            const uint8_t* text = Window(frame.pos + at, 4);
            if (text != nullptr &&
                (std::memcmp(text, "Xing", 4) == 0 || std::memcmp(text, "Info", 4) == 0))
                return true;
        }
        return false;
    }

private:
    ssize_t ReadAt(uint8_t* out, size_t n, int64_t pos) {
        for (;;) {
            const ssize_t got = ::pread(m_fd, out, n, static_cast<off_t>(pos));
            if (got < 0 && errno == EINTR) continue;
            return got;
        }
    }

    // Moves *pos to the next accepted header (any layer) and returns it.
    const uint8_t* NextCandidate(int64_t* pos) {
        for (;;) {
            const uint8_t* p = Window(*pos, 4);
            if (p == nullptr) return nullptr;
            const auto avail = static_cast<size_t>(m_start + m_len - *pos);
            const auto* ff = static_cast<const uint8_t*>(std::memchr(p, 0xFF, avail - 3));
            if (ff == nullptr) {
                *pos += static_cast<int64_t>(avail - 3);
                continue;
            }
            *pos += ff - p;
            if (IsAcceptedHeader(ff)) return ff;
            ++*pos;
        }
    }

    void Describe(const uint8_t* h, int64_t pos, Frame* frame) const {
        frame->pos = pos;
        frame->length = m_lengths[h[2] >> 4] + ((h[2] & 0x02) ? 1 : 0);
        frame->mpeg1 = m_mpeg1;
        frame->mono = (h[3] & 0xC0) == 0xC0;
        frame->crc = (h[1] & 0x01) == 0;
        frame->sideInfo = m_mpeg1 ? (frame->mono ? 17 : 32) : (frame->mono ? 9 : 17);
        frame->rate = m_rate;
    }

    int m_fd;
    int64_t m_end;
    std::vector<uint8_t>& m_buf;
    int64_t m_start = 0;
    int64_t m_len = 0;
    bool m_readFailed = false;
    uint8_t m_versionBits = 0;
    uint8_t m_rateBits = 0;
    bool m_mpeg1 = true;
    long m_rate = 0;
    int m_lengths[15] = {};
};

// Opens a regular file (never blocking on a pipe); -1 otherwise.
int OpenRegularFile(const std::string& path, int flags, int64_t* size);

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

// The messages of a failed first-frame search; empty when a frame was found.
std::string FirstFrameMessage(FrameScanner::First first, const std::string& path);

}  // namespace wk::mp3
