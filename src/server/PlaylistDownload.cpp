#include "server/PlaylistDownload.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>

#include "core/ClockDifference.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/PrintableText.h"
#include "core/Trace.h"
#include "core/Translation.h"
#include "descriptions/DescriptionStore.h"
#include "export/ExportThread.h"
#include "descriptions/Timeshift.h"
#include "platform/HttpClient.h"
#include "server/AppliedDesIds.h"
#include "server/TimeCheck.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

constexpr const char* kThreadName = "playlist";
// A server message is traced, but a hostile one-line answer must not fill
// the trace.
constexpr size_t kTracedAnswerChars = 200;

std::atomic<bool> g_busy{false};

// Every way out of a run clears the busy flag and writes the end line.
class RunScope {
public:
    RunScope() { TraceThreadBegin(kThreadName); }
    ~RunScope() {
        TraceThreadEnd(kThreadName);
        g_busy = false;
    }
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;
};

bool WriteAnswer(const std::string& path, const std::vector<std::string>& lines) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const auto& line : lines) {
        out.write(line.data(), static_cast<std::streamsize>(line.size()));
        out.write("\r\n", 2);
    }
    out.close();
    return static_cast<bool>(out);
}

// Lines that are no records read as blank ones (times 0); they would only
// clutter the stream's store.
void DropBlankRecords(DescriptionStore& store) {
    auto& records = store.Records();
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [](const std::unique_ptr<Description>& d) {
                                     return d->end <= d->start;
                                 }),
                  records.end());
}

}  // namespace

void ApplyPlaylistAnswer(const std::vector<std::string>& lines, PlaylistAnswerContext& c) {
    if (lines.empty()) {
        Trace(kTraceDebug,
              "ParsePlaylistReqResult(): unknown error situation detected!?! (empty result)");
        ++c.result.notDescriptions;
        return;
    }
    if (lines[0].empty() || lines[0][0] != '#') {
        const std::string shown = ScreenLine(lines[0], kTracedAnswerChars);
        Trace(kTraceInfo, "ParsePlaylistReqResult(): server answered \"%s\", nothing will be done.",
              shown.c_str());
        ++c.result.notDescriptions;
        return;
    }

    const std::string path = FolderFile(c.folder, kRawDownloadName);
    uint32_t id = 0;
    if (!WriteAnswer(path, lines) || !DescriptionFileId(path, id)) {
        Trace(kTraceError, "Cannot store the downloaded description file %s", path.c_str());
        std::remove(path.c_str());
        ++c.result.failed;
        return;
    }
    if (c.ids.Contains(id)) {
        std::remove(path.c_str());
        Trace(kTraceInfo, "Description file with id = %X was already applied, skipping / deleting.",
              id);
        ++c.result.skipped;
        return;
    }
    Trace(kTraceInfo, "NEW Description file with id = %X, processing it.", id);
    // What the file describes before the shift: the identifier is recorded
    // only when all of it arrives in the store.
    DescriptionStore served(c.folder, kRawDownloadName);
    served.Load();
    DropBlankRecords(served);
    if (!IsPlausibleClockDifference(c.difference) ||
        !TimeShiftDescriptionFile(c.info, path, c.difference)) {
        Trace(kTraceError, "Timeshift or fingerprint matching failed with %s", path.c_str());
        // The answer comes again next time: its shifted copy goes too.
        std::remove(path.c_str());
        std::remove((path + "tmp").c_str());
        ++c.result.failed;
        return;
    }
    DescriptionStore downloaded(c.folder, kRawDownloadName);
    const bool loaded = downloaded.Load();
    std::remove(path.c_str());
    if (!loaded) {
        Trace(kTraceError, "Cannot read the shifted description file %s", path.c_str());
        ++c.result.failed;
        return;
    }
    DropBlankRecords(downloaded);
    // Records past the per-file limit are left out on purpose (and noted):
    // such a file still counts as applied, or it would come back every time.
    const size_t expected = std::min(served.Size(), kMaxMergedRecords);
    if (downloaded.Size() < expected) {
        Trace(kTraceError, "%zu of %zu descriptions of %X lost in the shift; not applied",
              expected - downloaded.Size(), expected, id);
        ++c.result.failed;
        return;
    }
    // Onto what the file holds now, under its lock: a command run from a shell
    // may have changed it since the last answer. The identifier is recorded
    // only once the merge is on disk, so an answer lost to a failed save is
    // applied again next time.
    std::string why;
    const bool saved = c.store.Update(
        [&downloaded](DescriptionStore& store) {
            store.Merge(downloaded, true);
            return true;
        },
        &why);
    if (!saved) {
        Trace(kTraceError, "The downloaded descriptions were not saved: %s", why.c_str());
        ++c.result.failed;
        return;
    }
    // Merged, but applied again next time (a merge of the same file changes
    // nothing): the run failed all the same.
    if (!c.ids.Record(id)) {
        Trace(kTraceError, "Description file %X was merged, but AppliedDesIDs.dat could not be saved", id);
        ++c.result.failed;
        return;
    }
    c.result.appliedIds.push_back(id);
    ++c.result.applied;
}

