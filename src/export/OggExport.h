#pragma once
// Cutting tracks out of Ogg Vorbis chunks without re-encoding.
//
// Every chunk is a complete Ogg Vorbis stream whose granule positions count
// samples (44 100 a second) from the chunk's start. The first and last chunk
// of a track are split at a sample position at page and packet level; whole
// chunks in between are copied byte for byte; the pieces follow one another
// in one chained file. In WAV mode every piece is decoded by oggdec and the
// track is written as a WAV file instead.
//
// Threads: the export thread only.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/DateTime.h"
#include "export/OggCut.h"

namespace wk {

class CExportProgress;
struct Description;
struct ExportDirectories;
struct MP3SingleSaving;
struct StreamInfo;

// The sample of t within chunk `chunk` (1-based) of `session`.
int64_t OggCutPoint(const MP3SingleSaving& session, int chunk, StreamTime t);
// OggCutPoint counted from the chunk's first sample where the recorder noted
// it (ChunkStartNote), so that it is a granule position of the chunk.
int64_t NotedOggCutPoint(const MP3SingleSaving& session, int chunk, StreamTime t);

// One piece of a chunk into `out`: from > 0 and from != to keeps the rest
// after `from`; from == to != 0 keeps the beginning up to `to`; from == 0 and
// to > 0 copies bytes [0, to) whole. Anything else writes nothing. The
// discarded half goes to a temporary file in `tempFolder`.
void SaveOggPiece(std::FILE* in, std::FILE* out, int64_t from, int64_t to,
                  const std::string& tempFolder, CExportProgress& progress);

// The oggdec to use: the program home's, else the one on the PATH; "" when
// there is none.
std::string FindOggDecoder();

// `missing` (when given) as for ExportTrack (ExportTrack.h).
std::string ExportOggTrack(const StreamInfo& info, StreamTime start, StreamTime end,
                           const std::string& name, const Description& track,
                           const ExportDirectories& dirs, bool wavMode,
                           CExportProgress& progress, std::string* missing = nullptr);

}  // namespace wk
