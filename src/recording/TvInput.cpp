#include "recording/TvInput.h"

#include "core/ConfigStore.h"
#include "core/Trace.h"
#include "platform/Tuner.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

constexpr int kTunerChannels = 1;
constexpr int kSatelliteReceiver = 2;

bool UsesTuner(int kind) {
    return kind == kTunerChannels || kind == kSatelliteReceiver;
}

}  // namespace

bool PrepareTvInput(const std::string& taskStream) {
    if (taskStream.empty()) return true;
    ConfigStore config;
    config.Load();
    const int kind = config.GetTvInputKind();
    if (!UsesTuner(kind)) return true;

    StreamNameFile streams;
    streams.load();
    const StreamRecord* record = nullptr;
    for (const auto& r : streams.Records()) {
        if (r->name == taskStream && r->active == 1) {
            record = r.get();
            break;
        }
    }
    if (!record) {
        Trace(kTraceDebug, "PrepareTvInput: stream \"%s\" has no active record, nothing to tune",
              taskStream.c_str());
        return true;
    }

    const bool antenna = config.IsTvAntennaInput();
    Tuner& tuner = GetTuner();
    if (!tuner.OpenDevice(config.GetInt("CountryCode"), antenna)) {
        Trace(kTraceError, "PrepareTvInput: the tuner cannot be opened");
        return false;
    }
    const int channel = kind == kTunerChannels ? record->tunerChannel : config.GetInt("FreqSatelliteModeSignal");
    const bool radio = record->sourceType == kSourceRadio;
    // The first run only proves that the card takes the channel; the graph
    // that keeps playing is the second one.
    if (!tuner.RunTunedGraph(channel, radio)) {
        Trace(kTraceError, "PrepareTvInput: the tuner does not take channel %d", channel);
        return false;
    }
    tuner.StopGraph();
    const bool running = tuner.RunTunedGraph(channel, radio);
    tuner.SelectInput(antenna);
    tuner.SelectModeAndChannel(channel, radio);
    if (!running) Trace(kTraceError, "PrepareTvInput: the tuner does not play channel %d", channel);
    return running;
}

void ReleaseTvInput() {
    ConfigStore config;
    config.Load();
    if (UsesTuner(config.GetTvInputKind())) GetTuner().StopGraph();
}

}  // namespace wk
