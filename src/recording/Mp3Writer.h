#pragma once
// Puts the MP3 engine's output into chunk files with their two side files.
//
// The MP3 bit stream runs on across chunk files: at a cut only the files are
// switched (SwitchFile), the engine is not flushed, so no frame is padded or
// repeated and the chunks of one recording concatenate into one stream.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "recording/ChunkFiles.h"
#include "recording/EncoderBase.h"

namespace wk {

class Mp3Writer : public EncoderBase {
public:
    Mp3Writer() = default;
    ~Mp3Writer() override;

    // The chunk path without extension; not while started; empty throws 20.
    virtual void SetFileName(const std::string& base);
    const std::string& FileName() const { return m_base; }

    // opened -> started: starts the engine and creates base + ".mp3", ".dat"
    // and ".fgp" (21 on failure, the engine stopped again). Returns the
    // samples per call, the block size of the recording session.
    virtual int StartFile();

    // The side-file bytes to write after the next block's audio (once each).
    virtual void SetSideBlocks(std::span<const uint8_t> dat, std::span<const uint8_t> fgp);

    // Encodes one block and writes audio, then .dat, then .fgp.
    virtual void EncodeBlock(const int16_t* samples, int count);

    // Flushes the engine and writes the last frames to the MP3 file.
    virtual void FlushFile();
    // Stops the engine, closes the three files, notice 5. started -> opened.
    virtual void StopFile();
    // As StopFile, but deletes the three files.
    virtual void AbortFile();

    // Closes the three files (notice 8) and creates them under `newBase`;
    // the engine stream goes on.
    void SwitchFile(const std::string& newBase);

    int64_t BlocksEncoded() const { return m_blocks; }

protected:
    void EndFile(bool remove);

    std::string m_base = "default";
    ChunkFiles m_files;
    std::vector<uint8_t> m_output;
    std::vector<uint8_t> m_pendingDat;
    std::vector<uint8_t> m_pendingFgp;
    int64_t m_blocks = 0;
};

}  // namespace wk
