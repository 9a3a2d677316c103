#pragma once
// Seeding a service data folder with the playlist of the generator's
// broadcast, so that a recording of "generator:SEED" (GeneratedMusic) can be
// described by the service as a real station's recording would be.
//
// The broadcast starts with generator frame 0 at `start` (server time). One
// description per complete music track of its first `seconds` seconds
// (pauses and the last, unfinished track are left out), written as
// streams/<stream>/<fileName> in the description file format (three "# "
// header lines - version, stream name, the trusted marker - then one record a
// line, CR LF), and the stream added to channels.txt as a radio channel
// unless a channel of that name (case ignored) is listed already.
//
// Times: frame f lies at start + round(f * 1000 / 44100) ms. Each record's
// fingerprint is the broadcast's own .fgp bytes (SideFileCalculator over the
// generator's audio from frame 0, exactly what the recorder writes):
// kSnippetBytes bytes from kSeedSnippetLeadMs before the track's start (from
// frame 0 for the first track), where the pause before the track gives the
// snippet a shape found nowhere else nearby. Matching needs the recording to
// reach 64 s past that point (Timeshift.h).
//
// `offsetErrorMs` makes the playlist run that many milliseconds late
// (negative: early) as a whole: every record's start, end and snippet time
// are moved by it, as in a playlist taken against a clock that was off. This
// is the error the client's fingerprint matching finds and takes off (it
// moves a downloaded file by one correction). An error in a single record's
// start that its snippet does not share is not something the matching can
// see, so none is invented.
//
// Not thread-safe against another seeding of the same folder; the service may
// serve the folder meanwhile (files are replaced, never written in place).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/DateTime.h"
#include "descriptions/Description.h"
#include "platform/GeneratedMusic.h"

namespace wk {

inline constexpr int kSeedSampleRate = 44100;
inline constexpr StreamTime kSeedSnippetLeadMs = 1000;
inline constexpr int64_t kSeedMaxSeconds = 24 * 3600;
inline constexpr int64_t kSeedMaxOffsetErrorMs = 3600 * 1000;

struct SeedOptions {
    std::string dataFolder;          // the service's data folder; created when missing
    std::string stream = "Default";  // the name clients send as srcname
    uint32_t seed = 1;
    StreamTime start = 0;       // server time of generator frame 0
    int64_t seconds = 0;        // how much of the broadcast is described
    int64_t offsetErrorMs = 0;  // the playlist runs this late as a whole
    int channels = 2;           // as the recorder records (1 or 2)
    GeneratorTiming timing;     // as the generator plays
    std::string fileName = "generated.des";
};

// A music track of the broadcast where it really is.
struct SeedTrack {
    int number = 0;              // 1, 2, ... as GeneratedMusic counts them
    int64_t startFrame = 0;      // first frame
    int64_t endFrame = 0;        // one past the last frame
    StreamTime start = 0;        // server time of startFrame
    StreamTime end = 0;          // server time of endFrame
    int64_t snippetByte = 0;     // index of the snippet's first byte in the .fgp bytes
    StreamTime snippetTime = 0;  // its server time: start of frame 0 + 10 ms per byte
};

struct SeedResult {
    std::string path;  // the description file written
    std::vector<Description> records;
    bool channelAdded = false;
};

// Empty when the options are usable, else why not (one line).
std::string CheckSeedOptions(const SeedOptions& options);

// Server time of frame `frame` when frame 0 lies at `start`.
StreamTime SeedFrameTime(StreamTime start, int64_t frame);

// The complete music tracks of the first `seconds` seconds, in order, at
// their true places (offsetErrorMs is not applied).
std::vector<SeedTrack> SeedTracks(const SeedOptions& options);

// The .fgp bytes of the generator's first `frames` frames (seed, rate
// kSeedSampleRate, `channels`), one per 10 ms step.
std::vector<uint8_t> GeneratorFingerprintBytes(uint32_t seed, int channels, int64_t frames,
                                               const GeneratorTiming& timing = {});

// The records SeedGeneratorBroadcast writes, in order (options checked by the
// caller).
std::vector<Description> SeedDescriptions(const SeedOptions& options);

// Writes the description file and the channel line. False, with the reason
// in `error` (when given), on unusable options or a file that cannot be
// written; a description file written before a failing channel list stays.
bool SeedGeneratorBroadcast(const SeedOptions& options, std::string* error,
                            SeedResult* result = nullptr);

// "DD/MM/YYYY hh:mm:ss[.mmm]" with one or two blanks between date and time,
// nothing else around it; nothing for any other text or an impossible date.
std::optional<StreamTime> ParseSeedTime(std::string_view text);

}  // namespace wk
