#include "recording/ChunkEncoder.h"

#include "core/CTError.h"
#include "core/Trace.h"

namespace wk {

ChunkEncoder::~ChunkEncoder() {
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
    m_current = m_chunkSize > 0 ? m_template + "_1" : m_template;
    if (IsVorbis()) {
        m_vorbis.SetInputChannels(Channels());
        m_vorbis.SetFileName(m_current);
        const int block = m_vorbis.StartFile();
        m_state = kEncoderStarted;
        return block;
    }
    Mp3Writer::SetFileName(m_current);
    return Mp3Writer::StartFile();
}

void ChunkEncoder::SetSideBlocks(std::span<const uint8_t> dat, std::span<const uint8_t> fgp) {
    if (IsVorbis()) m_vorbis.SetSideBlocks(dat, fgp);
    else Mp3Writer::SetSideBlocks(dat, fgp);
}

void ChunkEncoder::EncodeBlock(const int16_t* samples, int count) {
    if (IsVorbis()) m_vorbis.EncodeBlock(samples, count);
    else Mp3Writer::EncodeBlock(samples, count);
    if (m_chunkSize <= 0) return;
    m_pcmBytes += 2 * static_cast<int64_t>(count);
    if (m_pcmBytes < m_nextCut) return;
    ++m_chunkNumber;
    m_current = m_template + "_" + std::to_string(m_chunkNumber);
    Trace(kTraceDebug, "Next chunk %s", m_current.c_str());
    if (IsVorbis()) m_vorbis.SwitchFile(m_current);
    else SwitchFile(m_current);
    m_nextCut += m_chunkSize;
}

void ChunkEncoder::FlushFile() {
    // A Vorbis stream drains itself when it ends.
    if (!IsVorbis()) Mp3Writer::FlushFile();
}

void ChunkEncoder::StopFile() {
    if (!IsVorbis()) return Mp3Writer::StopFile();
    Require(m_state == kEncoderStarted, kErrEncoderNotStarted);
    m_state = kEncoderOpened;
    m_vorbis.StopFile();
}

void ChunkEncoder::AbortFile() {
    if (!IsVorbis()) return Mp3Writer::AbortFile();
    Require(m_state == kEncoderStarted, kErrEncoderNotStarted);
    m_state = kEncoderOpened;
    m_vorbis.AbortFile();
}

}  // namespace wk
