#include "platform/CaptureDeviceWavFile.h"

#include <utility>

namespace wk {

namespace {

std::string Describe(int sampleRate, int channels) {
    std::string text = std::to_string(sampleRate) + " Hz ";
    if (channels == 1) {
        text += "mono";
    } else if (channels == 2) {
        text += "stereo";
    } else {
        text += std::to_string(channels) + " channels";
    }
    return text + " 16-bit PCM";
}

}  // namespace

CaptureDeviceWavFile::CaptureDeviceWavFile(std::string path, bool realTime)
    : QueuedCaptureDevice(realTime ? Pacing::kClock : Pacing::kConsumer), m_path(std::move(path)) {}

CaptureDeviceWavFile::~CaptureDeviceWavFile() {
    Close();
}

std::string CaptureDeviceWavFile::Name() const {
    std::string name = "file:";
    name += m_path;
    if (IsRealTime()) name += ":realtime";
    return name;
}

bool CaptureDeviceWavFile::OpenChecked(WavReader& reader, int sampleRate, int channels,
                                       std::string* why) const {
    const std::string wanted = Describe(sampleRate, channels);
    if (!reader.Open(m_path)) {
        if (why) *why = reader.Error() + "; the recording needs " + wanted;
        return false;
    }
    if (reader.SampleRate() != sampleRate || reader.Channels() != channels) {
        if (why) {
            *why = m_path;
            *why += " holds ";
            *why += Describe(reader.SampleRate(), reader.Channels());
            *why += "; the recording needs ";
            *why += wanted;
        }
        reader.Close();
        return false;
    }
    return true;
}

bool CaptureDeviceWavFile::SupportsFormat(int sampleRate, int channels, std::string* why) {
    WavReader probe;
    return OpenChecked(probe, sampleRate, channels, why);
}

bool CaptureDeviceWavFile::OpenSource(int sampleRate, int channels, std::string* why) {
    if (!OpenChecked(m_reader, sampleRate, channels, why)) return false;
    m_framesRead = 0;
    // The reader gives no other reason to stop: short reads come from the end.
    SetSourceEndReason(kEndOfFile);
    return true;
}

void CaptureDeviceWavFile::CloseSource() {
    m_reader.Close();
}

int64_t CaptureDeviceWavFile::ReadFrames(int16_t* out, int64_t frames) {
    const int64_t got = m_reader.Read(out, frames);
    m_framesRead += got;
    return got;
}

bool CaptureDeviceWavFile::SourceExhausted() const {
    return m_framesRead >= m_reader.Frames();
}

}  // namespace wk
