#pragma once
// Chunk file names: "YYYY_MM_DD_hh_mm_ss_<duration>_<length>_<number>" plus
// ".mp3" or ".ogg": the session's start (local wall clock, to the second), its
// planned duration and its chunk length in whole seconds, and the chunk's
// position in the session from 1. The side files share the name with ".dat"
// and ".fgp".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/DateTime.h"

namespace wk {

// Fields 1 to 8 joined by underscores, no trailing underscore: the session
// prefix ("2003_11_07_17_42_11_3600_300").
std::string ChunkSessionName(const DateTime& start, long long durationSeconds,
                             long long lengthSeconds);
// The whole name without extension: session name + "_" + number.
std::string ChunkBaseName(const DateTime& start, long long durationSeconds, long long lengthSeconds,
                          int number);

// What a chunk name says.
struct ChunkNameFields {
    DateTime start;          // whole seconds
    int64_t durationMs = 0;  // >= 1000
    int64_t lengthMs = 0;    // >= 1000
    int number = 0;          // >= 1
};

// Reads a chunk file name without folder; the third number must be followed
// by a '.' (the extension is not looked at). Names come from a folder anyone can
// write into, so every field is checked: nullopt for a short name, a
// non-digit or missing separator in the date, an empty or non-decimal
// number, a date-time DateTime rejects or an hour of 24, a duration,
// length or number of 0, a duration or length above INT_MAX seconds, a
// number above INT_MAX, and a chunk that would begin more than INT_MAX
// seconds after its session's start. Within those bounds no later
// arithmetic on stream times can overflow.
std::optional<ChunkNameFields> ParseChunkName(std::string_view name);

// Whether `name` belongs to the session `sessionPrefix` names: it begins
// with the prefix and the prefix ends a field there, so "..._3600_300"
// does not claim the chunks of "..._3600_3000". An empty prefix claims nothing.
bool BelongsToSession(std::string_view name, std::string_view sessionPrefix);

// The session this process records now (its session name), empty when none
// is, and the stream folder it records into (empty: any folder). Other
// processes learn of it through RecordingMarker.h; RecordedSessionIn there
// answers for both. Any thread.
std::string CurrentSessionPrefix(std::string* folder = nullptr);
void SetCurrentSessionPrefix(const std::string& prefix, const std::string& folder = "");

// The chunk length a "SingleFileLength" text gives: whole seconds, at most
// INT_MAX so that chunk names can be read back; nullopt for anything else
// (0, a sign, blanks, letters).
std::optional<int> ParseChunkSeconds(std::string_view text);
// Why a "SingleFileLength" text ParseChunkSeconds refuses cannot be used.
std::string ChunkLengthRefusal(std::string_view text);

}  // namespace wk
