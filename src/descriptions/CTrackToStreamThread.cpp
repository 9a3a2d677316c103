#include "descriptions/CTrackToStreamThread.h"

#include <atomic>
#include <filesystem>
#include <utility>

#include "core/RecordingNotifier.h"
#include "core/Trace.h"
#include "descriptions/DescriptionStore.h"
#include "descriptions/Timeshift.h"
#include "streamstore/StreamInfo.h"

namespace wk {
namespace {

constexpr int kLowestPriority = 19;
std::atomic<MatchedExportHook> g_exportHook{nullptr};

bool ShiftAndMerge(const std::string& exportFolder, DescriptionStore& documentStore,
                   const StreamInfo& stream, const std::string& path, double difference,
                   std::string* why, MergeResult* merged) {
    Trace(kTraceDebug, "CTrackToStreamThread::Run(), beginning timeshift & matching");
    if (!TimeShiftDescriptionFile(stream, path, difference)) {
        Trace(kTraceError, "Timeshift or fingerprint matching failed with %s", path.c_str());
        if (why) *why = "the time shift failed (see \"wavkeep events\")";
        return false;
    }
    const std::filesystem::path p(path);
    DescriptionStore shifted(p.parent_path().string(), p.filename().string());
    if (!shifted.Load()) {
        if (why) *why = "cannot read the shifted file " + path;
        return false;
    }
    // Another process may have changed the stream's file since the document
    // store was read: the merge goes onto what the file holds now.
    std::string reason;
    const bool saved = documentStore.Update(
        [&shifted, merged](DescriptionStore& store) {
            const MergeResult result = store.Merge(shifted, true);
            if (merged) *merged = result;
            return true;
        },
        &reason);
    if (!saved) {
        Trace(kTraceError, "Merged descriptions were not saved: %s", reason.c_str());
        if (why) *why = reason;
        return false;
    }
    RecordingNotifier::Instance().Notify(kEventChunkCompleted);
    (void)exportFolder;  // the export reads the music folder from the configuration
    if (const MatchedExportHook hook = g_exportHook.load()) hook(stream.folder);
    return true;
}

}  // namespace

void SetMatchedExportHook(MatchedExportHook hook) {
    g_exportHook = hook;
}

CTrackToStreamThread::CTrackToStreamThread(std::string exportFolder, DescriptionStore& documentStore,
                                           const StreamInfo& stream, std::string descriptionFile,
                                           double difference)
    : m_exportFolder(std::move(exportFolder)),
      m_documentStore(documentStore),
      m_stream(stream),
      m_descriptionFile(std::move(descriptionFile)),
      m_difference(difference) {}

bool CTrackToStreamThread::RunNow(const std::string& exportFolder, DescriptionStore& documentStore,
                                  const StreamInfo& stream, const std::string& descriptionFile,
                                  double difference, std::string* why, MergeResult* merged) {
    return ShiftAndMerge(exportFolder, documentStore, stream, descriptionFile, difference, why,
                         merged);
}

int CTrackToStreamThread::Run() {
    TraceThreadBegin("track");
    // Best effort: matching is long and must not slow the recording.
    SetPriority(kLowestPriority);
    const bool ok = ShiftAndMerge(m_exportFolder, m_documentStore, m_stream, m_descriptionFile,
                                  m_difference, nullptr, nullptr);
    TraceThreadEnd("track");
    return ok ? 0 : 1;
}

}  // namespace wk
