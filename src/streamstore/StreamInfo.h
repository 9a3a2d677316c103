#pragma once
// What a stream folder holds: its recording sessions and the stretches of
// time their chunks cover, read from the chunk file names (see ChunkName.h).
// All times are stream times (milliseconds, DateTime.h).
//
// A chunk counts with the length its ".dat" side file shows (one byte per
// kMsPerDatByte of audio), at most its place in the name allows, so that the
// short last chunk of a recording counts as long as it is. The one chunk left
// out is the chunk being written: the newest chunk of the session being
// recorded into the folder (RecordedSessionIn), by this process or another.
//
// Threading: none inside. A StreamInfo belongs to one thread; the folder
// functions may run while a recorder adds chunks of its session, which the
// renaming leaves alone.

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/DateTime.h"

namespace wk {

// The recorder writes one ".dat" byte per 10 ms of audio. Chunks hold whole
// encoder blocks, so a side file may show a few bytes less than a whole
// chunk; up to kDatSlackMs short still counts as whole.
inline constexpr int64_t kMsPerDatByte = 10;
inline constexpr int64_t kDatSlackMs = 50;
// Every recorded range carries this code.
inline constexpr int kRecordedRangeCode = 3;

struct StreamInfo;

struct ChunkSpan {
    StreamTime start = 0;
    StreamTime end = 0;
    // The ".dat" side file as the scan saw it, so that a reader can tell
    // whether it changed since (the stream view's wave-form summaries).
    int64_t datBytes = 0;
    int64_t datModifiedNs = 0;
};

// One recording session: chunks sharing a start second.
struct MP3SingleSaving {
    StreamTime start = 0;     // whole seconds
    StreamTime length = 0;    // of one chunk
    StreamTime duration = 0;  // planned length of the session
    const StreamInfo* owner = nullptr;
    std::vector<ChunkSpan> spans;  // ascending start
};

struct StreamInfo {
    std::string folder;
    std::vector<MP3SingleSaving> sessions;  // ascending start, distinct starts
    // The longest time from a session's start to the end of what it covers;
    // lets FindSession skip sessions that end before the time asked for.
    // UpdateStreamInfo sets it; below 0 FindSession checks every session.
    StreamTime maxReach = -1;
};

// A chunk could not be renamed; the folder keeps every file under its old or
// its new name.
class MoveError : public std::runtime_error {
public:
    MoveError() : std::runtime_error("Move error") {}
};

using RecordedRange = std::pair<StreamTime, StreamTime>;

// Rebuilds `info.sessions` from `info.folder` with one scan of the folder.
// The owner pointers point at `info`, so it must not move afterwards.
void UpdateStreamInfo(StreamInfo& info);

struct ChunkNameFields;

// Adds one closed chunk, its side file holding `datBytes`, as
// UpdateStreamInfo would have taken it: into the session with its start
// (a new one in start order when there is none), in order. For a stream
// info kept up to date as chunks complete. False, with nothing added, when
// the side file holds nothing or the number lies absurdly far.
bool AddChunk(StreamInfo& info, const ChunkNameFields& fields, int64_t datBytes, int64_t datModifiedNs);

// The first session (in list order) with start <= t < start + duration whose
// first span begins at or before t and whose last span ends at or after t;
// nullptr when there is none.
const MP3SingleSaving* FindSession(const StreamInfo& info, StreamTime t);

// The 1-based number of the chunk holding t, -1 outside the session.
int ChunkIndexAt(const MP3SingleSaving& session, StreamTime t);

// The path of chunk `number`: ".mp3" when that file exists, ".ogg" otherwise.
std::string ChunkPath(const MP3SingleSaving& session, int number);

// Copies up to `count` bytes of the ".fgp" side files from time t on into
// `buffer`, continuing into the following chunks; returns the number copied.
int ReadSideBytes(const StreamInfo& info, StreamTime t, uint8_t* buffer, int count);

// The stretches covered without a gap, sorted by start (equal starts keep
// their order), and one code (kRecordedRangeCode) for each.
void GetRecordedRanges(const StreamInfo& info, std::vector<RecordedRange>& ranges,
                       std::vector<int>& codes);

// Renumbers sessions that lost chunks so that each run of consecutive chunk
// numbers becomes a session of its own, numbered from 1, starting at its
// first chunk, with the duration its chunks cover. With `sessions` only the
// sessions it names (ChunkSessionName) are renumbered, ".mp3" and ".ogg"
// chunks alike; without, every session of the folder, and only its ".mp3"
// chunks, or its ".ogg" ones when there are no ".mp3" ones. The session
// being recorded (RecordedSessionIn) is always left alone. Throws MoveError
// when a file cannot be renamed.
void ReloadStream(const std::string& folder, const std::set<std::string>* sessions = nullptr);
// Side files a renaming or deletion killed half way left without their audio
// join the chunk that now lies at their place in stream time, or go when none
// does (see ReloadStream, which does it first). The caller holds the streams
// lock.
void RepairChunkSideFiles(const std::string& folder);

// Renames chunks `startNo`..`lastNo` of the session (start, duration,
// length), durations in seconds, to chunks 1.. of the session beginning at
// chunk `startNo`; nothing when that is the session already. The new
// duration is what the run covers: whole chunks, except that a run holding
// the session's planned end ends there. Every rename moves ".mp3" (or
// ".ogg"), ".dat" and ".fgp"; none replaces an existing file. Throws
// MoveError on the first failure.
void CheckSession(const std::string& folder, const DateTime& start, int64_t durationSeconds,
                  int64_t lengthSeconds, int startNo, int lastNo);

// The names (no folder) of the entries in `folder` ending in `extension`
// that are not folders, unsorted; empty when the folder cannot be read.
std::vector<std::string> ListChunkFiles(const std::string& folder, std::string_view extension);

// `folder` + "/" + `name`, with no doubled separator.
std::string FolderFile(const std::string& folder, std::string_view name);

}  // namespace wk
