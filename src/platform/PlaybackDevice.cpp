#include "platform/PlaybackDevice.h"

#include <algorithm>

#include "core/Clock.h"
#include "platform/DeadlineSleep.h"
#include "platform/PlaybackDeviceAlsa.h"
#include "platform/PlaybackDeviceNull.h"
#include "platform/PlaybackDeviceWavFile.h"

namespace wk {

namespace {

bool StartsWith(const std::string& text, const char* prefix, std::string* rest) {
    const std::string p(prefix);
    if (text.compare(0, p.size(), p) != 0) return false;
    *rest = text.substr(p.size());
    return true;
}

}  // namespace

void PlaybackDevice::SetVolume(int volume) {
    m_volume = std::clamp(volume, 0, kMaxVolume);
}

int64_t PlaybackDevice::Write(const int16_t* samples, int64_t frames) {
    if (frames <= 0) return 0;
    const int volume = m_volume.load();
    if (volume != kUnityVolume) {
        const size_t count = static_cast<size_t>(frames) * kChannels;
        m_scaled.resize(count);
        for (size_t i = 0; i < count; ++i) {
            const int32_t v = int32_t{samples[i]} * volume / kUnityVolume;
            m_scaled[i] = static_cast<int16_t>(std::clamp<int32_t>(v, -32768, 32767));
        }
        samples = m_scaled.data();
    }
    const int64_t taken = WriteFrames(samples, frames);
    if (taken > 0) m_framesWritten += taken;
    return taken;
}

bool PlaybackDevice::WaitFor(int64_t ms, const std::atomic<int>* cancel) {
    Clock& clock = GetClock();
    if (dynamic_cast<SystemClock*>(&clock))
        return SleepUntilDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), cancel);
    return clock.SleepFor(ms, cancel);
}

std::unique_ptr<PlaybackDevice> CreatePlaybackDevice(const std::string& spec, std::string* why) {
    std::string rest;
    if (spec == "alsa") return std::make_unique<PlaybackDeviceAlsa>();
    if (StartsWith(spec, "alsa:", &rest) && !rest.empty())
        return std::make_unique<PlaybackDeviceAlsa>(rest);
    if (spec == "null") return std::make_unique<PlaybackDeviceNull>();
    if (StartsWith(spec, "file:", &rest)) {
        constexpr const char* kRealTime = ":realtime";
        const std::string suffix(kRealTime);
        const bool realTime = rest.size() > suffix.size() &&
                              rest.compare(rest.size() - suffix.size(), suffix.size(), suffix) == 0;
        if (realTime) rest.resize(rest.size() - suffix.size());
        if (!rest.empty()) return std::make_unique<PlaybackDeviceWavFile>(rest, realTime);
    }
    if (why) {
        *why = "unknown output \"" + spec +
               "\" (alsa, alsa:PCM, file:PATH.wav[:realtime], null)";
    }
    return nullptr;
}

}  // namespace wk
