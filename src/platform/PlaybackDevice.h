#pragma once
// Playback devices: where the player's decoded audio goes. Every device
// plays 44100 Hz 16-bit interleaved stereo.
//
// Implementations: ALSA (PlaybackDeviceAlsa), a WAV file that receives what
// would be heard (PlaybackDeviceWavFile) and a device that plays nothing
// (PlaybackDeviceNull).
//
// Threads: one thread at a time uses a device; the player hands it from the
// main thread (Open) to its own threads (Write, WaitFor, Drain, Close) through
// its message queues, which order the calls.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace wk {

class PlaybackDevice {
public:
    static constexpr int kSampleRate = 44100;
    static constexpr int kChannels = 2;
    // The volume scale: 0 silent, kUnityVolume the samples as decoded (the
    // player's setting), kMaxVolume twice as loud, clipped rather than wrapped.
    static constexpr int kUnityVolume = 50;
    static constexpr int kMaxVolume = 100;
    // No Write blocks longer than this in all; a device that takes nothing
    // for that long has stopped playing.
    static constexpr int kWriteBoundMs = 2000;

    virtual ~PlaybackDevice() = default;

    // A short text naming the device ("alsa:default", "file:/x.wav", "null").
    virtual std::string Name() const = 0;

    // False with the reason when the device cannot play. Opening an open
    // device keeps it as it is.
    virtual bool Open(std::string* why) = 0;
    virtual bool IsOpen() const = 0;

    // Queues `frames` frames of interleaved samples, blocking while the
    // device's buffer is full, at most kWriteBoundMs. Returns the frames
    // taken (fewer when the bound ran out) or -1 once the device has ended
    // (EndReason says why) or is not open.
    int64_t Write(const int16_t* samples, int64_t frames);

    // Lets `ms` milliseconds of playback pass: a device that follows the
    // process clock sleeps on it (on the system clock in one sleep to a
    // deadline, which a stop ends through WakeCancelWaiters); a WAV file playing as fast as it is fed
    // plays that much of what it holds. False when `*cancel` became non-zero.
    virtual bool WaitFor(int64_t ms, const std::atomic<int>* cancel = nullptr);

    // Plays out what is queued (bounded by the queued time plus a margin).
    virtual void Drain() = 0;
    // Stops at once; what was queued and not yet heard is dropped. Closing a
    // closed device does nothing.
    virtual void Close() = 0;

    // 0 to kMaxVolume; values outside are clamped. Any thread.
    void SetVolume(int volume);
    int Volume() const { return m_volume.load(); }

    // True once the device plays nothing more: it disappeared or failed.
    virtual bool HasEnded() const { return false; }
    virtual std::string EndReason() const { return {}; }

    // Frames handed to Write since Open, after volume (for tests and benches).
    int64_t FramesWritten() const { return m_framesWritten.load(); }

protected:
    // The device's own write: same contract as Write, samples already scaled.
    virtual int64_t WriteFrames(const int16_t* samples, int64_t frames) = 0;
    void ResetCounters() { m_framesWritten = 0; }

private:
    std::atomic<int> m_volume{kUnityVolume};
    std::atomic<int64_t> m_framesWritten{0};
    std::vector<int16_t> m_scaled;
};

// Makes a device from a text:
//   "alsa" (the stored playback PCM, "default" when none is stored),
//   "alsa:PCM", "file:PATH" (a WAV file written as fast as it is fed, pacing
//   a VirtualClock when that is the process clock), "file:PATH:realtime",
//   "null" (plays nothing at the pace of the process clock).
// nullptr with the reason in `why` for a text it does not understand.
std::unique_ptr<PlaybackDevice> CreatePlaybackDevice(const std::string& spec, std::string* why);

}  // namespace wk
