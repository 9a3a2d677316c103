#pragma once
// Which encoder engine a recording uses, from the "Encoder" setting:
// "Lame encoder" -> 2, "Vorbis encoder" -> 3, "Wav encoder" (any case) -> 3,
// a missing key or anything else -> 1 (Blade), with "##Enc" trace lines.

#include <string>
#include <vector>

namespace wk {

class ConfigStore;

int ChooseEncoderEngine(const ConfigStore& config);

struct EngineAvailability {
    int kind;
    const char* setting;   // the "Encoder" value that selects it
    std::string library;   // the library found, or "" for Vorbis
    bool usable;
    std::string why;       // when not usable
};

// The three engines and whether each can record now: the MP3 libraries are
// tested as the encoder page tests them; Vorbis needs libvorbisenc.
std::vector<EngineAvailability> ListEncoderEngines();

}  // namespace wk
