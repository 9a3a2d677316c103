#include "recording/EngineChoice.h"

#include <strings.h>

#include "core/ConfigStore.h"
#include "core/Trace.h"
#include "recording/EncoderBase.h"
#include "platform/SharedLibrary.h"
#include "recording/EncoderLibrary.h"

namespace wk {

int ChooseEncoderEngine(const ConfigStore& config) {
    const std::string value =
        config.HasKey("Encoder") ? config.GetString("Encoder") : std::string(kKeyNotFound);
    Trace(kTraceDebug, "##Enc7: Compare [%s] to [%s]wav [%s]lame [%s]ogg [%s]blade", value.c_str(),
          "Wav encoder", "Lame encoder", "Vorbis encoder", "Blade encoder");
    if (!config.HasKey("Encoder")) {
        Trace(kTraceDebug, "##Enc2: Big problem! Not found in config, so taking blade!!!");
        return kEngineBlade;
    }
    if (value == "Lame encoder") return kEngineLame;
    if (value == "Vorbis encoder") return kEngineVorbis;
    if (::strcasecmp(value.c_str(), "Wav encoder") == 0) return kEngineVorbis;
    Trace(kTraceDebug, "##Enc3: Big problem! Wrong thing found in config, so taking blade!!!");
    return kEngineBlade;
}

std::vector<EngineAvailability> ListEncoderEngines() {
    std::vector<EngineAvailability> engines;
    for (int kind : {kEngineLame, kEngineBlade}) {
        EngineAvailability e{kind, kind == kEngineLame ? "Lame encoder" : "Blade encoder",
                             EncoderLibrary::Locate(EncoderBase::LibraryName(kind)), false, {}};
        e.usable = TestEncoderLibrary(e.library, &e.why);
        engines.push_back(std::move(e));
    }
    EngineAvailability vorbis{kEngineVorbis, "Vorbis encoder", "libvorbisenc.so.2", false, {}};
    SharedLibrary library;
    std::string why;
    vorbis.usable = library.Load(vorbis.library, &why);
    if (!vorbis.usable) vorbis.why = why.empty() ? "libvorbisenc cannot be loaded" : why;
    engines.push_back(std::move(vorbis));
    return engines;
}

}  // namespace wk
