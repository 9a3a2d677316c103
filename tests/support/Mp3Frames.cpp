#include "support/Mp3Frames.h"

namespace wk::test {

::testing::AssertionResult SameBytes(const std::string& a, const std::string& b) {
    if (a == b) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return ::testing::AssertionFailure()
           << a.size() << " and " << b.size() << " bytes differ from offset " << i;
}

double Rng::Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<double>(s >> 11) / 4503599627370496.0 - 1.0;
}

int FrameBytes(const FrameSpec& s) {
    static const long rates[3][3] = {
        {44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
    static const int kbps1[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int kbps2[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    const bool one = s.version == Mpeg::k1;
    const long kbps = one ? kbps1[s.bitrateIndex] : kbps2[s.bitrateIndex];
    return int((one ? 144000 : 72000) * kbps / rates[int(s.version)][s.rateIndex]) + s.padding;
}

size_t SideStart(const FrameSpec& s) {
    return s.crc ? 6 : 4;
}

size_t SideBytes(const FrameSpec& s) {
    return s.version == Mpeg::k1 ? (s.mono ? 17 : 32) : (s.mono ? 9 : 17);
}

std::vector<int> GainBits(const FrameSpec& s) {
    if (s.version == Mpeg::k1) return s.mono ? std::vector{39, 98} : std::vector{41, 100, 159, 218};
    return s.mono ? std::vector{30} : std::vector{31, 94};
}

int GetByteAt(const std::string& f, size_t pos, int bit) {
    const size_t at = pos + size_t(bit / 8);
    return int((((unsigned(uint8_t(f[at])) << 8) | uint8_t(f[at + 1])) >> (8 - bit % 8)) & 0xFF);
}

void SetByteAt(std::string& f, size_t pos, int bit, int value) {
    const size_t at = pos + size_t(bit / 8);
    const int shift = 8 - bit % 8;
    unsigned word = (unsigned(uint8_t(f[at])) << 8) | uint8_t(f[at + 1]);
    word = (word & ~(0xFFu << shift)) | (unsigned(value) << shift);
    f[at] = char(word >> 8);
    f[at + 1] = char(word & 0xFF);
}

uint16_t Crc16(const std::string& bytes) {
    uint16_t c = 0xFFFF;
    for (char ch : bytes) {
        c ^= uint16_t(uint8_t(ch) << 8);
        for (int i = 0; i < 8; ++i)
            c = (c & 0x8000) ? uint16_t((c << 1) ^ 0x8005) : uint16_t(c << 1);
    }
    return c;
}

uint16_t FrameCrc(const std::string& file, size_t pos, const FrameSpec& s) {
    return Crc16(file.substr(pos + 2, 2) + file.substr(pos + 6, SideBytes(s)));
}

uint16_t StoredCrc(const std::string& file, size_t pos) {
    return uint16_t((uint8_t(file[pos + 4]) << 8) | uint8_t(file[pos + 5]));
}

void StoreCrc(std::string& file, size_t pos, const FrameSpec& s) {
    const uint16_t crc = FrameCrc(file, pos, s);
    file[pos + 4] = char(crc >> 8);
    file[pos + 5] = char(crc & 0xFF);
}

std::string MakeFrames(const FrameSpec& s, int count, const std::vector<int>& gains,
                       std::vector<size_t>* frames, uint64_t seed, int fill) {
    Rng rng{seed};
    std::string file;
    std::vector<size_t> at;
    for (int i = 0; i < count; ++i) {
        at.push_back(file.size());
        const int versionBits = s.version == Mpeg::k1 ? 0x18 : s.version == Mpeg::k2 ? 0x10 : 0;
        file += char(0xFF);
        file += char(0xE2 | versionBits | (s.crc ? 0 : 1));
        file += char((s.bitrateIndex << 4) | (s.rateIndex << 2) | (s.padding ? 2 : 0));
        file += char(s.mono ? 0xC4 : 0x44);
        for (int k = 4; k < FrameBytes(s); ++k)
            file += char((fill >= 0 ? fill : int((rng.Next() + 1) * 127)) & 0xFE);
    }
    if (frames) *frames = at;
    return SetGains(file, at, s, gains);
}

std::string SetGains(std::string file, const std::vector<size_t>& frames, const FrameSpec& s,
                     const std::vector<int>& gains) {
    size_t next = 0;
    for (size_t pos : frames) {
        for (int bit : GainBits(s))
            SetByteAt(file, pos + SideStart(s), bit, gains[next++ % gains.size()]);
        if (s.crc) StoreCrc(file, pos, s);
    }
    return file;
}

std::string Describe(const FrameSpec& s) {
    const char* v = s.version == Mpeg::k1   ? "MPEG-1"
                    : s.version == Mpeg::k2 ? "MPEG-2"
                                            : "MPEG-2.5";
    return std::string(v) + (s.mono ? " mono" : " stereo") + (s.crc ? " crc" : "");
}

std::vector<FrameSpec> AllLayouts() {
    std::vector<FrameSpec> specs;
    for (Mpeg v : {Mpeg::k1, Mpeg::k2, Mpeg::k25})
        for (int variant = 0; variant < 4; ++variant)
            specs.push_back(
                {v, variant % 2 == 1, variant >= 2, v == Mpeg::k25 ? 2 : 1, v == Mpeg::k1 ? 9 : 8});
    return specs;
}

std::vector<FrameAt> WalkFrames(const std::string& file) {
    std::vector<FrameAt> frames;
    size_t start = 0;  // after an ID3v2 tag (header and its four 7-bit size digits)
    if (file.size() >= 10 && file.compare(0, 3, "ID3") == 0) {
        const auto* t = reinterpret_cast<const uint8_t*>(file.data());
        start = 10 + ((size_t(t[6]) << 21) | (size_t(t[7]) << 14) | (size_t(t[8]) << 7) | t[9]);
    }
    for (size_t pos = start; pos + 4 <= file.size();) {
        const auto* h = reinterpret_cast<const uint8_t*>(file.data() + pos);
        const int version = (h[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
        if (h[0] != 0xFF || (h[1] & 0xE6) != 0xE2 || version == 1 || (h[2] >> 4) == 0 ||
            (h[2] >> 4) == 15 || ((h[2] >> 2) & 3) == 3)
            break;
        const FrameSpec s{version == 3   ? Mpeg::k1
                          : version == 2 ? Mpeg::k2
                                         : Mpeg::k25,
                          (h[3] >> 6) == 3,
                          (h[1] & 1) == 0,
                          (h[2] >> 2) & 3,
                          h[2] >> 4,
                          (h[2] & 2) != 0};
        if (pos + SideStart(s) + SideBytes(s) > file.size()) break;
        frames.push_back({pos, s});
        pos += size_t(FrameBytes(s));
    }
    return frames;
}

std::vector<int> GlobalGains(const std::string& file) {
    std::vector<int> gains;
    for (const FrameAt& f : WalkFrames(file))
        for (int bit : GainBits(f.spec))
            gains.push_back(GetByteAt(file, f.pos + SideStart(f.spec), bit));
    return gains;
}

}  // namespace wk::test