std::vector<PlaylistStretch> PlaylistRequestStretches(
    const std::vector<std::pair<StreamTime, StreamTime>>& parts, StreamTime covered) {
    std::vector<PlaylistStretch> stretches;
    for (const auto& [partStart, partEnd] : parts) {
        Trace(kTraceInfo, "##CUT4 Iterating one stream part");
        if (partEnd <= covered) continue;
        StreamTime start = partStart;
        const StreamTime end = partEnd;
        if (start < covered) {
            Trace(kTraceDetail, "Correcting request start time from %lld to %lld",
                  static_cast<long long>(start), static_cast<long long>(covered));
            start = covered;
        }
        if (end - start <= 0) {
            Trace(kTraceInfo, "No playlist required, skipping HTTP request.");
            continue;
        }
        stretches.emplace_back(start - kPlaylistMarginMs, end + kPlaylistMarginMs);
    }
    return stretches;
}

StreamTime ToServerTime(StreamTime t, double difference) {
    return static_cast<StreamTime>(static_cast<double>(t) + difference * 1000.0);
}

std::vector<std::pair<std::string, std::string>> PlaylistFormFields(
    const std::string& streamName, int sourceType, const PlaylistStretch& stretch,
    double difference) {
    const std::string start =
        DateTime::FromStreamTime(ToServerTime(stretch.first, difference)).LongText();
    const std::string end =
        DateTime::FromStreamTime(ToServerTime(stretch.second, difference)).LongText();
    return {{"lang", "german"},        {"country", "49"},   {"a", "dofp"},
            {"timestampstart", start}, {"timestampend", end}, {"srcname", streamName},
            {"srctype", std::to_string(sourceType)}};
}

PlaylistDownloadResult RunPlaylistDownload(HttpClient& http, const std::string& streamName) {
    PlaylistDownloadResult result;
    bool idle = false;
    if (!g_busy.compare_exchange_strong(idle, true)) {
        Trace(kTraceDebug, "Playlist request while working playlist request");
        return result;
    }
    RunScope scope;

    ConfigStore config;
    config.Load();
    const TimeCheckResult check = RunAutoTimeCheck(http, config.GetString("TimeCheckURL"));
    if (!check.ok || !IsPlausibleClockDifference(check.difference)) {
        ReportId(kStrTimecheckPlaylistFailed);
        result.status = PlaylistStatus::kTimeCheckFailed;
        return result;
    }
    result.difference = check.difference;
    StoreTimeDifference(check.difference);
    Trace(kTraceInfo, "Launching PlayList Download");

    const std::string url = config.GetString("UploadURL");
    Trace(kTraceInfo, "##CUT1 Having stream %s", streamName.c_str());
    StreamNameFile list;
    list.load();
    const StreamRecord* found = list.Find(streamName);
    if (found == nullptr) {
        Trace(kTraceError, "NOT Launching PlayList Download, unknow stream %s !!!",
              streamName.c_str());
        result.status = PlaylistStatus::kUnknownStream;
        return result;
    }
    const StreamRecord stream = *found;
    Trace(kTraceInfo, "##CUT2 Having stream info for %s", stream.name.c_str());
    const StreamTime covered = stream.coveredUntil;
    result.coveredUntil = covered;

    StreamInfo info;
    info.folder = StreamNameFile::StreamRoot() + stream.name;
    UpdateStreamInfo(info);
    std::vector<RecordedRange> ranges;
    std::vector<int> codes;
    GetRecordedRanges(info, ranges, codes);
    Trace(kTraceInfo, "##CUT3 Before iterating stream parts");

    std::vector<std::vector<std::string>> answers;
    for (const PlaylistStretch& stretch : PlaylistRequestStretches(ranges, covered)) {
        HttpForm form;
        for (auto& [name, value] : PlaylistFormFields(stream.name, stream.sourceType, stretch,
                                                      check.difference))
            form.Add(std::move(name), std::move(value));
        const std::string body = form.Encode();
        Trace(kTraceDebug, "PlayList Request POST data: %s", body.c_str());
        HttpResult answer = http.PostForm(url, form);
        ++result.requests;
        if (answer.outcome != HttpResult::Outcome::kOk || answer.status != 200) {
            Trace(kTraceError, "Playlist request failed: status %d %s", answer.status,
                  answer.error.c_str());
            ReportId(kStrPlaylistDownloadFailed);
            result.status = PlaylistStatus::kRequestFailed;
            return result;
        }
        answers.push_back(std::move(answer.lines));
    }
    Trace(kTraceInfo, "##CUT5 Having iterated completed all parts of %s", stream.name.c_str());
    if (answers.empty()) {
        ReportId(kStrNoPlaylistForStream);
        result.status = PlaylistStatus::kNoRequest;
        return result;
    }
    Trace(kTraceDebug, "Thread priority set to LOW, starting export.");

    AppliedDesIds ids;
    ids.Load();
    DescriptionStore store(info.folder, "desc");
    store.SetStreamInfo(&info);
    PlaylistAnswerContext context{info.folder, info, check.difference, ids, store, result};
    for (size_t i = 0; i < answers.size(); ++i) {
        Trace(kTraceDebug, "---- Parsing playlist request result [%d]...", static_cast<int>(i));
        ApplyPlaylistAnswer(answers[i], context);
    }

    // Whatever the applied descriptions describe completely is exported now;
    // the export moves the stream's covered-until time on.
    const ExportRunResult exported = StartMusicExport(stream.name);
    for (const ExportedFile& file : exported.files) {
        if (file.movedIntoPlace) ++result.exported;
        if (file.path.empty()) ++result.exportFailed;
    }
    result.exportError = exported.saveError;
    if (exported.coveredUntil >= 0) result.coveredUntil = exported.coveredUntil;
    result.exportedFiles = exported.files;

    ReportId(kStrPlaylistDownloaded);
    result.status = PlaylistStatus::kDownloaded;
    return result;
}

}  // namespace wk
