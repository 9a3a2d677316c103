#pragma once
// Where a chunk's audio really begins, noted by the recorder in a small text
// file beside the chunk (base + ".pos"). A chunk is named after its nominal
// start (session start + (number - 1) x chunk length), but its audio does not
// begin there: the cut falls on a whole encoder block, and an MP3 chunk's
// first frame carries audio from before the cut (the encoder's delay and the
// samples it held). Chunks recorded without the note simply have none, and
// readers fall back to the nominal start.
//
// Threads: any; the note is written once, when the recorder learns it.

#include <cstdint>
#include <optional>
#include <string>

namespace wk {

inline constexpr const char* kChunkNoteExtension = ".pos";

struct ChunkStartNote {
    // MP3: the offset of the first frame header that begins in the chunk
    // file; -1 for an Ogg chunk, whose stream starts at byte 0.
    int64_t firstFrameByte = -1;
    // Sample frames from the nominal start to the first sample of that
    // frame's audio (MP3, the encoder's delay taken off) or of the chunk's
    // stream (Ogg, granule 0); negative when it lies before.
    int64_t firstSample = 0;
    int sampleRate = 44100;
};

// Writes base + ".pos"; false (with a trace line) when it cannot.
bool WriteChunkStartNote(const std::string& base, const ChunkStartNote& note);

// The note of the chunk whose audio file is `chunkPath` (".mp3" or ".ogg");
// nothing when there is none or it cannot be read whole.
std::optional<ChunkStartNote> ReadChunkStartNote(const std::string& chunkPath);

}  // namespace wk
