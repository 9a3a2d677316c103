#include "platform/PlaybackDeviceWavFile.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "core/Trace.h"

namespace wk {

namespace {

constexpr int64_t kFrameBytes = 2 * PlaybackDevice::kChannels;
constexpr long kHeaderBytes = 44;

void PutLe(uint8_t* p, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

PlaybackDeviceWavFile::PlaybackDeviceWavFile(std::string path, bool realTime)
    : m_path(std::move(path)), m_realTime(realTime), m_pacer(realTime) {}

PlaybackDeviceWavFile::~PlaybackDeviceWavFile() {
    Close();
}

std::string PlaybackDeviceWavFile::Name() const {
    return "file:" + m_path + (m_realTime ? ":realtime" : "");
}

bool PlaybackDeviceWavFile::Open(std::string* why) {
    if (m_file) return true;
    m_file = std::fopen(m_path.c_str(), m_created ? "r+b" : "wb");
    if (!m_file) {
        if (why) *why = "cannot write " + m_path + ": " + std::strerror(errno);
        return false;
    }
    if (!m_created) {
        m_created = true;
        m_dataFrames = 0;
        WriteHeader();
    }
    std::fseek(m_file, kHeaderBytes + static_cast<long>(m_dataFrames * kFrameBytes), SEEK_SET);
    m_endReason.clear();
    m_pacer.Start();
    ResetCounters();
    return true;
}

bool PlaybackDeviceWavFile::Put(const void* data, size_t bytes) {
    if (bytes == 0 || std::fwrite(data, 1, bytes, m_file) == bytes) return true;
    m_endReason = "cannot write " + m_path + ": " + std::strerror(errno);
    Trace(kTraceError, "%s", m_endReason.c_str());
    return false;
}

int64_t PlaybackDeviceWavFile::WriteFrames(const int16_t* samples, int64_t frames) {
    if (!m_file || HasEnded()) return -1;
    for (int64_t done = 0; done < frames;) {
        const int64_t piece = std::min(frames - done, PlaybackPacer::BufferFrames());
        const int64_t gap = m_pacer.Admit(piece);
        if (gap > 0) {
            const std::vector<int16_t> silence(static_cast<size_t>(gap * kChannels), 0);
            if (!Put(silence.data(), silence.size() * sizeof(int16_t))) return -1;
            m_dataFrames += gap;
        }
        if (!Put(samples + done * kChannels, static_cast<size_t>(piece * kFrameBytes))) return -1;
        m_dataFrames += piece;
        done += piece;
    }
    return frames;
}

bool PlaybackDeviceWavFile::WaitFor(int64_t ms, const std::atomic<int>* cancel) {
    return m_file ? m_pacer.WaitFor(ms, cancel) : PlaybackDevice::WaitFor(ms, cancel);
}

void PlaybackDeviceWavFile::Drain() {
    if (!m_file) return;
    m_pacer.Drain();
    WriteHeader();
}

void PlaybackDeviceWavFile::Close() {
    if (!m_file) return;
    const int64_t unheard = std::min(m_pacer.Drop(), m_dataFrames);
    m_dataFrames -= unheard;
    WriteHeader();
    std::fclose(m_file);
    m_file = nullptr;
    if (unheard > 0 && truncate(m_path.c_str(), kHeaderBytes + m_dataFrames * kFrameBytes) != 0)
        Trace(kTraceError, "cannot cut %s to what was heard: %s", m_path.c_str(), std::strerror(errno));
}

void PlaybackDeviceWavFile::WriteHeader() {
    const uint32_t dataBytes = static_cast<uint32_t>(
        std::min<int64_t>(m_dataFrames * kFrameBytes, 0xFFFFFFFFLL - kHeaderBytes));
    uint8_t h[kHeaderBytes];
    std::memcpy(h, "RIFF", 4);
    PutLe(h + 4, dataBytes + kHeaderBytes - 8, 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    PutLe(h + 16, 16, 4);
    PutLe(h + 20, 1, 2);  // PCM
    PutLe(h + 22, kChannels, 2);
    PutLe(h + 24, kSampleRate, 4);
    PutLe(h + 28, kSampleRate * kFrameBytes, 4);
    PutLe(h + 32, kFrameBytes, 2);
    PutLe(h + 34, 16, 2);
    std::memcpy(h + 36, "data", 4);
    PutLe(h + 40, dataBytes, 4);
    const long at = std::ftell(m_file);
    std::fseek(m_file, 0, SEEK_SET);
    std::fwrite(h, 1, sizeof h, m_file);
    std::fflush(m_file);
    std::fseek(m_file, at, SEEK_SET);
}

}  // namespace wk
