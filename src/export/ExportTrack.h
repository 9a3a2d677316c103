#pragma once
// Cutting one described track out of a stream's chunk files.
//
// MP3 chunks are cut without decoding: the start and end become nominal byte
// offsets (frame number x frame length), the first chunk is searched forward
// from its offset for the next frame header, the bytes up to the end offset
// are copied, chunks in between whole, after an ID3v2.4 tag (SongTags.h);
// an ID3v1 tag is appended. Ogg Vorbis
// chunks are handed to ExportOggTrack (OggExport.h).
//
// Threads: the export thread only (one export at a time); the frame sync
// window is per call of ExportTrack, carried through its pieces.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/DateTime.h"

namespace wk {

class CExportProgress;
struct Description;
struct MP3SingleSaving;
struct StreamInfo;

// The music folder ("ExportPath"), its "temp" and its "badcut" folders.
struct ExportDirectories {
    std::string music;
    std::string temp;
    std::string badcut;

    static ExportDirectories ForMusicFolder(const std::string& music);
    // From the configuration's "ExportPath" (its default when absent).
    static ExportDirectories FromConfig();
    // Each created (one level) when missing; false when any is still missing.
    bool Ensure() const;
};

// Frames per millisecond of 1152-sample frames at 44 100 Hz, one unit in the
// last place below 0.03828125 (the value the frame numbers have always used).
inline constexpr double kMp3FramesPerMs = 0.038281249999999996;

// Bitrate (MPEG-1 Layer III table) x 144000 / 44100 of the first confirmed
// frame header in the file (two more headers of the same stream follow it,
// or the file ends first): 417 at 128 kbit/s. -1 when the file cannot be
// read or holds no such header.
int64_t GetMp3FrameLength(const std::string& chunkPath);

// The frame of `t` within chunk `chunk` (1-based) of `session`.
int64_t Mp3FrameNumber(const MP3SingleSaving& session, int chunk, StreamTime t);

// Carries the frame-header search of CopyMp3Range from piece to piece of one
// track: only the first piece is searched.
struct Mp3SyncWindow {
    std::array<uint8_t, 4> bytes{};
    bool synced = false;
};

// Copies [from, to) of `in` to `out`, the progress stepping by at most 2048
// bytes at a time; while `sync` is not synced, first reads forward from
// `from` to the next confirmed frame header and writes it (then StepBy(4)). A failing seek reports
// "Error saving..." to the event log and copies nothing. Stops at the end of
// the input. Returns the bytes written.
int64_t CopyMp3Range(std::FILE* in, std::FILE* out, int64_t from, int64_t to,
                     Mp3SyncWindow& sync, CExportProgress& progress);

// Creates (or empties) a file of the export for writing, never through a
// symbolic link planted at `path`; nullptr when it cannot be made.
std::FILE* CreateExportFile(const std::string& path);

// `name` + `extension` in the music folder, or name_2, name_3... when a file
// (not a folder) of that name is there: only the music folder is consulted
// for the first name, and any entry counts for the numbered ones.
std::string CollisionFreeName(const std::string& musicFolder, const std::string& name,
                              const std::string& extension);

// `name` + `extension` as CollisionFreeName finds it, where in addition an
// entry of the temporary folder (a result waiting for its move) takes a
// name: two tracks of one run with the same name, or a result left from an
// earlier run, are kept apart.
std::string FreeExportName(const ExportDirectories& dirs, const std::string& name,
                           const std::string& extension);

// The stream whose chunks lie in `folder`: the folder's own name.
std::string StreamOfFolder(const std::string& folder);

// The number of the last chunk the session has on disk, 0 when none.
int LastRecordedChunk(const MP3SingleSaving& session);

// What one chunk of a track was to give and gave: a song that misses audio
// (a chunk missing, empty or cut short) must not pass for a good one.
struct PieceAudio {
    int chunk = 0;
    int64_t wantedMs = 0;      // the track's stretch within the chunk
    int64_t gotMs = 0;         // the audio taken from it
    bool unreadable = false;   // the chunk file could not be opened
};

// The track's stretch within chunk `number` of the session, in ms.
int64_t TrackMsInChunk(const MP3SingleSaving& session, int number, StreamTime start,
                       StreamTime end);

// "" when every piece gave its audio (a few frames either way are the
// cutting's own), else what the song lacks, for example
// "lacks 10.0 s of audio (chunk 5 cannot be read)".
std::string MissingAudio(const std::vector<PieceAudio>& pieces);

// Extracts the track [start, end) of the stream into dirs.temp and returns
// the created file's path, or "" on failure (with the trace and event lines
// of each case). `name` must be file-name safe already. `wavMode`: Ogg
// chunks are decoded into a WAV file ("Encoder" is "Wav encoder").
// `missing` (when given) receives MissingAudio of the track's pieces for a
// file that was made: "" when it holds all its audio.
std::string ExportTrack(const StreamInfo& info, StreamTime start, StreamTime end,
                        const std::string& name, const Description& track,
                        const ExportDirectories& dirs, bool wavMode,
                        CExportProgress& progress, std::string* missing = nullptr);

}  // namespace wk
