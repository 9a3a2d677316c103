#pragma once
// MPEG audio Layer III frame headers: the bit-rate and sample-rate tables,
// frame lengths, and the search for a header in a byte stream that the MP3
// export and the normalisation share.
//
// Threads: any; nothing here keeps state between calls.

#include <array>
#include <cstdint>
#include <cstdio>

namespace wk {

// Byte 0 0xFF, top three bits of byte 1 set, version not reserved, Layer III,
// bitrate index not 15, sample-rate index not 3.
bool IsMp3FrameHeader(const uint8_t header[4]);

// Layer III bit rate in kbit/s of bitrate index `index` (0 for the free
// format and for 15) for MPEG-1 (`mpeg1`) or MPEG-2 and 2.5.
int Layer3Kbps(bool mpeg1, int index);

// The sample rate a header gives (MPEG-1, 2 or 2.5); 0 for the reserved
// sample-rate index or version.
long Mp3SampleRate(const uint8_t header[4]);

// The whole length of the Layer III frame a header starts, padding included;
// 0 for the free format, whose length the header does not tell.
int64_t LayerThreeFrameBytes(const uint8_t header[4]);

// Frames of the same stream: version, layer and sample rate agree.
bool SameMp3Stream(const uint8_t a[4], const uint8_t b[4]);

// Shifts the bytes of `in` from its current position `position` one at a
// time into `window` until it holds a confirmed frame header (two more
// headers of the same stream follow it where the lengths say, or the input
// ends first with bytes that fit), or until `position` reaches `limit` or the
// input ends. On success the file is positioned just after the header and
// `position` is there too.
bool SearchFrameHeader(std::FILE* in, std::array<uint8_t, 4>& window, int64_t& position,
                       int64_t limit);

// Follows the frames of the bytes an export writes, from the synced header
// on, by the lengths their headers give. The end offset of a track falls
// inside a frame, and a decoder that meets the cut frame reports the stream
// as broken: WholeEnd tells where the last whole frame ends. Where a missing
// chunk broke the chain, the next header of the same stream picks it up.
class FrameWalker {
public:
    void Feed(const uint8_t* data, size_t n);
    // Frames begun so far (the last may be cut short).
    int64_t Frames() const { return m_frames; }
    // The playing time of `frames` frames of the stream followed, in ms.
    int64_t MsOf(int64_t frames) const;
    // The end of the last whole frame, 0 when there is none: bytes after it
    // belong to a frame cut short or to no frame at all.
    int64_t WholeEnd() const {
        if (m_frameStart < 0) return 0;
        return m_frameEnd <= m_offset ? m_frameEnd : m_frameStart;
    }

private:
    bool HeaderFits() const {
        if (!IsMp3FrameHeader(m_header)) return false;
        return m_first[0] == 0 || SameMp3Stream(m_header, m_first);
    }

    int64_t m_offset = 0;       // bytes fed so far
    int64_t m_next = 0;         // where the next header begins
    int64_t m_frameStart = -1;  // the last frame found
    int64_t m_frameEnd = 0;
    int64_t m_frames = 0;
    uint8_t m_header[4] = {};
    int m_have = 0;           // header bytes gathered at m_next
    uint8_t m_first[4] = {};  // the first frame's header
};

}  // namespace wk
