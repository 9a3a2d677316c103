#pragma once
// A counter of the changes to the chunk files of a program home other than
// a recorder adding chunks: every deletion and renumbering, in any stream
// folder, moves it on. A reader that noted it before reading a folder can
// tell with one small read whether what it read still holds, apart from
// chunks added since (the stream view's incremental update).
//
// The counter is the home's "streams.generation" file, replaced whole on
// each change, so it is never seen half written. Changers hold the streams
// lock (RecordingMarker.h), so no two increments race.
//
// Threading: any thread.

#include <cstdint>

namespace wk {

inline constexpr const char* kStreamsGenerationFile = "streams.generation";

// The counter; 0 when no change was ever noted.
uint64_t StreamsGeneration();

// Moves the counter on; called after chunk files were deleted or renamed,
// with the streams lock held.
void NoteStreamsChanged();

}  // namespace wk
