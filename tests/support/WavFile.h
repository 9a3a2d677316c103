#pragma once
// The canonical 44-byte WAV header of 16-bit PCM and whole WAV files, spelled
// out here so that the program's own WAV writing is checked against it.

#include <cstdint>
#include <string>
#include <vector>

namespace wk::test {

inline std::string WavHeaderBytes(uint32_t dataBytes, int rate = 44100, int channels = 2) {
    std::string h;
    const auto le = [&h](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) h += static_cast<char>(v >> (8 * i) & 0xFF);
    };
    h += "RIFF";
    le(dataBytes + 36, 4);
    h += "WAVEfmt ";
    le(16, 4);
    le(1, 2);
    le(uint32_t(channels), 2);
    le(uint32_t(rate), 4);
    le(uint32_t(rate * channels * 2), 4);
    le(uint32_t(channels * 2), 2);
    le(16, 2);
    h += "data";
    le(dataBytes, 4);
    return h;
}

// Interleaved samples, little-endian.
inline std::string PcmBytes(const std::vector<int16_t>& pcm) {
    std::string bytes;
    for (int16_t v : pcm) {
        bytes += static_cast<char>(uint16_t(v) & 0xFF);
        bytes += static_cast<char>(uint16_t(v) >> 8);
    }
    return bytes;
}

inline std::string WavFile(const std::vector<int16_t>& pcm, int rate = 44100, int channels = 2) {
    return WavHeaderBytes(uint32_t(pcm.size() * 2), rate, channels) + PcmBytes(pcm);
}

}  // namespace wk::test
