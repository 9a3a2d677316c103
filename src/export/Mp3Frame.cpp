#include "export/Mp3Frame.h"

#include <sys/types.h>

#include <algorithm>

namespace wk {
namespace {

// Layer III bit rates in kbit/s by bitrate index: MPEG-1, then MPEG-2 and
// 2.5 (15 is not allowed).
constexpr int kLayer3Kbps[2][16] = {
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}};
constexpr long kMpeg1Rates[3] = {44100, 48000, 32000};

// The version field: 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5, 1 reserved.
int VersionOf(const uint8_t h[4]) {
    return (h[1] >> 3) & 3;
}

// How many frames after a candidate header must begin where the lengths say.
constexpr int kConfirmingFrames = 2;

// Whether the header the window holds, ending just before `after` in `in`,
// is followed by kConfirmingFrames headers of the same stream, each one
// frame length after the one before. Two or three bytes of audio data pass
// the header test by chance: in LAME's 128 kbit/s output about one byte
// position in 1500, enough for a search from an arbitrary offset to stop at
// one in about every seventh track. The frames after a real header tell it
// from those. When the input ends first, the bytes that are there must fit.
// The file position is left at `after`.
bool ConfirmFrameHeader(std::FILE* in, const std::array<uint8_t, 4>& header, int64_t after) {
    uint8_t current[4] = {header[0], header[1], header[2], header[3]};
    int64_t at = after - 4;
    bool confirmed = true;
    for (int k = 0; k < kConfirmingFrames && confirmed; ++k) {
        const int64_t size = LayerThreeFrameBytes(current);
        if (size <= 4) {
            confirmed = false;
            break;
        }
        at += size;
        uint8_t next[4] = {};
        size_t got = 0;
        if (::fseeko(in, static_cast<off_t>(at), SEEK_SET) == 0) got = std::fread(next, 1, 4, in);
        if (got == 4) {
            confirmed = IsMp3FrameHeader(next) && SameMp3Stream(next, header.data());
            std::copy(next, next + 4, current);
            continue;
        }
        // The input ends here: what there is of a header must fit.
        confirmed = (got < 1 || next[0] == 0xFF) &&
                    (got < 2 || (next[1] & 0xFE) == (header[1] & 0xFE)) &&
                    (got < 3 || (next[2] & 0x0C) == (header[2] & 0x0C));
        break;
    }
    std::clearerr(in);
    return ::fseeko(in, static_cast<off_t>(after), SEEK_SET) == 0 && confirmed;
}

}  // namespace

bool SearchFrameHeader(std::FILE* in, std::array<uint8_t, 4>& window, int64_t& position,
                       int64_t limit) {
    while (position < limit) {
        const int c = std::getc(in);
        if (c == EOF) return false;
        window[0] = window[1];
        window[1] = window[2];
        window[2] = window[3];
        window[3] = static_cast<uint8_t>(c);
        ++position;
        if (IsMp3FrameHeader(window.data()) && ConfirmFrameHeader(in, window, position)) {
            return true;
        }
    }
    return false;
}

bool IsMp3FrameHeader(const uint8_t header[4]) {
    return header[0] == 0xFF && (header[1] & 0xE0) == 0xE0 && (header[1] & 0x18) != 0x08 &&
           (header[1] & 0x06) == 0x02 && (header[2] & 0xF0) != 0xF0 && (header[2] & 0x0C) != 0x0C;
}

int Layer3Kbps(bool mpeg1, int index) {
    return index < 0 || index > 15 ? 0 : kLayer3Kbps[mpeg1 ? 0 : 1][index];
}

long Mp3SampleRate(const uint8_t h[4]) {
    const int version = VersionOf(h);
    const int rateIndex = (h[2] >> 2) & 3;
    if (rateIndex == 3 || version == 1) return 0;
    return kMpeg1Rates[rateIndex] / (version == 3 ? 1 : version == 2 ? 2 : 4);
}

int64_t LayerThreeFrameBytes(const uint8_t h[4]) {
    const long rate = Mp3SampleRate(h);
    if (rate == 0) return 0;
    const bool mpeg1 = VersionOf(h) == 3;
    const int padding = (h[2] >> 1) & 1;
    const int kbps = Layer3Kbps(mpeg1, h[2] >> 4);
    if (kbps == 0) return 0;
    return int64_t{mpeg1 ? 144000 : 72000} * kbps / rate + padding;
}

bool SameMp3Stream(const uint8_t a[4], const uint8_t b[4]) {
    return (a[1] & 0xFE) == (b[1] & 0xFE) && (a[2] & 0x0C) == (b[2] & 0x0C);
}

void FrameWalker::Feed(const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n;) {
        const int64_t at = m_offset + static_cast<int64_t>(i);
        if (at < m_next) {
            // Inside a frame's body: skip to its end (or this block's).
            const auto skip = static_cast<size_t>(
                std::min<int64_t>(m_next - at, static_cast<int64_t>(n - i)));
            i += skip;
            continue;
        }
        m_header[m_have++] = data[i++];
        if (m_have < 4) continue;
        const int64_t length = HeaderFits() ? LayerThreeFrameBytes(m_header) : 0;
        if (length > 4) {
            if (m_first[0] == 0) std::copy(m_header, m_header + 4, m_first);
            ++m_frames;
            m_frameStart = m_next;
            m_frameEnd = m_next + length;
            m_next = m_frameEnd;
            m_have = 0;
        } else {
            // Not a header where one belongs: look one byte further.
            std::copy(m_header + 1, m_header + 4, m_header);
            m_have = 3;
            ++m_next;
        }
    }
    m_offset += static_cast<int64_t>(n);
}

int64_t FrameWalker::MsOf(int64_t frames) const {
    const long rate = m_first[0] == 0 ? 0 : Mp3SampleRate(m_first);
    if (rate == 0) return 0;
    return frames * (VersionOf(m_first) == 3 ? 1152 : 576) * 1000 / rate;
}

}  // namespace wk
