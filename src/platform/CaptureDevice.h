#pragma once
// Capture devices: where recorded PCM comes from.
//
// A device delivers 16-bit interleaved PCM into buffers the caller queues, in
// the order they were queued; each filled buffer is marked done and the
// caller's event is set. Implementations: ALSA (CaptureDeviceAlsa), a WAV
// file (CaptureDeviceWavFile) and a generator of music-like audio
// (CaptureDeviceGenerator).
//
// Threads: Open/Start/Reset/Close come from the recording session's threads
// one after another; AddBuffer and Consumed from the capture and session
// threads; the device fills buffers on a thread of its own.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace wk {

class Event;

// The end reason of a device that delivered the number of frames it was
// asked for: a planned end, not a fault.
inline constexpr const char* kEndFrameLimit = "frame limit reached";

struct CaptureBuffer {
    uint8_t* data = nullptr;
    size_t size = 0;                // bytes to fill (whole frames)
    size_t recorded = 0;            // bytes the device filled
    std::atomic<bool> done{false};  // set by the device when it hands the buffer back
};

class CaptureDevice {
public:
    virtual ~CaptureDevice() = default;

    // A short text naming the device ("alsa:default", "file:/x.wav", "generator:7").
    virtual std::string Name() const = 0;

    // Whether the device can deliver 16-bit PCM at this rate and channel count.
    virtual bool SupportsFormat(int sampleRate, int channels, std::string* why) = 0;
    // Opens the device. `bufferDone` is set whenever a buffer is done and when
    // the device ends; it stays owned by the caller and outlives Close.
    virtual bool Open(int sampleRate, int channels, Event* bufferDone, std::string* why) = 0;
    // Queues a buffer (not yet done). The buffer must stay valid until it is
    // done or Reset returns.
    virtual bool AddBuffer(CaptureBuffer* buffer, std::string* why) = 0;
    virtual bool Start(std::string* why) = 0;
    // Stops capturing; every buffer still queued is handed back (done, with
    // what it got). No buffer is touched after Reset returns.
    virtual void Reset() = 0;
    virtual void Close() = 0;

    // True once the device delivers nothing more: it disappeared, failed, or
    // its input ended. EndReason says which, for the event log.
    virtual bool HasEnded() const = 0;
    virtual std::string EndReason() const = 0;

    // The recording session encoded `frames` more frames. Devices that run as
    // fast as they are consumed pace themselves (and their VirtualClock) by it.
    virtual void Consumed(int64_t frames) { (void)frames; }
    // False for devices that deliver as fast as they are consumed.
    virtual bool IsRealTime() const { return true; }
};

// Makes a device from a text:
//   "alsa" (the stored capture device number, read now: "default" when below
//   1, else "plughw:N"), "alsa:NAME" (an ALSA PCM name), "file:PATH" (as fast
//   as consumed), "file:PATH:realtime", "generator" (seed 1) /
//   "generator:SEED" (real time), "generator:SEED:fast".
// PATH may hold ':'; only a trailing ":realtime" or ":fast" is taken off it.
// nullptr with the reason in `why` for a text it does not understand.
std::unique_ptr<CaptureDevice> CreateCaptureDevice(const std::string& spec, std::string* why);

}  // namespace wk
