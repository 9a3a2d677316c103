#pragma once
// Reads 16-bit PCM WAV files (RIFF/WAVE, format 1 or WAVE_FORMAT_EXTENSIBLE
// with a PCM sub-format), skipping chunks it does not know. Malformed files
// are refused with a reason, never read past their end.

#include <cstdint>
#include <cstdio>
#include <string>

namespace wk {

class WavReader {
public:
    WavReader() = default;
    ~WavReader();
    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;

    // False with the reason in Error().
    bool Open(const std::string& path);
    void Close();

    int SampleRate() const { return m_rate; }
    int Channels() const { return m_channels; }
    int64_t Frames() const { return m_dataBytes / (2 * m_channels); }

    // Reads up to `frames` frames of interleaved samples; returns the frames
    // read (0 at the end of the data).
    int64_t Read(int16_t* samples, int64_t frames);
    // Back to the first frame.
    bool Rewind();

    const std::string& Error() const { return m_error; }

private:
    bool Fail(const std::string& why);

    std::FILE* m_file = nullptr;
    int m_rate = 0;
    int m_channels = 0;
    int64_t m_dataStart = 0;
    int64_t m_dataBytes = 0;
    int64_t m_position = 0;  // bytes of data read
    std::string m_error;
};

// The canonical 44-byte header of 16-bit PCM with `dataBytes` bytes of
// samples following it.
std::string WavHeaderForData(int sampleRate, int channels, uint32_t dataBytes);

// The same header for `frames` frames.
inline std::string WavHeader(int sampleRate, int channels, int64_t frames) {
    return WavHeaderForData(sampleRate, channels, static_cast<uint32_t>(frames * 2 * channels));
}

}  // namespace wk
