#pragma once
// The export run: every described, completely recorded track of a stream
// becomes a music file of its own, cut from the chunks (ExportTrack.h),
// tagged, normalised with the rest of its run (MP3, Mp3Normalize.h) and
// moved into the music folder, or its "badcut" folder when the matching
// could not identify the description's songs or the song lacks audio that
// its chunks should have held (a chunk missing, empty or cut short).
//
// Who asks: the playlist download after applying descriptions
// (StartMusicExport: only tracks from the stream's covered-until time on),
// the matching after an import (every complete track), and the manual
// export of the command line (no stream name: covered-until stays).
//
// Only one run at a time in the process: a request made while one runs is
// dropped ("trial to relaunch export thread").
//
// After a run the exported descriptions leave the stream's description file,
// so they are not exported twice. Descriptions that were not exported
// (their audio is not completely recorded yet, or the extraction failed)
// stay for a later run.

#include <memory>
#include <string>
#include <vector>

#include "core/DateTime.h"
#include "core/WorkerThread.h"
#include "descriptions/Description.h"

namespace wk {

class CExportProgress;
class DescriptionStore;

struct ExportEntry {
    StreamTime start = 0;
    StreamTime end = 0;
    std::string name;           // artist + " - " + title, made file-name safe by the run
    Description track;          // a copy: tags and the not-identified flag
};

struct ExportRequest {
    std::vector<ExportEntry> entries;
    std::string streamName;     // empty: covered-until is not touched
    std::string streamFolder;   // where the chunks and desc.des lie
    CExportProgress* progress = nullptr;  // none: nothing shown
};

struct ExportedFile {
    std::string path;           // final place; empty when the extraction failed
    bool badCut = false;        // not identified, or missing audio
    std::string missingAudio;   // what the song lacks (then badCut); "" when whole
    bool movedIntoPlace = false;  // false: left in the temporary folder
    ExportEntry entry;
};

struct ExportRunResult {
    bool ran = false;           // false: another run was busy
    std::vector<ExportedFile> files;
    int normalizeSteps = 0;
    bool normalized = false;
    StreamTime coveredUntil = -1;  // set when a stream's record was updated
    // Why the stream list or the description file could not be updated
    // after the run; empty when they were.
    std::string saveError;
};

// One entry per complete description (coverage 0, see MarkCoverage) of
// `store`; tracks starting before `coveredUntil` are left out when it is
// >= 0. `automatic` requests trace what they take and leave out.
ExportRequest BuildExportRequest(const DescriptionStore& store, const std::string& streamName,
                                 const std::string& streamFolder, StreamTime coveredUntil,
                                 bool automatic);

// The stream's desc.des with each record's coverage by the recording set.
void LoadStreamDescriptions(const std::string& streamFolder, DescriptionStore& store);

// The manual export of one range: one entry whose name and tags come from
// the description found at the range's start (none: "Unknown - Unknown").
ExportRequest BuildRangeExportRequest(const DescriptionStore& store, StreamTime from,
                                      StreamTime to, const std::string& streamFolder);

// The run, on the calling thread.
ExportRunResult RunMusicExport(ExportRequest request);

bool ExportBusy();

// The playlist download's request: the stream's descriptions from its
// covered-until time on, exported on the calling thread. Nothing when
// there is nothing to export or another run is busy.
ExportRunResult StartMusicExport(const std::string& streamName, CExportProgress* progress = nullptr);

// The export on a worker thread of its own, for callers that must not wait.
class CExportThread final : public WorkerThread {
public:
    explicit CExportThread(ExportRequest request);
    const ExportRunResult& Result() const { return m_result; }  // after WaitForEnd

protected:
    int Run() override;

private:
    ExportRequest m_request;
    ExportRunResult m_result;
};

// Lets the matching of an import start the export of the stream it matched
// (the descriptions library cannot see this one).
void InstallMatchingExport();

// The files "*.mp3" and "*.ogg" directly in the music folder.
int CountMusicFiles();
// "&Go to the music directory (%d)" with CountMusicFiles().
std::string MusicDirectoryMenuText();
// Opens the music folder with the desktop's file manager (xdg-open).
bool OpenMusicDirectory();

}  // namespace wk
