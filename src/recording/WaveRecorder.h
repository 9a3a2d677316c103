#pragma once
// The capture ring: `count` buffers over the caller's data block, count - 1
// of them queued with the capture device at all times; the buffer that
// completed last stays untouched until the next one completes.
//
// States: 1 idle, 2 opened, 3 started. Failures throw CTErrorRecorder 31-44
// and leave the state as it was (a failed Start has released its buffers).
// Open/Start/Stop/Close run on the session's threads one after another;
// IsBufferDone/GetBufferData/Requeue only on the capture thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/CaptureDevice.h"

namespace wk {

class Event;

class WaveRecorder {
public:
    WaveRecorder();
    ~WaveRecorder();  // Stop when started, Close when opened; never throws
    WaveRecorder(const WaveRecorder&) = delete;
    WaveRecorder& operator=(const WaveRecorder&) = delete;

    // The device to record from; while idle only. Without one, Open uses
    // CreateCaptureDevice("alsa").
    void SetDevice(std::unique_ptr<CaptureDevice> device);
    CaptureDevice* Device() const { return m_device.get(); }

    void SetSampleRate(int rate);  // idle; 8000, 11025, 22050, 44100 (else 34)
    void SetChannels(int channels);  // idle; 1 or 2 (else 36)
    int GetSampleRate() const { return m_rate; }
    int GetChannels() const { return m_channels; }
    int GetBitsPerSample() const { return 16; }
    int State() const { return m_state; }

    // The device sets `bufferDone` each time a buffer completes.
    void Open(Event* bufferDone);
    void Start(int count, uint8_t* dataBlock, size_t bufferSize);
    bool IsBufferDone() const;
    const uint8_t* GetBufferData() const;
    // Bytes the device put into the current buffer (less than the buffer's
    // size only for the last buffer of an input that ended).
    size_t GetBufferRecorded() const;
    void Requeue();
    void Stop();
    void Close();

    int CurrentIndex() const { return m_current; }
    // The session encoded `frames` more frames (paces fast devices).
    void Consumed(int64_t frames) {
        if (m_device) m_device->Consumed(frames);
    }
    // The device delivers no more (disappeared, failed, input ended).
    bool DeviceEnded() const;
    std::string DeviceEndReason() const;

private:
    void Require(bool condition, int code) const;

    int m_state = 1;
    int m_rate = 44100;
    int m_channels = 2;
    std::unique_ptr<CaptureDevice> m_device;
    std::unique_ptr<CaptureBuffer[]> m_buffers;
    int m_current = 0;
    int m_count = 0;
    uint8_t* m_block = nullptr;
    size_t m_bufferSize = 0;
};

}  // namespace wk
