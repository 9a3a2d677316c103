#pragma once
// The time model of a playback device without a sound card of its own (a WAV
// file, the null device): a buffer of kBufferMs that plays at 44100 frames a
// second, either following the process clock (real time) or, when the
// process clock is a VirtualClock and the device is not real-time, only
// when the feeding thread lets time pass (WaitFor) or writes more than the
// buffer holds. Virtual time then advances the VirtualClock by exactly the
// frames played, so a playback runs as fast as the machine decodes and still
// sees the time pass that a listener would.
//
// When the buffer ran dry before a write, what a listener heard meanwhile
// was silence: Admit returns that many frames so that the device can keep
// them ("what would be heard"), and counts them as an underrun.
//
// One thread at a time, as its device.

#include <atomic>
#include <cstdint>

namespace wk {

class VirtualClock;

class PlaybackPacer {
public:
    static constexpr int64_t kBufferMs = 250;

    explicit PlaybackPacer(bool realTime) : m_realTime(realTime) {}

    // At Open: empties the buffer and chooses the clock.
    void Start();
    bool IsVirtual() const { return m_virtual != nullptr; }

    // Waits (real time) or plays (virtual) until `frames` more fit into the
    // buffer, then counts them as queued. Returns the frames of silence heard
    // since the buffer ran dry, which the caller keeps before its frames.
    // `frames` above the buffer's size are split by the caller.
    int64_t Admit(int64_t frames);
    bool WaitFor(int64_t ms, const std::atomic<int>* cancel);
    // Lets the queue play out.
    void Drain();
    // Drops what is queued; returns the frames that were never heard.
    int64_t Drop();

    static int64_t BufferFrames();
    int64_t UnderrunFrames() const { return m_underrunFrames.load(); }

private:
    int64_t ElapsedFrames() const;  // real time: frames the clock let play since Start
    void PlayVirtual(int64_t frames, bool gapAllowed);

    const bool m_realTime;
    VirtualClock* m_virtual = nullptr;
    bool m_systemClock = false;  // the process clock is the real one: waits sleep to a deadline
    int64_t m_startTicks = 0;
    int64_t m_written = 0;     // frames queued since Start, silence included
    int64_t m_played = 0;      // virtual: frames heard since Start
    int64_t m_pendingGap = 0;  // virtual: silence heard, not yet handed to the device
    std::atomic<int64_t> m_underrunFrames{0};
};

}  // namespace wk
