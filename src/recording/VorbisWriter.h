#pragma once
// Writes chunk files as Ogg Vorbis: every chunk is a complete stream of its
// own (three header packets, then audio, then end of stream), so each chunk
// plays by itself. The encoding is fixed at VBR quality 0.0, 2 channels,
// 44100 Hz whatever bit rate is configured; the comment ENCODER=wavkeep marks
// our files. Beside each .ogg go the .dat and .fgp side files, written after
// each block's audio.
//
// States: 1 idle, 2 opened, 3 started. Failures throw CTErrorRecorder
// (1, 2, 4, 7, 9, 11, 12, 20, 21, 22). Used by one recording session thread.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/SharedLibrary.h"
#include "recording/ChunkFiles.h"

namespace wk {

class VorbisWriter {
public:
    static constexpr int kBlockSamples = 2304;  // 16-bit values per EncodeBlock

    VorbisWriter();
    ~VorbisWriter();  // ends a started stream (files closed, kept), releases everything
    VorbisWriter(const VorbisWriter&) = delete;
    VorbisWriter& operator=(const VorbisWriter&) = delete;

    int State() const { return m_state; }

    // idle -> opened; checks that libvorbisenc can be loaded ("LIB Load %s").
    void Open();
    // opened -> idle ("LIB Free ogg encoder").
    void Close();
    // Validated like the MP3 bit rates (else 7) and stored; not used.
    void SetBitRate(int kbps);
    // Not while started; an empty name throws 20.
    void SetFileName(const std::string& base);
    const std::string& FileName() const { return m_base; }

    // opened -> started: creates base + ".ogg", ".dat", ".fgp" (21 on
    // failure, state stays opened) and begins a stream. Returns the block size
    // in 16-bit samples (2304).
    int StartFile();

    // The side-file bytes to write after the next block's audio (once each).
    void SetSideBlocks(std::span<const uint8_t> dat, std::span<const uint8_t> fgp);

    // 2 (interleaved stereo, the default) or 1: a mono recording, each sample
    // written to both channels of the stream.
    void SetInputChannels(int channels) { m_inputChannels = channels == 1 ? 1 : 2; }

    // Encodes `count` 16-bit samples (at most kBlockSamples).
    void EncodeBlock(const int16_t* samples, int count);

    // At a chunk cut: ends the stream, closes the three files (notice 8),
    // creates the files under `newBase` and begins a new stream.
    void SwitchFile(const std::string& newBase);

    // Ends the stream and closes the files (notice 5). started -> opened.
    void StopFile();
    // As StopFile, but deletes the three files.
    void AbortFile();

private:
    struct Codec;  // libvorbis/libogg state
    void BeginStream();
    void EndStream();
    void WriteHeaders();
    void WritePending();
    void RequireState(int state, int code) const;

    int m_state = 1;
    int m_bitRate = 128;
    int m_inputChannels = 2;
    std::string m_base = "default";
    SharedLibrary m_library;
    std::unique_ptr<Codec> m_codec;
    ChunkFiles m_files;
    std::vector<uint8_t> m_pendingDat;
    std::vector<uint8_t> m_pendingFgp;
};

}  // namespace wk
