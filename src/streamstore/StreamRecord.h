#pragma once
// One stream: a named source of broadcast music the program records into a
// folder of the same name under the stream root.

#include <cstdint>
#include <string>

namespace wk {

inline constexpr int32_t kSourceRadio = 1;
inline constexpr int32_t kSourceMusicTv = 2;

struct StreamRecord {
    std::string name;
    int32_t sourceType = kSourceRadio;  // kSourceRadio or kSourceMusicTv
    // The tuner's V4L2 frequency number (see Tuner.h for its unit).
    int32_t tunerChannel = 1;
    int32_t silenceMinimum = 0;      // seconds of silence that separate tracks
    int32_t silenceSensitivity = 0;
    int32_t shortestTrack = 0;       // seconds
    int32_t longestTrack = 0;        // seconds
    int32_t serviceNumber = 0;       // the stream's number at the web service
    int32_t active = 0;              // 1 when the stream is recorded
    int64_t coveredUntil = 0;        // a 64-bit time mark, 0 when there is none

    bool operator==(const StreamRecord&) const = default;
};

}  // namespace wk
