#pragma once
// A capture device that plays a 16-bit PCM WAV file once, for recordings made
// from a file: as fast as the session consumes it (the default) or in real
// time. A file whose format differs from the one asked for is refused before
// anything is delivered; at the end of its data the device ends with
// "end of file".

#include <string>

#include "platform/QueuedCaptureDevice.h"
#include "platform/WavReader.h"

namespace wk {

class CaptureDeviceWavFile final : public QueuedCaptureDevice {
public:
    static constexpr const char* kEndOfFile = "end of file";

    explicit CaptureDeviceWavFile(std::string path, bool realTime = false);
    ~CaptureDeviceWavFile() override;

    const std::string& Path() const { return m_path; }

    // "file:PATH", with ":realtime" when paced by the clock.
    std::string Name() const override;
    bool SupportsFormat(int sampleRate, int channels, std::string* why) override;

protected:
    bool OpenSource(int sampleRate, int channels, std::string* why) override;
    void CloseSource() override;
    int64_t ReadFrames(int16_t* out, int64_t frames) override;
    bool SourceExhausted() const override;

private:
    // Opens `reader` on the file and checks its format; false with the reason.
    bool OpenChecked(WavReader& reader, int sampleRate, int channels, std::string* why) const;

    const std::string m_path;
    WavReader m_reader;
    int64_t m_framesRead = 0;
};

}  // namespace wk
