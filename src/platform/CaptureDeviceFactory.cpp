#include <cstdlib>

#include "platform/CaptureDevice.h"
#include "platform/CaptureDeviceAlsa.h"
#include "platform/CaptureDeviceGenerator.h"
#include "platform/CaptureDeviceWavFile.h"

namespace wk {

namespace {

constexpr uint32_t kDefaultGeneratorSeed = 1;

bool StartsWith(const std::string& text, const char* prefix, std::string* rest) {
    const std::string p(prefix);
    if (text.compare(0, p.size(), p) != 0) return false;
    *rest = text.substr(p.size());
    return true;
}

// Splits a trailing ":realtime" or ":fast" off `text`; `realTime` keeps its
// value when there is none.
void TakeSpeed(std::string* text, bool* realTime) {
    static const struct {
        const char* suffix;
        bool realTime;
    } kSpeeds[] = {{":realtime", true}, {":fast", false}};
    for (const auto& s : kSpeeds) {
        const std::string suffix(s.suffix);
        if (text->size() >= suffix.size() &&
            text->compare(text->size() - suffix.size(), suffix.size(), suffix) == 0) {
            text->resize(text->size() - suffix.size());
            *realTime = s.realTime;
            return;
        }
    }
}

bool ParseSeed(const std::string& text, uint32_t* seed) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (value > 0xFFFFFFFFULL) return false;
    *seed = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

std::unique_ptr<CaptureDevice> CreateCaptureDevice(const std::string& spec, std::string* why) {
    std::string rest;
    if (spec == "alsa") return std::make_unique<CaptureDeviceAlsa>();
    if (StartsWith(spec, "alsa:", &rest) && !rest.empty())
        return std::make_unique<CaptureDeviceAlsa>(rest);
    if (StartsWith(spec, "file:", &rest)) {
        bool realTime = false;
        TakeSpeed(&rest, &realTime);
        if (!rest.empty()) return std::make_unique<CaptureDeviceWavFile>(rest, realTime);
    }
    if (spec == "generator") return std::make_unique<CaptureDeviceGenerator>(kDefaultGeneratorSeed);
    if (StartsWith(spec, "generator:", &rest)) {
        bool realTime = true;
        TakeSpeed(&rest, &realTime);
        uint32_t seed = 0;
        if (ParseSeed(rest, &seed)) return std::make_unique<CaptureDeviceGenerator>(seed, realTime);
    }
    if (why) {
        *why = "unknown capture device \"" + spec +
               "\" (alsa, alsa:NAME, file:PATH[:realtime], generator[:SEED[:fast]])";
    }
    return nullptr;
}

}  // namespace wk
