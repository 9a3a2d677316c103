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

    // The input sample frame at which the next chunk (the one SwitchFile
    // opens) nominally starts; StartFile's chunk starts at 0. Each chunk's
    // first frame is noted beside it (ChunkStartNote) relative to this.
    void SetNominalStart(int64_t frame) { m_nextNominal = frame; }

protected:
    void EndFile(bool remove);
    // Follows the frame headers of the bit stream across chunk files and
    // notes the first one that begins in the open chunk.
    void FollowFrames(const uint8_t* data, size_t n);
    void BeginChunkNote();

    std::string m_base = "default";
    ChunkFiles m_files;
    std::vector<uint8_t> m_output;
    std::vector<uint8_t> m_pendingDat;
    std::vector<uint8_t> m_pendingFgp;
    int64_t m_blocks = 0;

    // The bit stream as a whole, from the engine's start.
    int64_t m_streamBytes = 0;
    int64_t m_nextHeader = 0;  // where the next frame header begins
    int64_t m_framesSeen = 0;
    uint8_t m_header[4] = {};
    int m_headerBytes = 0;     // gathered at m_nextHeader
    bool m_chainLost = false;  // bytes where a header belongs are none: no more notes
    // The open chunk: where its bytes begin in the stream, where it nominally
    // starts, and whether its first frame is still to be noted.
    int64_t m_chunkFirstByte = 0;
    int64_t m_chunkNominal = 0;
    int64_t m_nextNominal = 0;
    bool m_notePending = false;
    uint32_t m_encoderDelay = kTypicalEncoderDelay;
};

}  // namespace wk
