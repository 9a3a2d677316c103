#pragma once
// The part every capture device shares: the queue of caller buffers and the
// thread that fills them, oldest first, from the device's source.
//
// A source only has to deliver frames (ReadFrames); the base decides when:
// - Pacing::kSource: as fast as the source gives them (a sound card paces
//   itself);
// - Pacing::kClock: each buffer is handed back once the process clock has
//   advanced by the audio delivered since Start, as a live input would;
// - Pacing::kConsumer: at most two buffers' worth of frames (of the largest
//   buffer queued) ahead of what the session reported through Consumed; a
//   VirtualClock installed as the process clock is advanced by those frames,
//   so the clock shows how much audio was encoded.
//
// When the source ends or fails, or the frame limit is reached, the buffer
// being filled is handed back with what it got, HasEnded becomes true and the
// event is set; buffers queued after it stay queued until Reset.
//
// Derived classes must call Close() in their destructor: the thread calls
// their ReadFrames and has to be gone before their members are.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/CaptureDevice.h"

namespace wk {

class QueuedCaptureDevice : public CaptureDevice {
public:
    enum class Pacing { kSource, kClock, kConsumer };

    static constexpr int kLeadBuffers = 2;

    ~QueuedCaptureDevice() override;
    QueuedCaptureDevice(const QueuedCaptureDevice&) = delete;
    QueuedCaptureDevice& operator=(const QueuedCaptureDevice&) = delete;

    bool Open(int sampleRate, int channels, Event* bufferDone, std::string* why) final;
    bool AddBuffer(CaptureBuffer* buffer, std::string* why) final;
    bool Start(std::string* why) final;
    void Reset() final;
    void Close() final;

    bool HasEnded() const final;
    std::string EndReason() const final;

    void Consumed(int64_t frames) final;
    bool IsRealTime() const final { return m_pacing != Pacing::kConsumer; }

    // After delivering exactly `frames` frames since Open the device ends
    // with "frame limit reached"; the buffer holding the last frame is handed
    // back with a partial fill if need be. Negative: no limit (the default).
    // Takes effect for frames read after the call.
    void SetFrameLimit(int64_t frames) { m_frameLimit.store(frames); }

    Pacing GetPacing() const { return m_pacing; }

protected:
    explicit QueuedCaptureDevice(Pacing pacing) : m_pacing(pacing) {}

    // Opens the source for 16-bit PCM at this format; false with the reason.
    virtual bool OpenSource(int sampleRate, int channels, std::string* why) = 0;
    virtual void CloseSource() = 0;
    // Called before the thread starts and after it stopped (never while it runs).
    virtual bool StartSource(std::string* why) {
        (void)why;
        return true;
    }
    virtual void StopSource() {}
    // Fill thread: reads up to `frames` interleaved frames into `out`.
    // Returns the frames read (possibly fewer), 0 when the input ended, < 0
    // on failure; SetSourceEndReason may say why before returning 0 or < 0.
    // Must return soon (0 is fine) once StopRequested() is true.
    virtual int64_t ReadFrames(int16_t* out, int64_t frames) = 0;
    // Fill thread: true when the source knows it has nothing more, so that
    // the device ends with the buffer that got the last frame.
    virtual bool SourceExhausted() const { return false; }

    void SetSourceEndReason(std::string reason) { m_sourceEndReason = std::move(reason); }
    bool StopRequested() const { return m_stop.load() != 0; }
    // For Clock::SleepFor and similar waits of the fill thread.
    const std::atomic<int>* StopFlag() const { return &m_stop; }
    int SampleRate() const { return m_rate; }
    int Channels() const { return m_channels; }

private:
    void Run();
    // Takes the oldest queued buffer; nullptr when asked to stop.
    CaptureBuffer* NextBuffer();
    // Fills one buffer and hands it back; false when the thread must stop.
    bool Fill(CaptureBuffer& buffer);
    // Consumer pacing: how many of `wanted` frames may be read now; 0 when
    // asked to stop.
    int64_t WaitForRoom(int64_t wanted);
    // Sleeps until the audio delivered since Start is due; false when cancelled.
    bool WaitUntilDue();
    void End(const std::string& reason);
    void StopThread();

    const Pacing m_pacing;
    // Written by Open and Close; AddBuffer and Consumed may come meanwhile.
    std::atomic<int> m_rate{0};
    std::atomic<int> m_channels{0};
    std::atomic<bool> m_open{false};
    Event* m_event = nullptr;

    std::thread m_thread;
    std::atomic<int> m_stop{0};

    mutable std::mutex m_mutex;  // guards everything down to m_endReason
    std::condition_variable m_wake;
    std::deque<CaptureBuffer*> m_queue;
    int64_t m_largestBufferFrames = 0;
    int64_t m_consumedSinceStart = 0;
    std::string m_endReason;

    std::atomic<bool> m_ended{false};
    std::atomic<int64_t> m_frameLimit{-1};

    // Fill thread only (and Start/Reset while it does not run).
    int64_t m_delivered = 0;            // since Open, for the frame limit
    int64_t m_deliveredSinceStart = 0;  // for pacing
    int64_t m_startTicks = 0;
    std::string m_sourceEndReason;
    std::vector<int16_t> m_scratch;  // for buffers not aligned for int16_t
};

}  // namespace wk
