#include "recording/ChunkEncoder.h"

#include "core/CTError.h"
#include "core/ConfigStore.h"
#include "core/RecordingNotifier.h"
#include "core/Trace.h"
#include "recording/SilenceDetector.h"
#include "streamstore/ChunkStartNote.h"

namespace wk {

namespace {

bool SilenceDetectionEnabled() {
    ConfigStore config;
    config.Load();
    const std::string value = config.GetString("EnableSilenceDet");
    return value != kKeyNotFound && value != "0";
}

}  // namespace

ChunkEncoder::~ChunkEncoder() {
    // A chunk still being written is incomplete: the detector leaves it out.
    StopDetector(m_state == kEncoderStarted);
    // The Vorbis writer ends its own stream; the MP3 part must not try to stop
    // an engine it never started.
    if (IsVorbis()) m_state = kEncoderIdle;
}

int64_t ChunkEncoder::ChunkBytes(int channels, int sampleRate, int seconds) {
    return static_cast<int64_t>(channels) * 16 * sampleRate * seconds / 8;
}

void ChunkEncoder::SetChunkSize(int64_t bytes) {
    m_chunkSize = bytes < 0 ? 0 : bytes;
}

void ChunkEncoder::SetBitRate(int kbps) {
    if (IsVorbis()) m_vorbis.SetBitRate(kbps);
    Mp3Writer::SetBitRate(kbps);
}

void ChunkEncoder::Open() {
    if (IsVorbis()) {
        Require(m_state == kEncoderIdle, kErrEncoderNotIdle);
        m_vorbis.Open();
        m_state = kEncoderOpened;
        return;
    }
    Mp3Writer::Open();
}

void ChunkEncoder::Close() {
    if (IsVorbis()) {
        Require(m_state == kEncoderOpened, kErrEncoderNotOpened);
        m_vorbis.Close();
        m_state = kEncoderIdle;
        return;
    }
    Mp3Writer::Close();
}

void ChunkEncoder::SetFileName(const std::string& nameTemplate) {
    Require(m_state != kEncoderStarted, kErrEncoderStarted);
    Require(!nameTemplate.empty(), kErrEncoderFileNameInvalid);
    m_template = nameTemplate;
}

int ChunkEncoder::WriterState() const {
    return IsVorbis() ? m_vorbis.State() : m_state;
}

int ChunkEncoder::StartFile() {
    Require(m_state == kEncoderOpened, kErrEncoderNotOpened);
    m_nextCut = m_chunkSize;
    m_pcmBytes = 0;
    m_chunkNumber = 1;
    m_cutPending = false;
    {
        std::lock_guard lock(m_currentMutex);
        m_current = m_chunkSize > 0 ? m_template + "_1" : m_template;
    }
    int block = 0;
    if (IsVorbis()) {
        m_vorbis.SetInputChannels(Channels());
        m_vorbis.SetFileName(m_current);
        block = m_vorbis.StartFile();
        m_state = kEncoderStarted;
        NoteOggStart(0);
    } else {
        Mp3Writer::SetFileName(m_current);
        block = Mp3Writer::StartFile();
    }
    // A fresh detector per recording: nothing of the last one's queue is left.
    m_detector.reset();
    if (SilenceDetectionEnabled()) {
        m_detector = std::make_unique<SilenceDetector>();
        m_detector->SetChunkSize(m_chunkSize);
        m_detector->SetFileName(m_current);
        m_detector->Start();
    }
    return block;
}

void ChunkEncoder::SetSideBlocks(std::span<const uint8_t> dat, std::span<const uint8_t> fgp) {
    if (IsVorbis()) m_vorbis.SetSideBlocks(dat, fgp);
    else Mp3Writer::SetSideBlocks(dat, fgp);
}

void ChunkEncoder::EncodeBlock(const int16_t* samples, int count) {
    if (m_cutPending) Cut();
    if (IsVorbis()) m_vorbis.EncodeBlock(samples, count);
    else Mp3Writer::EncodeBlock(samples, count);
    if (m_chunkSize <= 0) return;
    m_pcmBytes += 2 * static_cast<int64_t>(count);
    if (m_pcmBytes < m_nextCut) return;
    m_cutPending = true;
    m_nextCut += m_chunkSize;
}

void ChunkEncoder::Cut() {
    // Named before the switch: the notice it sends may be read at once.
    m_cutPending = false;
    ++m_chunkNumber;
    {
        std::lock_guard lock(m_currentMutex);
        m_current = m_template + "_" + std::to_string(m_chunkNumber);
    }
    Trace(kTraceDebug, "Next chunk %s", m_current.c_str());
    // The cut falls on a whole block, after the nominal start.
    const int64_t frameBytes = 2 * int64_t{Channels()};
    const int64_t nominal = (m_chunkNumber - 1) * (m_chunkSize / frameBytes);
    if (IsVorbis()) {
        m_vorbis.SwitchFile(m_current);
        NoteOggStart(m_pcmBytes / frameBytes - nominal);
    } else {
        SetNominalStart(nominal);
        SwitchFile(m_current);
    }
    if (m_detector) m_detector->SetFileName(m_current);
}

void ChunkEncoder::NoteOggStart(int64_t firstSample) {
    // Each Ogg chunk is a stream of its own whose granule 0 is the first
    // sample of the chunk's first block.
    ChunkStartNote note;
    note.firstFrameByte = -1;
    note.firstSample = firstSample;
    note.sampleRate = SampleRate();
    WriteChunkStartNote(m_current, note);
}

void ChunkEncoder::FlushFile() {
    // A Vorbis stream drains itself when it ends.
    if (!IsVorbis()) Mp3Writer::FlushFile();
}

void ChunkEncoder::EndPendingCut() {
    // The chunk was completed at a cut like every one before it, though no
    // next chunk follows.
    if (m_cutPending) RecordingNotifier::Instance().Notify(kEventChunkCompleted);
    m_cutPending = false;
}

void ChunkEncoder::StopFile() {
    EndPendingCut();
    // The detector stops only once the last chunk's files are closed (or
    // removed), so that it reads a complete .dat or none.
    try {
        StopWriter(false);
    } catch (...) {
        StopDetector(false);
        throw;
    }
    StopDetector(false);
}

void ChunkEncoder::AbortFile() {
    // A chunk that reached its cut is complete: only a chunk still short of
    // it is the unfinished one an abort deletes.
    const bool complete = m_cutPending;
    EndPendingCut();
    try {
        StopWriter(!complete);
    } catch (...) {
        StopDetector(!complete);
        throw;
    }
    StopDetector(!complete);
}

void ChunkEncoder::StopWriter(bool abort) {
    if (!IsVorbis()) return abort ? Mp3Writer::AbortFile() : Mp3Writer::StopFile();
    Require(m_state == kEncoderStarted, kErrEncoderNotStarted);
    m_state = kEncoderOpened;
    if (abort) m_vorbis.AbortFile();
    else m_vorbis.StopFile();
}

void ChunkEncoder::StopDetector(bool lastFileRemoved) {
    if (m_detector) m_detector->Stop(lastFileRemoved);
}

}  // namespace wk
