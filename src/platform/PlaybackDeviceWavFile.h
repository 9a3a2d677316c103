#pragma once
// A playback device that writes what a listener would hear into a 16-bit
// 44100 Hz stereo WAV file: the frames in the order played, silence where the
// buffer ran dry, and nothing of what a stop dropped before it was heard.
// By default it plays as fast as it is fed, advancing the process clock when
// that is a VirtualClock (see PlaybackPacer); with `realTime` it takes audio
// at the pace of the clock, as a sound card would.
//
// The file is created by the first Open; a later Open of the same device
// appends, so one playback session with stops in between gives one file.
// The header holds the right sizes after every Drain and Close. A failed
// write (disk full) ends the device with the reason.

#include <cstdio>
#include <string>

#include "platform/PlaybackDevice.h"
#include "platform/PlaybackPacer.h"

namespace wk {

class PlaybackDeviceWavFile final : public PlaybackDevice {
public:
    explicit PlaybackDeviceWavFile(std::string path, bool realTime = false);
    ~PlaybackDeviceWavFile() override;

    const std::string& Path() const { return m_path; }
    std::string Name() const override;
    bool Open(std::string* why) override;
    bool IsOpen() const override { return m_file != nullptr; }
    bool WaitFor(int64_t ms, const std::atomic<int>* cancel = nullptr) override;
    void Drain() override;
    void Close() override;
    bool HasEnded() const override { return !m_endReason.empty(); }
    std::string EndReason() const override { return m_endReason; }

    // Frames of silence written because the buffer ran dry.
    int64_t UnderrunFrames() const { return m_pacer.UnderrunFrames(); }

protected:
    int64_t WriteFrames(const int16_t* samples, int64_t frames) override;

private:
    bool Put(const void* data, size_t bytes);
    void WriteHeader();

    const std::string m_path;
    const bool m_realTime;
    PlaybackPacer m_pacer;
    std::FILE* m_file = nullptr;
    bool m_created = false;
    int64_t m_dataFrames = 0;
    std::string m_endReason;
};

}  // namespace wk
