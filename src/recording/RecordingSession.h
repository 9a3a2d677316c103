#pragma once
// One uninterrupted recording run: the wave recorder, the chunk encoder and
// the queue between them, with two threads of its own:
//   "high-priority recording thread" moves filled capture buffers into the
//     queue and hands them back to the device;
//   "rec session" takes PCM out of the queue block by block, computes the
//     side-file bytes, encodes, and cuts chunk files.
// States: 1 idle, 2 opened, 3 started. Failures throw CTErrorRecorder 50-54
// (and the recorder's and encoder's codes).
//
// Open/Start/Stop/Close run on the controller's thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/Event.h"
#include "recording/ChunkEncoder.h"
#include "recording/RecordingQueue.h"
#include "recording/SideFileCalculator.h"
#include "recording/WaveRecorder.h"

namespace wk {

class RecordingSession {
public:
    static constexpr int kCaptureBuffers = 128;

    RecordingSession();
    ~RecordingSession();  // aborts a running session, closes an opened one
    RecordingSession(const RecordingSession&) = delete;
    RecordingSession& operator=(const RecordingSession&) = delete;

    // Idle only. `mode` in the encoder's numbering (3 = mono records one channel).
    void Configure(int engine, int bitRate, int mode, int chunkSeconds, const std::string& baseName);
    void SetDevice(std::unique_ptr<CaptureDevice> device);
    void SetFileName(const std::string& baseName);

    void Open();
    void Start();
    // Ends the run: the capture stops, what the queue holds is encoded, the
    // last chunk is closed (or deleted with `abort`).
    void Stop(bool abort = false);
    void Close();

    // Called on the session thread when it ends by itself (see
    // HasEndedByItself); must return soon. Set before Start.
    void SetOnEndedByItself(std::function<void()> callback) { m_onEndedByItself = std::move(callback); }

    int State() const { return m_state; }
    bool IsStarted() const { return m_state == 3; }
    // The session thread has ended on its own (the device ended, or a write
    // failed); the owner should Stop it.
    bool HasEndedByItself() const { return m_endedByItself.load(); }
    // Why, for the event log; empty after a normal stop.
    std::string EndReason() const;
    // The first error the session thread met (0 when none).
    int ThreadErrorCode() const { return m_threadError.load(); }

    // The chunk being written ("" when none).
    std::string CurrentFileName() const;
    int64_t PcmBytesEncoded() const { return m_pcmBytes.load(); }

    // Level meter (mean squares of the last block, left and right). Computed
    // only when enabled; nothing in the recorder turns it on by itself.
    void EnableLevelMeter(bool on) { m_levelMeter = on; }
    double LevelLeft() const { return m_levelLeft.load(); }
    double LevelRight() const { return m_levelRight.load(); }

    ChunkEncoder& Encoder() { return m_encoder; }
    WaveRecorder& Recorder() { return m_recorder; }

private:
    void SessionThread();
    void CaptureThread();
    void EncodeBlock(int16_t* block);
    void EndWithReason(const std::string& reason);

    std::atomic<int> m_state{1};
    std::function<void()> m_onEndedByItself;
    int m_blockSamples = 0;     // 16-bit values per encoder call
    int m_channels = 2;
    int m_chunkSeconds = 10;
    std::vector<uint8_t> m_dataBlock;
    bool m_gain = false;  // the gain stage stays off
    float m_gainFactor = 10.0f;
    std::atomic<bool> m_levelMeter{false};
    std::atomic<double> m_levelLeft{0};
    std::atomic<double> m_levelRight{0};

    WaveRecorder m_recorder;
    ChunkEncoder m_encoder;
    RecordingQueue m_queue;
    SideFileCalculator m_side;

    Event m_bufferDone;
    std::atomic<bool> m_stopCapture{false};
    std::atomic<bool> m_captureEnded{true};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_abort{false};
    std::atomic<bool> m_endedByItself{false};
    std::atomic<int> m_threadError{0};
    std::atomic<int64_t> m_pcmBytes{0};
    std::thread m_sessionThread;
    mutable std::mutex m_textMutex;
    std::string m_endReason;
};

}  // namespace wk
