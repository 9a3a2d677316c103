#include "recording/Mp3Writer.h"

#include <algorithm>

#include "core/CTError.h"
#include "core/RecordingNotifier.h"
#include "core/Trace.h"

namespace wk {

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
    m_files.WriteAudio({m_output.data(), std::min<size_t>(length, m_output.size())});
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
    m_files.WriteAudio({m_output.data(), std::min<size_t>(length, m_output.size())});
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
}

}  // namespace wk
