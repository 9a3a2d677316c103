#pragma once
// The playlist download: for every stretch of a stream recorded after its
// covered-until time, ask the web service for the description file of what
// the channel played, and put each new answer onto the recording.
//
// One run, synchronous, on the caller's thread:
//  1. the automatic time check (TimeCheck.h) against "TimeCheckURL";
//  2. one form post to "UploadURL" per recorded stretch ending after the
//     stream's covered-until time (start clipped to it), widened by
//     kPlaylistMarginMs on each side and moved onto the server's clock;
//     any request not answered with status 200 ends the run and drops the
//     answers gathered so far;
//  3. each answer whose first line begins with '#' is written to the stream
//     folder's "raw_downloaded.des", identified (AppliedDesIds.h), skipped
//     when applied before, else time-shifted and matched onto the recording
//     and merged (replacing) into the stream's "desc.des"; its identifier is
//     recorded only when that worked, so a failed one is tried again later;
//  4. the export (StartMusicExport) of the complete tracks from the stream's
//     covered-until time on, which moves covered-until to their latest end.
//
// Reports go to the event log silently (style 0). Only one run at a time:
// a run started while another is busy returns kBusy at once.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/DateTime.h"
#include "export/ExportThread.h"

namespace wk {

class HttpClient;
class AppliedDesIds;
class DescriptionStore;
struct StreamInfo;

inline constexpr StreamTime kPlaylistMarginMs = 120000;
inline constexpr const char* kRawDownloadName = "raw_downloaded.des";

enum class PlaylistStatus {
    kBusy,             // another run is active; nothing done
    kTimeCheckFailed,  // 61479 reported
    kUnknownStream,    // not in the stream list; trace only
    kRequestFailed,    // 61436 reported
    kNoRequest,        // nothing to ask for: 61454 reported
    kDownloaded,       // answers evaluated: 61435 reported
};

struct PlaylistDownloadResult {
    PlaylistStatus status = PlaylistStatus::kBusy;
    double difference = 0;    // seconds, server minus local
    int requests = 0;         // form posts sent
    int notDescriptions = 0;  // answers that were empty or a server message
    int applied = 0;          // new description files merged
    int skipped = 0;          // description files applied before
    int failed = 0;           // description files the timeshift refused
    std::vector<uint32_t> appliedIds;
    int exported = 0;         // music files the export put into place
    int exportFailed = 0;     // tracks the export could not make
    std::string exportError;  // what the export could not save afterwards; "" when all
    std::vector<ExportedFile> exportedFiles;  // every track the export took, failures too
    StreamTime coveredUntil = 0;  // the stream's covered-until after the run
};

// A stretch to ask for, in local stream time, margin included.
using PlaylistStretch = std::pair<StreamTime, StreamTime>;

// The stretches for the recorded `parts` (in the stream's order) past
// `covered`: parts ending at or before it are left out, a start before it is
// moved up to it, what is left empty is left out, and the margin is added.
std::vector<PlaylistStretch> PlaylistRequestStretches(
    const std::vector<std::pair<StreamTime, StreamTime>>& parts, StreamTime covered);

// t moved onto the server's clock: t + difference * 1000, truncated toward 0.
StreamTime ToServerTime(StreamTime t, double difference);

// The form fields of one request, in order: lang, country, a=dofp,
// timestampstart, timestampend (server time, "DD/MM/YYYY  hh:mm:ss.mmm"),
// srcname, srctype.
std::vector<std::pair<std::string, std::string>> PlaylistFormFields(
    const std::string& streamName, int sourceType, const PlaylistStretch& stretch,
    double difference);

// What one answer is applied to: the stream's folder (the answer passes
// through its kRawDownloadName), its recording, the clock difference, the
// applied identifiers and the stream's description store; counts go to
// `result`.
struct PlaylistAnswerContext {
    const std::string& folder;
    const StreamInfo& info;
    double difference;
    AppliedDesIds& ids;
    DescriptionStore& store;
    PlaylistDownloadResult& result;
};

// Step 3 above for one answer's lines.
void ApplyPlaylistAnswer(const std::vector<std::string>& lines, PlaylistAnswerContext& c);

PlaylistDownloadResult RunPlaylistDownload(HttpClient& http, const std::string& streamName);

}  // namespace wk
