#include "platform/CaptureDeviceGenerator.h"

namespace wk {

namespace {

constexpr int kMinRate = 8000;
constexpr int kMaxRate = 192000;

}  // namespace

CaptureDeviceGenerator::CaptureDeviceGenerator(uint32_t seed, bool realTime,
                                               const GeneratorTiming& timing)
    : QueuedCaptureDevice(realTime ? Pacing::kClock : Pacing::kConsumer),
      m_seed(seed),
      m_timing(timing) {}

CaptureDeviceGenerator::~CaptureDeviceGenerator() {
    Close();
}

std::string CaptureDeviceGenerator::Name() const {
    std::string name = "generator:" + std::to_string(m_seed);
    if (!IsRealTime()) name += ":fast";
    return name;
}

bool CaptureDeviceGenerator::SupportsFormat(int sampleRate, int channels, std::string* why) {
    if (sampleRate >= kMinRate && sampleRate <= kMaxRate && (channels == 1 || channels == 2))
        return true;
    if (why) {
        *why = Name() + " makes mono or stereo audio at 8000 to 192000 Hz, not " +
               std::to_string(sampleRate) + " Hz with " + std::to_string(channels) + " channels";
    }
    return false;
}

bool CaptureDeviceGenerator::OpenSource(int sampleRate, int channels, std::string* why) {
    if (!SupportsFormat(sampleRate, channels, why)) return false;
    m_music = std::make_unique<GeneratedMusic>(m_seed, sampleRate, channels, m_timing);
    return true;
}

void CaptureDeviceGenerator::CloseSource() {
    m_music.reset();
}

int64_t CaptureDeviceGenerator::ReadFrames(int16_t* out, int64_t frames) {
    m_music->Render(out, frames);
    return frames;
}

}  // namespace wk
