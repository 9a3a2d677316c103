#pragma once
// Chunk file names: "YYYY_MM_DD_hh_mm_ss_<duration>_<length>_<number>" plus
// ".mp3" or ".ogg": the session's start (local wall clock, to the second), its
// planned duration and its chunk length in whole seconds, and the chunk's
// position in the session from 1. The side files share the name with ".dat"
// and ".fgp".

#include <string>

#include "core/DateTime.h"

namespace wk {

// Fields 1 to 8 joined by underscores, no trailing underscore: the session
// prefix ("2003_11_07_17_42_11_3600_300").
std::string ChunkSessionName(const DateTime& start, long long durationSeconds,
                             long long lengthSeconds);
// The whole name without extension: session name + "_" + number.
std::string ChunkBaseName(const DateTime& start, long long durationSeconds,
                          long long lengthSeconds, int number);

// The session being recorded now (its session name), empty when none is.
// Renumbering leaves chunks with this prefix alone. Any thread.
std::string CurrentSessionPrefix();
void SetCurrentSessionPrefix(const std::string& prefix);

}  // namespace wk
