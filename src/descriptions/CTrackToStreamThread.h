#pragma once
// Moves a downloaded description file onto the stream's recording (see
// Timeshift.h) and merges its descriptions into the stream's document store,
// replacing those they overlap, then saves that store and announces the
// change (notifier code 8).
//
// The document store is re-read under the stream file's lock and the merge
// applied to what the file holds then (DescriptionStore::Update), so changes
// other processes made in between are kept.
//
// As a worker: the owner must not touch the document store, the stream info
// or the description file until the run has ended (WaitForEnd). The run's
// result is 0 when the descriptions were merged and saved, 1 otherwise.
// RunNow does the same work on the caller's thread (the command line uses
// it).

#include <string>

#include "core/WorkerThread.h"

namespace wk {

class DescriptionStore;
struct MergeResult;
struct StreamInfo;

// Runs after every successful merge with the stream's folder: the export of
// what the matched descriptions describe. Installed by the export library
// (InstallMatchingExport); none installed: nothing is exported.
using MatchedExportHook = void (*)(const std::string& streamFolder);
void SetMatchedExportHook(MatchedExportHook hook);

class CTrackToStreamThread : public WorkerThread {
public:
    CTrackToStreamThread(std::string exportFolder, DescriptionStore& documentStore,
                         const StreamInfo& stream, std::string descriptionFile, double difference);

    // True when the time shift succeeded and the merged descriptions were
    // saved (what the merge did in `merged`); otherwise false with the
    // reason in `why`.
    static bool RunNow(const std::string& exportFolder, DescriptionStore& documentStore,
                       const StreamInfo& stream, const std::string& descriptionFile,
                       double difference, std::string* why = nullptr,
                       MergeResult* merged = nullptr);

protected:
    int Run() override;

private:
    std::string m_exportFolder;
    DescriptionStore& m_documentStore;
    const StreamInfo& m_stream;
    std::string m_descriptionFile;
    double m_difference;
};

}  // namespace wk
