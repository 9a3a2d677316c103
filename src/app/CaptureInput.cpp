#include "app/CaptureInput.h"

#include <utility>

#include "core/Translation.h"

namespace wk {

std::string CaptureInputOrDefault(const std::string& input) {
    return input.empty() ? std::string(kDefaultCaptureInput) : input;
}

bool IsSoundCardInput(const std::string& input) {
    const std::string spec = CaptureInputOrDefault(input);
    return spec == "alsa" || spec.rfind("alsa:", 0) == 0;
}

CTRecordingController::DeviceFactory MakeCaptureDeviceFactory(std::unique_ptr<CaptureDevice> first,
                                                              const std::string& input) {
    // std::function wants a copyable callable; the device is handed on once.
    auto pending = std::make_shared<std::unique_ptr<CaptureDevice>>(std::move(first));
    return [pending, spec = CaptureInputOrDefault(input)]() {
        if (*pending) return std::move(*pending);
        std::string ignored;
        return CreateCaptureDevice(spec, &ignored);
    };
}

int TestSoundCard(CaptureDevice& device, int channels, std::string* detail) {
    std::string why;
    if (device.SupportsFormat(44100, channels, &why)) return 0;
    if (detail) *detail = why;
    // CaptureDeviceAlsa says "cannot open ..." when the PCM cannot be opened
    // and "... does not offer any configuration ..." when it cannot tell what
    // it offers; anything else is a format it lacks.
    if (why.rfind("cannot open", 0) == 0) return kStrSoundCardMissing;
    if (why.find("any configuration") != std::string::npos) return kStrSoundCardCapabilities;
    return kStrSoundCardUnsuitable;
}

}  // namespace wk
