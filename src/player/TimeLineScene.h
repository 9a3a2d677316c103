#pragma once
// What the stream view's time line shows besides its model (TimeLine.h):
// the recorded stretches, the chunk being recorded, the descriptions and
// the wave form, with the view's marks and colours. Plain data, filled by
// StreamViewData and the view, read by the renderer.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/ConfigStore.h"
#include "core/DateTime.h"
#include "streamstore/StreamInfo.h"

namespace wk {

class StreamWaveform;

struct TimeLineBar {
    StreamTime start = 0;
    StreamTime end = 0;
    std::string label;  // "artist - title", printable
    int coverage = 2;   // kCoverageComplete, kCoveragePartial, kCoverageMissing
    bool notIdentified = false;
};

struct TimeLineScene {
    std::vector<RecordedRange> recorded;   // ascending; closed chunks only
    std::optional<RecordedRange> growing;  // the chunk being recorded
    std::vector<TimeLineBar> bars;         // in the description list's order
    const StreamWaveform* wave = nullptr;  // none: no wave form drawn
    // Set anew by the owner on every change of the above (and never
    // reused), so that a renderer may keep its picture while it stays;
    // 0: the renderer draws it afresh every time.
    uint64_t stamp = 0;
};

// The view's own marks (manual marking): the cursor, and the pending range
// from the mark start to the cursor while a mark is open. The highlighted
// range lives in the TimeLine.
struct TimeLineMarks {
    bool cursorShown = true;
    bool markingShown = false;
    StreamTime markStart = 0;
};

struct TimeLineColors {
    RgbColor record;      // recorded stretches ("RecordColor")
    RgbColor wave;        // the wave form ("WaveColor")
    RgbColor background;  // the view ("BckgrdColor")
};

// "r,g,b" of a colour key read strictly: three decimal numbers 0..255,
// blanks around them allowed. Anything else (empty, missing, out of range,
// not a number) gives the built-in colour, with a trace line when a value
// was given.
RgbColor ReadColorKey(const ConfigStore& config, const std::string& key);
TimeLineColors ReadTimeLineColors(const ConfigStore& config);

}  // namespace wk
