#pragma once
// The player's wave-output thread ("sound server") for decoded Ogg audio:
// the player thread fills one of two buffers while the server plays the
// other through the playback device, so decoding and output overlap and
// neither waits for a whole chunk.
//
// Threads: Buffer, Play, WaitUntilFree and Stop are called by the player
// thread only, WakeWaiters by any; the server thread writes to the device.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "player/ThreadMessageQueue.h"

namespace wk {

class PlaybackDevice;

class SoundServer {
public:
    static constexpr int kBuffers = 2;
    // About 186 ms of audio each: each buffer costs the two threads a
    // hand-over, and smaller ones woke them some eighty times a second.
    static constexpr int64_t kBufferFrames = 8192;

    explicit SoundServer(PlaybackDevice& device);
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // Waits at most `ms` of real time until buffer `index` has been played
    // or `*cancel` is non-zero; true when either holds.
    bool WaitUntilFree(int index, int ms, const std::atomic<int>* cancel);
    // Ends a WaitUntilFree whose cancel flag was set. Any thread.
    void WakeWaiters();
    int16_t* Buffer(int index) { return m_buffers[static_cast<size_t>(index)].data(); }
    // Hands a filled buffer to the server (message 1135).
    void Play(int index, int64_t frames);
    // Drops (or, with `drain`, plays out) what the server holds, closes the
    // device (message 1137), and waits until that is done.
    void Stop(bool drain);

    // True once the device took less than it was given (it ended).
    bool OutputFailed() const { return m_failed.load(); }
    std::string FailureReason() const;

private:
    struct Nothing {};
    void Run();
    void Free(int index);

    PlaybackDevice& m_device;
    std::array<std::vector<int16_t>, kBuffers> m_buffers;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::array<bool, kBuffers> m_busy{};  // guarded by m_mutex
    int m_stopsHandled = 0;               // guarded by m_mutex
    std::string m_failure;                // guarded by m_mutex
    int m_stopsPosted = 0;                // player thread only
    std::atomic<bool> m_dropping{false};
    std::atomic<bool> m_failed{false};
    ThreadMessageQueue<Nothing> m_queue;
    std::thread m_thread;
};

}  // namespace wk
