#pragma once
// What a value of a config.ini key may be, checked where a person sets it:
// "wavkeep config set" and the options dialog ask the same function, so
// both refuse the same values with the same reason.
//
// Only keys wavkeep knows are checked; any other key takes any value that
// config.ini can hold (stored files and scripts keep their own keys). Files
// written by hand are not checked here: every reader copes with a bad value
// on its own (a default, a refusal to record with the reason).
//
// Threading: none (pure functions).

#include <string>

namespace wk {

// "" when `value` may be stored under `key`; otherwise why not, as one
// sentence for the user ("a bit rate is one of 32, 40, ... kbit/s").
std::string ConfigValueProblem(const std::string& key, const std::string& value);

// The names a choice key takes, in the order they are offered.
inline constexpr const char* kEncoderNames[] = {"Lame encoder", "Blade encoder", "Vorbis encoder"};
inline constexpr const char* kModeNames[] = {"STEREO", "DUALCHANNEL", "MONO"};
inline constexpr const char* kTraceLevelNames[] = {"None", "Error", "Info", "Debug", "Detail"};
inline constexpr int kBitRates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};

// Limits of the number keys.
inline constexpr int kMaxChunkSeconds = 3600;
inline constexpr int kMaxDiskSpaceMb = 16 * 1024 * 1024;  // 16 TiB

}  // namespace wk
