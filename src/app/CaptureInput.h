#pragma once
// The capture input named on the command line ("alsa", "alsa:PCM",
// "file:PATH[:realtime]", "generator[:SEED[:fast]]"; see CreateCaptureDevice)
// turned into what the recording controller asks for, shared by
// "wavkeep record" and the daemon.

#include <memory>
#include <string>

#include "platform/CaptureDevice.h"
#include "recording/CTRecordingController.h"

namespace wk {

// The input used when none is named: the stored ALSA capture device.
inline constexpr const char* kDefaultCaptureInput = "alsa";

std::string CaptureInputOrDefault(const std::string& input);
// True for "alsa" and "alsa:PCM": inputs that are a sound card.
bool IsSoundCardInput(const std::string& input);

// The controller's device factory: the first session gets `first` (made and
// tested up front, so that an unusable input is refused before any chunk
// exists), every later session a new device made from `input`. Called on the
// controller's thread only.
CTRecordingController::DeviceFactory MakeCaptureDeviceFactory(std::unique_ptr<CaptureDevice> first,
                                                              const std::string& input);

// The start-up test of a sound card for 16-bit PCM at 44100 Hz with the
// recording's channel count: 0 when it can record, else the id of the
// message to show (kStrSoundCardMissing: it cannot be opened;
// kStrSoundCardCapabilities: it offers no configuration at all;
// kStrSoundCardUnsuitable: it lacks the format). `detail` gets the device's
// own words.
int TestSoundCard(CaptureDevice& device, int channels, std::string* detail);

}  // namespace wk
