#include "recording/Mp3Writer.h"

#include <algorithm>

#include "core/CTError.h"
#include "core/RecordingNotifier.h"
#include "core/Trace.h"
#include "streamstore/ChunkStartNote.h"

namespace wk {

namespace {

// Bytes and samples of the Layer III frame a header starts; {0, 0} for
// anything else (the free format included: its length is not told).
struct FrameSize {
    int64_t bytes = 0;
    int64_t samples = 0;
};

FrameSize LayerThreeFrame(const uint8_t h[4]) {
    static const int kKbps[2][15] = {
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},       // MPEG-2, 2.5
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}};  // MPEG-1
    static const int kRates[3] = {44100, 48000, 32000};
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || (h[1] & 0x06) != 0x02) return {};
    const int version = (h[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const int bitrate = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    if (version == 1 || bitrate == 0 || bitrate == 15 || rateIndex == 3) return {};
    const bool mpeg1 = version == 3;
    const int rate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const int64_t padding = (h[2] >> 1) & 1;
    const int64_t kbps = kKbps[mpeg1 ? 1 : 0][bitrate];
    return {(mpeg1 ? 144000 : 72000) * kbps / rate + padding, mpeg1 ? 1152 : 576};
}

}  // namespace

Mp3Writer::~Mp3Writer() {
    if (m_state != kEncoderStarted) return;
    try {
        EndFile(false);
    } catch (const CTError& e) {
        Trace(kTraceError, "Closing %s failed with error %d", m_base.c_str(), e.GetCode());
    }
}

void Mp3Writer::SetFileName(const std::string& base) {
    Require(m_state != kEncoderStarted, kErrEncoderStarted);
    Require(!base.empty(), kErrEncoderFileNameInvalid);
    m_base = base;
}

int Mp3Writer::StartFile() {
    uint32_t samples = 0;
    uint32_t bufferSize = 0;
    StartEngine(samples, bufferSize);
    try {
        m_files.Create(m_base, ".mp3");
    } catch (const CTError&) {
        EncoderBase::StopEngine();
        throw;
    }
    m_output.assign(bufferSize, 0);
    m_pendingDat.clear();
    m_pendingFgp.clear();
    m_blocks = 0;
    m_streamBytes = m_nextHeader = m_framesSeen = 0;
    m_headerBytes = 0;
    m_chainLost = false;
    m_encoderDelay = EncoderDelay();
    m_nextNominal = 0;
    BeginChunkNote();
    return static_cast<int>(samples);
}

void Mp3Writer::SetSideBlocks(std::span<const uint8_t> dat, std::span<const uint8_t> fgp) {
    m_pendingDat.assign(dat.begin(), dat.end());
    m_pendingFgp.assign(fgp.begin(), fgp.end());
}

void Mp3Writer::EncodeBlock(const int16_t* samples, int count) {
    Require(m_state == kEncoderStarted, kErrEncoderNotStarted);
    uint32_t length = 0;
    EncodeChunk(static_cast<uint32_t>(count), samples, m_output.data(), length);
    ++m_blocks;
    const size_t bytes = std::min<size_t>(length, m_output.size());
    m_files.WriteAudio({m_output.data(), bytes});
    FollowFrames(m_output.data(), bytes);
    m_files.WriteDat(m_pendingDat);
    m_files.WriteFgp(m_pendingFgp);
    m_pendingDat.clear();
    m_pendingFgp.clear();
}

void Mp3Writer::FlushFile() {
    Require(m_state == kEncoderStarted, kErrEncoderNotStarted);
    uint32_t length = 0;
    Flush(m_output.data(), length);
    // The flushed frames end the recording; dropping them would cut its last
    // moments off.
    const size_t bytes = std::min<size_t>(length, m_output.size());
    m_files.WriteAudio({m_output.data(), bytes});
    FollowFrames(m_output.data(), bytes);
}

void Mp3Writer::BeginChunkNote() {
    m_chunkFirstByte = m_streamBytes;
    m_chunkNominal = m_nextNominal;
    m_notePending = true;
}

void Mp3Writer::FollowFrames(const uint8_t* data, size_t n) {
    const int64_t begin = m_streamBytes;
    m_streamBytes += static_cast<int64_t>(n);
    while (!m_chainLost && m_nextHeader < m_streamBytes) {
        while (m_headerBytes < 4 && m_nextHeader + m_headerBytes < m_streamBytes) {
            m_header[m_headerBytes] = data[m_nextHeader + m_headerBytes - begin];
            ++m_headerBytes;
        }
        if (m_headerBytes < 4) return;
        const FrameSize frame = LayerThreeFrame(m_header);
        if (frame.bytes <= 4) {
            Trace(kTraceError, "The encoder's output lost its frame headers at byte %lld; "
                  "chunk starts are no longer noted", static_cast<long long>(m_nextHeader));
            m_chainLost = true;
            return;
        }
        // A header that began in the chunk before belongs to it: the export
        // finds the first header that begins in this one.
        if (m_notePending && m_nextHeader >= m_chunkFirstByte) {
            m_notePending = false;
            ChunkStartNote note;
            note.firstFrameByte = m_nextHeader - m_chunkFirstByte;
            note.firstSample = m_framesSeen * frame.samples -
                               static_cast<int64_t>(m_encoderDelay) - m_chunkNominal;
            note.sampleRate = m_sampleRate;
            WriteChunkStartNote(m_base, note);
        }
        ++m_framesSeen;
        m_nextHeader += frame.bytes;
        m_headerBytes = 0;
    }
}

void Mp3Writer::EndFile(bool remove) {
    Require(m_state == kEncoderStarted, kErrEncoderNotStarted);
    // The files are closed (or removed) whatever the engine says, so that a
    // failing library never leaves a chunk half-open.
    bool stopped = true;
    try {
        EncoderBase::StopEngine();
    } catch (const CTError&) {
        stopped = false;
        m_stream = 0;
        m_state = kEncoderOpened;
    }
    m_output.clear();
    m_output.shrink_to_fit();
    if (remove) {
        // Closed files belong to a chunk completed at a cut whose successor
        // could not be created; they must survive.
        if (m_files.IsOpen()) m_files.CloseAndDelete();
    } else {
        try {
            m_files.Close();
        } catch (const CTError&) {
            RecordingNotifier::Instance().Notify(kEventChunkFilesClosed);
            throw;
        }
    }
    RecordingNotifier::Instance().Notify(kEventChunkFilesClosed);
    if (!stopped) throw CTErrorRecorder(kErrEncoderStopEngine);
}

void Mp3Writer::StopFile() {
    EndFile(false);
}

void Mp3Writer::AbortFile() {
    EndFile(true);
}

void Mp3Writer::SwitchFile(const std::string& newBase) {
    Require(m_state == kEncoderStarted, kErrEncoderNotStarted);
    m_files.Close();
    RecordingNotifier::Instance().Notify(kEventChunkCompleted);
    m_base = newBase;
    m_files.Create(m_base, ".mp3");
    std::fill(m_output.begin(), m_output.end(), 0);
    BeginChunkNote();
}

}  // namespace wk
