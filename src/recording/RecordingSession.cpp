#include "recording/RecordingSession.h"

#include <chrono>
#include <cstring>

#include "core/CTError.h"
#include "core/RecordingNotifier.h"
#include "core/SystemInfo.h"
#include "core/Trace.h"

namespace wk {
namespace {

constexpr int kSampleRate = 44100;

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

RecordingSession::RecordingSession() = default;

RecordingSession::~RecordingSession() {
    try {
        if (m_state == 3) Stop(true);
    } catch (const CTError& e) {
        Trace(kTraceError, "Recording session ended with error %d", e.GetCode());
    }
    try {
        if (m_state == 2) Close();
    } catch (const CTError& e) {
        Trace(kTraceError, "Recording session closed with error %d", e.GetCode());
    }
    if (m_sessionThread.joinable()) m_sessionThread.join();
}

void RecordingSession::Configure(int engine, int bitRate, int mode, int chunkSeconds,
                                 const std::string& baseName) {
    if (m_state != 1) throw CTErrorRecorder(kErrControllerNotIdle);
    m_encoder.SetEngine(engine);
    m_encoder.SetBitRate(bitRate);
    m_encoder.SetMode(mode);
    m_channels = m_encoder.Channels();
    m_recorder.SetSampleRate(kSampleRate);
    m_recorder.SetChannels(m_channels);
    m_encoder.SetSampleRate(kSampleRate);
    m_chunkSeconds = chunkSeconds < 0 ? 0 : chunkSeconds;
    m_encoder.SetFileName(baseName);
    Trace(kTraceDebug, "##Enc6: Setting encoder to %i", engine);
}

void RecordingSession::SetDevice(std::unique_ptr<CaptureDevice> device) {
    m_recorder.SetDevice(std::move(device));
}

void RecordingSession::SetFileName(const std::string& baseName) {
    m_encoder.SetFileName(baseName);
}

void RecordingSession::Open() {
    if (m_state != 1) throw CTErrorRecorder(kErrControllerNotIdle);
    m_recorder.Open(&m_bufferDone);
    try {
        m_encoder.Open();
    } catch (const CTError&) {
        m_recorder.Close();
        throw;
    }
    m_state = 2;
}

void RecordingSession::Start() {
    if (m_state != 2) throw CTErrorRecorder(kErrControllerNotOpened);
    m_encoder.SetChunkSize(ChunkEncoder::ChunkBytes(m_channels, kSampleRate, m_chunkSeconds));
    m_blockSamples = m_encoder.StartFile();
    const size_t bufferSize = static_cast<size_t>(m_channels) * 16 * m_blockSamples * 3 / 8;
    m_dataBlock.assign(bufferSize * kCaptureBuffers, 0);
    m_side = SideFileCalculator(kSampleRate, m_channels);
    m_pcmBytes = 0;
    {
        std::lock_guard lock(m_textMutex);
        m_endReason.clear();
    }
    m_threadError = 0;
    m_endedByItself = false;
    try {
        m_recorder.Start(kCaptureBuffers, m_dataBlock.data(), bufferSize);
    } catch (const CTError&) {
        m_encoder.AbortFile();
        m_dataBlock.clear();
        throw;
    }
    if (m_sessionThread.joinable()) {
        m_recorder.Stop();
        m_encoder.AbortFile();
        m_dataBlock.clear();
        throw CTErrorRecorder(kErrControllerCreateThread);
    }
    m_stopRequested = false;
    m_stopCapture = false;
    m_abort = false;
    try {
        m_sessionThread = std::thread(&RecordingSession::SessionThread, this);
    } catch (const std::system_error&) {
        m_recorder.Stop();
        m_encoder.AbortFile();
        m_dataBlock.clear();
        throw CTErrorRecorder(kErrControllerCreateThread);
    }
    m_state = 3;
}

void RecordingSession::Stop(bool abort) {
    m_bufferDone.Set();
    if (m_sessionThread.joinable()) {
        if (m_state != 3) throw CTErrorRecorder(kErrControllerNotStarted);
        m_abort = abort;
        m_stopRequested = true;
        m_sessionThread.join();
    } else if (m_state != 3) {
        throw CTErrorRecorder(kErrControllerNotStarted);
    }
    m_state = 2;
    m_dataBlock.clear();
    m_dataBlock.shrink_to_fit();
    if (const int code = m_threadError.load()) throw CTErrorRecorder(code);
}

void RecordingSession::Close() {
    if (m_state == 3) throw CTErrorRecorder(kErrControllerStarted);
    if (m_state != 2) throw CTErrorRecorder(kErrControllerNotOpened);
    m_state = 1;
    m_encoder.Close();
    m_recorder.Close();
}

std::string RecordingSession::EndReason() const {
    std::lock_guard lock(m_textMutex);
    return m_endReason;
}

std::string RecordingSession::CurrentFileName() const {
    return m_state == 3 ? m_encoder.CurrentFileName() : std::string();
}

void RecordingSession::EndWithReason(const std::string& reason) {
    std::lock_guard lock(m_textMutex);
    if (m_endReason.empty()) m_endReason = reason;
}

void RecordingSession::EncodeBlock(int16_t* block) {
    const auto samples = static_cast<size_t>(m_blockSamples);
    if (m_gain) {
        for (size_t i = 0; i < samples; ++i) {
            const float v = block[i] * m_gainFactor;
            block[i] = static_cast<int16_t>(v > 32767.f ? 32767 : v < -32768.f ? -32768 : v);
        }
    }
    if (m_levelMeter) {
        double left = 0, right = 0;
        const size_t frames = samples / static_cast<size_t>(m_channels);
        for (size_t f = 0; f < frames; ++f) {
            const double l = block[f * m_channels];
            const double r = block[f * m_channels + m_channels - 1];
            left += l * l;
            right += r * r;
        }
        m_levelLeft = left / static_cast<double>(frames);
        m_levelRight = right / static_cast<double>(frames);
    }
    m_side.AddBlock({block, samples});
    m_encoder.SetSideBlocks(m_side.Dat(), m_side.Fgp());
    m_encoder.EncodeBlock(block, m_blockSamples);
    m_pcmBytes += static_cast<int64_t>(samples) * 2;
    m_recorder.Consumed(static_cast<int64_t>(samples) / m_channels);
}

void RecordingSession::SessionThread() {
    TraceThreadBegin("rec session");
    const size_t blockBytes = 2 * static_cast<size_t>(m_blockSamples);
    const size_t bufferBytes = static_cast<size_t>(m_channels) * blockBytes * 3;
    std::vector<uint8_t> work(bufferBytes);
    auto encodeBuffer = [&](size_t bytes) {
        for (size_t at = 0; at < bytes; at += blockBytes)
            EncodeBlock(reinterpret_cast<int16_t*>(work.data() + at));
    };

    m_captureEnded = false;
    std::thread capture(&RecordingSession::CaptureThread, this);
    bool failed = false;
    try {
        while (!m_stopRequested) {
            if (m_queue.Available() < bufferBytes) {
                if (m_captureEnded && m_queue.Available() < bufferBytes) {
                    // The device delivers no more: the run ends here.
                    EndWithReason(m_recorder.DeviceEndReason());
                    break;
                }
                SleepMs(2);
                continue;
            }
            m_queue.Read(work.data(), bufferBytes);
            encodeBuffer(bufferBytes);
        }
    } catch (const CTError& e) {
        failed = true;
        m_threadError = e.GetCode();
        EndWithReason(e.GetDescription());
        Trace(kTraceError, "Recording session: %s", e.GetText().c_str());
    }

    m_stopCapture = true;
    m_bufferDone.Set();
    capture.join();
    try {
        m_recorder.Stop();
    } catch (const CTError& e) {
        Trace(kTraceError, "Stopping the wave recorder: error %d", e.GetCode());
    }
    try {
        if (!failed && !m_abort) {
            // Whatever reached the queue is part of the recording: encode it,
            // the last part-filled block padded with silence.
            for (size_t left = m_queue.Available(); left > 0; left = m_queue.Available()) {
                std::memset(work.data(), 0, work.size());
                const size_t got = m_queue.Read(work.data(), bufferBytes);
                encodeBuffer((got + blockBytes - 1) / blockBytes * blockBytes);
            }
            m_encoder.FlushFile();
        }
    } catch (const CTError& e) {
        failed = true;
        m_threadError = e.GetCode();
        EndWithReason(e.GetDescription());
        Trace(kTraceError, "Recording session: %s", e.GetText().c_str());
    }
    try {
        if (m_abort) m_encoder.AbortFile();
        else m_encoder.StopFile();
    } catch (const CTError& e) {
        if (!m_threadError) m_threadError = e.GetCode();
        EndWithReason(e.GetDescription());
        Trace(kTraceError, "Closing the last chunk: %s", e.GetText().c_str());
    }
    if (!m_stopRequested) {
        m_endedByItself = true;
        // The owner may sleep on a clock that the audio drove, which stops
        // with it: tell it now rather than at its next look.
        if (m_onEndedByItself) m_onEndedByItself();
    }
    TraceThreadEnd("rec session");
}

void RecordingSession::CaptureThread() {
    NameCurrentThread("rec capture");
    Trace(kTraceDebug, "BEGIN THREAD high-priority recording thread (Current Thread ID = 0x%X)",
          CurrentThreadId());
    const size_t bufferBytes = static_cast<size_t>(m_channels) * 2 * m_blockSamples * 3;
    auto moveDoneBuffers = [&] {
        while (!m_stopCapture && m_recorder.IsBufferDone()) {
            const size_t bytes = m_recorder.GetBufferRecorded();
            const size_t capacity = m_queue.Capacity();
            if (capacity < RecordingQueue::kMaxCapacity && m_queue.Free() < bufferBytes) {
                const size_t grown = std::min(capacity + 5 * bufferBytes, RecordingQueue::kMaxCapacity);
                Trace(kTraceDebug, "Increasing recording queue size from %ld to %ld",
                      static_cast<long>(capacity), static_cast<long>(grown));
                m_queue.Resize(grown);
            }
            if (!m_queue.Write(m_recorder.GetBufferData(), bytes))
                Trace(kTraceError, "Data loss occured!");
            m_recorder.Requeue();
        }
    };
    try {
        while (!m_stopCapture) {
            m_bufferDone.Wait(20);
            moveDoneBuffers();
            if (m_recorder.DeviceEnded()) {
                // A buffer may have been handed back just before the end was signalled.
                moveDoneBuffers();
                Trace(kTraceInfo, "Capture input ended: %s", m_recorder.DeviceEndReason().c_str());
                break;
            }
        }
    } catch (const CTError& e) {
        Trace(kTraceError, "Capture thread: %s", e.GetText().c_str());
    }
    m_captureEnded = true;
    Trace(kTraceDebug, "END THREAD high-priority recording thread (Current Thread ID = 0x%X)",
          CurrentThreadId());
}

}  // namespace wk
