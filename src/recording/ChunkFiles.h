#pragma once
// The three files of one chunk: the compressed audio (base + ".mp3" or
// ".ogg"), the wave form (base + ".dat") and the fingerprint (base + ".fgp").
// They are created, closed and deleted together. Every failure throws
// CTErrorRecorder: 21 when a file cannot be created (none of the three is
// left behind), 22 when a write fails.
//
// Used by one writer on the recording session's thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace wk {

class ChunkFiles {
public:
    ChunkFiles() = default;
    ~ChunkFiles();  // closes, never deletes
    ChunkFiles(const ChunkFiles&) = delete;
    ChunkFiles& operator=(const ChunkFiles&) = delete;

    // Creates (truncating) base + audioExtension, base + ".dat", base + ".fgp".
    void Create(const std::string& base, const std::string& audioExtension);
    bool IsOpen() const { return m_audio >= 0; }
    const std::string& Base() const { return m_base; }

    void WriteAudio(std::span<const uint8_t> bytes);
    void WriteDat(std::span<const uint8_t> bytes);
    void WriteFgp(std::span<const uint8_t> bytes);

    // Closes the three files; throws 22 when the last data cannot be stored.
    void Close();
    // Closes (ignoring errors) and removes the three files.
    void CloseAndDelete();

private:
    void WriteAll(int fd, const char* what, std::span<const uint8_t> bytes);
    void CloseQuietly();

    std::string m_base;
    std::string m_audioExtension;
    int m_audio = -1;
    int m_dat = -1;
    int m_fgp = -1;
};

}  // namespace wk
