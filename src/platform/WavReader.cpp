#include "platform/WavReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace wk {
namespace {

uint32_t Le32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void Put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put16(std::string& s, uint16_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
}

}  // namespace

WavReader::~WavReader() {
    Close();
}

void WavReader::Close() {
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
}

bool WavReader::Fail(const std::string& why) {
    m_error = why;
    Close();
    return false;
}

bool WavReader::Open(const std::string& path) {
    Close();
    m_error.clear();
    m_file = std::fopen(path.c_str(), "rb");
    if (!m_file) return Fail("cannot open " + path + ": " + std::strerror(errno));
    unsigned char riff[12];
    if (std::fread(riff, 1, 12, m_file) != 12 || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0)
        return Fail(path + " is not a WAV file");
    bool haveFormat = false;
    for (;;) {
        unsigned char head[8];
        if (std::fread(head, 1, 8, m_file) != 8) return Fail(path + " has no audio data");
        const uint32_t size = Le32(head + 4);
        if (std::memcmp(head, "fmt ", 4) == 0) {
            unsigned char fmt[40] = {};
            if (size < 16 || size > sizeof fmt || std::fread(fmt, 1, size, m_file) != size)
                return Fail(path + " has a damaged format chunk");
            uint16_t tag = Le16(fmt);
            if (tag == 0xFFFE && size >= 26) tag = Le16(fmt + 24);
            m_channels = Le16(fmt + 2);
            m_rate = static_cast<int>(Le32(fmt + 4));
            const int bits = Le16(fmt + 14);
            if (tag != 1 || bits != 16) return Fail(path + " is not 16-bit PCM");
            if (m_channels < 1 || m_channels > 2 || m_rate < 8000 || m_rate > 192000)
                return Fail(path + ": unsupported channels or sample rate");
            if (size % 2) std::fseek(m_file, 1, SEEK_CUR);
            haveFormat = true;
        } else if (std::memcmp(head, "data", 4) == 0) {
            if (!haveFormat) return Fail(path + ": audio data before its format");
            m_dataStart = std::ftell(m_file);
            std::fseek(m_file, 0, SEEK_END);
            const int64_t available = std::ftell(m_file) - m_dataStart;
            // Streams written live often leave the size 0 or too large.
            m_dataBytes = (size == 0 || size > available) ? available : size;
            m_dataBytes -= m_dataBytes % (2 * m_channels);
            std::fseek(m_file, m_dataStart, SEEK_SET);
            m_position = 0;
            return true;
        } else if (std::fseek(m_file, static_cast<long>(size + (size % 2)), SEEK_CUR) != 0) {
            return Fail(path + " is damaged");
        }
    }
}

int64_t WavReader::Read(int16_t* samples, int64_t frames) {
    if (!m_file || frames <= 0) return 0;
    const int64_t frameBytes = 2 * m_channels;
    const int64_t want = std::min(frames, (m_dataBytes - m_position) / frameBytes);
    if (want <= 0) return 0;
    const size_t got = std::fread(samples, static_cast<size_t>(frameBytes),
                                  static_cast<size_t>(want), m_file);
    m_position += static_cast<int64_t>(got) * frameBytes;
    return static_cast<int64_t>(got);
}

bool WavReader::Rewind() {
    if (!m_file) return false;
    m_position = 0;
    return std::fseek(m_file, m_dataStart, SEEK_SET) == 0;
}

std::string WavHeaderForData(int sampleRate, int channels, uint32_t data) {
    std::string h = "RIFF";
    Put32(h, 36 + data);
    h += "WAVEfmt ";
    Put32(h, 16);
    Put16(h, 1);
    Put16(h, static_cast<uint16_t>(channels));
    Put32(h, static_cast<uint32_t>(sampleRate));
    Put32(h, static_cast<uint32_t>(sampleRate * channels * 2));
    Put16(h, static_cast<uint16_t>(channels * 2));
    Put16(h, 16);
    h += "data";
    Put32(h, data);
    return h;
}

}  // namespace wk
