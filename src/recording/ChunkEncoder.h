#pragma once
// Encodes a recording into consecutive chunk files "<template>_<n>" of a
// fixed amount of PCM each, through the MP3 engine or, for engine kind 3, the
// Vorbis writer.
//
// The cut falls after the first block whose end reaches the next multiple of
// the chunk size, counted from the start of the recording, so a chunk holds
// the chunk size rounded up to whole blocks and the error never adds up.
// The next chunk's files are created when its first block arrives, so a
// recording that ends at a cut leaves no empty chunk behind; what the
// engine still holds then goes into the chunk it belongs to.
// A chunk size of 0 never cuts and names the file after the template alone.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "recording/Mp3Writer.h"
#include "recording/SilenceDetector.h"
#include "recording/VorbisWriter.h"

namespace wk {

// With config "EnableSilenceDet" on (present and not "0" when a file starts),
// a SilenceDetector analyses each chunk once it is complete.
class ChunkEncoder : public Mp3Writer {
public:
    ChunkEncoder() = default;
    ~ChunkEncoder() override;

    // Bytes of PCM per chunk: channels x bits x rate x seconds / 8.
    void SetChunkSize(int64_t bytes);
    static int64_t ChunkBytes(int channels, int sampleRate, int seconds);

    void SetBitRate(int kbps) override;
    void Open() override;
    void Close() override;
    // The chunk path without "_<n>" and extension.
    void SetFileName(const std::string& nameTemplate) override;
    int StartFile() override;
    void SetSideBlocks(std::span<const uint8_t> dat, std::span<const uint8_t> fgp) override;
    void EncodeBlock(const int16_t* samples, int count) override;
    void FlushFile() override;
    void StopFile() override;
    void AbortFile() override;

    int WriterState() const;
    // The chunk the next block goes into.
    int ChunkNumber() const { return m_chunkNumber + (m_cutPending ? 1 : 0); }
    // The chunk whose files are open.
    // Any thread (the status display asks while the session thread cuts).
    std::string CurrentFileName() const {
        std::lock_guard lock(m_currentMutex);
        return m_current;
    }
    const std::string& NameTemplate() const { return m_template; }

private:
    bool IsVorbis() const { return m_engine == kEngineVorbis; }
    void StopWriter(bool abort);
    void StopDetector(bool lastFileRemoved);
    void Cut();
    void EndPendingCut();
    // Writes the open Ogg chunk's start note.
    void NoteOggStart(int64_t firstSample);

    std::string m_template = "default";
    int64_t m_chunkSize = 0;
    int m_chunkNumber = 1;
    mutable std::mutex m_currentMutex;  // guards m_current: written here, read by CurrentFileName
    std::string m_current;
    int64_t m_pcmBytes = 0;
    int64_t m_nextCut = 0;
    bool m_cutPending = false;  // the open chunk is complete; the next block opens the next
    VorbisWriter m_vorbis;
    std::unique_ptr<SilenceDetector> m_detector;
};

}  // namespace wk
