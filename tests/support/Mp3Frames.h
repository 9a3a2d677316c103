#pragma once
// Hand-built MPEG audio Layer III frames for the cutting and normalisation
// tests, and the reading of what an encoder or a gain change made of them:
// frame positions, global_gain fields and CRC-16 checksums, computed here
// independently of the code under test.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace wk::test {

// Equal byte strings; a difference is told by sizes and first offset, not by
// printing audio data.
::testing::AssertionResult SameBytes(const std::string& a, const std::string& b);

// A xorshift generator: the same bytes on every machine.
struct Rng {
    uint64_t s;
    double Next();  // uniform in [-1, 1)
};

enum class Mpeg { k1, k2, k25 };

struct FrameSpec {
    Mpeg version = Mpeg::k1;
    bool mono = false;
    bool crc = false;
    int rateIndex = 0;     // 44.1 kHz for MPEG-1
    int bitrateIndex = 9;  // 128 kbit/s for MPEG-1: frames of 417 bytes
    bool padding = false;
};

// 144 (MPEG-1) or 72 bytes per kbit/s per kHz, plus the padding byte.
int FrameBytes(const FrameSpec& s);
size_t SideStart(const FrameSpec& s);  // after the header and the checksum
size_t SideBytes(const FrameSpec& s);
// Bit offsets of the global_gain fields in the side information, granule by
// granule, channel by channel.
std::vector<int> GainBits(const FrameSpec& s);
// The byte at bit offset `bit` after `pos`, and its change.
int GetByteAt(const std::string& f, size_t pos, int bit);
void SetByteAt(std::string& f, size_t pos, int bit, int value);
// CRC-16, polynomial 0x8005, start 0xFFFF, high bit first.
uint16_t Crc16(const std::string& bytes);
// The checksum over header bytes 2 and 3 and the side information, and the
// one the frame stores.
uint16_t FrameCrc(const std::string& file, size_t pos, const FrameSpec& s);
uint16_t StoredCrc(const std::string& file, size_t pos);
void StoreCrc(std::string& file, size_t pos, const FrameSpec& s);

// Frames whose global_gain fields take `gains` in turn; the rest of the side
// information and the body are random (`fill` < 0) or `fill`, never 0xFF, so
// that no header hides in them. `frames` receives each frame's offset.
std::string MakeFrames(const FrameSpec& s, int count, const std::vector<int>& gains,
                       std::vector<size_t>* frames = nullptr, uint64_t seed = 1, int fill = -1);
// `file` with the gain fields of the frames at `frames` set to `gains` in
// turn and their checksums recomputed.
std::string SetGains(std::string file, const std::vector<size_t>& frames, const FrameSpec& s,
                     const std::vector<int>& gains);
std::string Describe(const FrameSpec& s);
// Every version, mono and stereo, with and without checksum.
std::vector<FrameSpec> AllLayouts();

struct FrameAt {
    size_t pos;
    FrameSpec spec;
};
// The frames of a file that begins with one and holds them back to back (as
// an encoder writes them and an export copies them); the walk ends at the
// first byte that starts no header, such as an ID3v1 tag.
std::vector<FrameAt> WalkFrames(const std::string& file);
// Every global_gain of those frames, in file order.
std::vector<int> GlobalGains(const std::string& file);

}  // namespace wk::test
