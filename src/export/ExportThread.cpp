#include "export/ExportThread.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <system_error>

#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/FileLock.h"
#include "core/FileUtil.h"
#include "core/RecordingNotifier.h"
#include "core/SystemInfo.h"
#include "core/Trace.h"
#include "descriptions/CTrackToStreamThread.h"
#include "descriptions/DescriptionStore.h"
#include "export/ExportProgress.h"
#include "export/ExportTrack.h"
#include "export/Mp3Normalize.h"
#include "export/SongTags.h"
#include "platform/Process.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

std::atomic<bool> g_exportBusy{false};
std::atomic<bool> g_startBuilding{false};

constexpr size_t kEntryNameLimit = 259;

std::string EntryName(const Description& d) {
    std::string name = d.artist;
    name += " - ";
    name += d.title;
    if (name.size() > kEntryNameLimit) name.resize(kEntryNameLimit);
    return name;
}

// Renames without replacing an existing file: a file already at the target
// keeps the new one in the temporary folder.
bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (from.empty() || to.empty()) return false;
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

// The songs a run is moving into place, written (synced) before the first
// move and removed after the descriptions left desc.des: a run killed in
// between is finished by the next, which would otherwise cut the moved songs
// a second time. A header line "stream TAB covered-until TAB stream folder",
// then two lines per song: "temporary path TAB final path" and its
// description.
constexpr const char* kMovingJournal = ".export.moving";

std::string JournalPath(const ExportDirectories& dirs) {
    return dirs.music + "/" + kMovingJournal;
}

bool WriteMovingJournal(const ExportDirectories& dirs, const ExportRequest& request,
                        StreamTime maxEnd, const std::vector<ExportedFile>& files,
                        const std::vector<std::string>& temps,
                        const std::vector<std::string>& targets) {
    std::string text = request.streamName + "\t" + std::to_string(maxEnd) + "\t" +
                       request.streamFolder + "\n";
    for (size_t i = 0; i < files.size(); ++i) {
        if (targets[i].empty()) continue;
        text += temps[i] + "\t" + targets[i] + "\n" + files[i].entry.track.ToLine() + "\n";
    }
    return ReplaceFileContents(JournalPath(dirs), text);
}

// Saves the stream's covered-until time; the reason in result.saveError when
// it cannot.
void SaveCoveredUntil(const std::string& streamName, StreamTime maxEnd, ExportRunResult& result) {
    FileLock lock;
    std::string why;
    StreamNameFile streams;
    if (!lock.AcquireFor(StreamNameFile::FilePath(), FileLock::kDefaultTimeoutMs, &why)) {
        result.saveError = "covered-until not saved: " + why;
    } else {
        streams.load();
        if (StreamRecord* record = streams.Find(streamName)) {
            record->coveredUntil = maxEnd;
            if (streams.save()) {
                result.coveredUntil = maxEnd;
                Trace(kTraceDetail, "Saving last extraction end time %lld for stream %s",
                      static_cast<long long>(maxEnd), streamName.c_str());
            } else {
                result.saveError = "cannot write " + StreamNameFile::FilePath();
            }
        }
    }
    if (!result.saveError.empty()) Trace(kTraceError, "%s", result.saveError.c_str());
}

bool RemoveExported(const std::string& streamFolder, const std::vector<ExportedFile>& files,
                    std::string& why);

// Finishes the moves of a run that was killed while moving its songs into
// place (its journal is there), and takes their descriptions out; the songs
// it put into place.
std::vector<ExportedFile> FinishInterruptedRun(const ExportDirectories& dirs) {
    // A journal being written when the run was killed: its moves never began.
    std::error_code ec;
    const std::string unfinished = std::string(kMovingJournal) + ".new.";
    for (std::filesystem::directory_iterator it(dirs.music, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code removeError;
        if (it->path().filename().string().rfind(unfinished, 0) == 0)
            std::filesystem::remove(it->path(), removeError);
    }
    std::ifstream in(JournalPath(dirs), std::ios::binary);
    std::string header, paths, line;
    if (!in || !std::getline(in, header)) return {};
    const size_t tab1 = header.find('\t'), tab2 = header.find('\t', tab1 + 1);
    if (tab2 == std::string::npos) return {};
    const std::string streamName = header.substr(0, tab1);
    std::vector<ExportedFile> files;
    while (std::getline(in, paths) && std::getline(in, line)) {
        const size_t tab = paths.find('\t');
        if (tab == std::string::npos) continue;
        ExportedFile f;
        const std::string temp = paths.substr(0, tab);
        f.path = paths.substr(tab + 1);
        std::error_code ec;
        f.movedIntoPlace = RenameNoReplace(temp, f.path) || !std::filesystem::exists(temp, ec);
        f.entry.track.FromLine(line);
        f.entry.start = f.entry.track.start;
        f.entry.end = f.entry.track.end;
        Trace(kTraceInfo, "Finishing an interrupted export: %s", f.path.c_str());
        files.push_back(std::move(f));
    }
    ExportRunResult result;
    if (!streamName.empty())
        SaveCoveredUntil(streamName, std::strtoll(header.c_str() + tab1 + 1, nullptr, 10), result);
    std::string why;
    if (RemoveExported(header.substr(tab2 + 1), files, why))
        ::unlink(JournalPath(dirs).c_str());
    else
        Trace(kTraceError, "Exported descriptions stay in the description file: %s", why.c_str());
    std::erase_if(files, [](const ExportedFile& f) { return !f.movedIntoPlace; });
    return files;
}

// Songs in the temporary folder when no run holds it were left by a run that
// was killed before it moved them into place: their descriptions are still
// in desc.des, so the next run cuts them again. Removed so that they neither
// take up space nor push the new songs' names to "_2".
void RemoveInterruptedSongs(const std::string& temp) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(temp, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code typeError;
        if (!it->is_regular_file(typeError)) continue;
        Trace(kTraceInfo, "Removing %s, left by an interrupted export",
              it->path().string().c_str());
        std::filesystem::remove(it->path(), typeError);
    }
}

std::string StreamNameOfFolder(const std::string& folder) {
    std::string f = folder;
    while (f.size() > 1 && f.back() == '/') f.pop_back();
    const auto slash = f.find_last_of('/');
    return slash == std::string::npos ? f : f.substr(slash + 1);
}

// Removes the exported descriptions from the stream's description file, as
// the file holds them now (a download may have merged more meanwhile).
// False, with the reason in `why`, when the file could not be changed.
bool RemoveExported(const std::string& streamFolder, const std::vector<ExportedFile>& files,
                    std::string& why) {
    if (streamFolder.empty() || files.empty()) return true;
    // Looked up by their times, so that a long file costs O(n log n).
    std::multimap<std::pair<StreamTime, StreamTime>, const Description*> exported;
    for (const ExportedFile& f : files) {
        // Kept: a manual export may try again; a song that could not be moved
        // into place is cut again by the next run.
        if (f.path.empty() || !f.movedIntoPlace) continue;
        exported.emplace(std::pair(f.entry.start, f.entry.end), &f.entry.track);
    }
    if (exported.empty()) return true;
    DescriptionStore store(streamFolder, "desc");
    return store.Update(
        [&exported](DescriptionStore& fresh) {
            auto& records = fresh.Records();
            const size_t before = records.size();
            std::erase_if(records, [&](const std::unique_ptr<Description>& d) {
                const auto [first, last] = exported.equal_range(std::pair(d->start, d->end));
                for (auto it = first; it != last; ++it)
                    if (d->SameContent(*it->second)) return true;
                return false;
            });
            return records.size() != before;
        },
        &why);
}

// Writes the long tags, with the run's ReplayGain values, into the songs
// that still wait in the temporary folder: MP3 songs get theirs once the
// normalisation has run, Ogg songs are measured as one album here. A song
// whose tags cannot be written is removed (its path cleared): it is made
// again next time.
void TagRunSongs(const std::vector<ExportedFile>& files, std::vector<std::string>& paths,
                 const NormalizeResult& normalized, const std::string& stream) {
    const std::map<std::string, ReplayGainValues> mp3Gain = ReplayGainAfter(normalized);
    std::vector<std::string> oggPaths;
    for (const std::string& path : paths)
        if (path.size() >= 4 && GetFileExtension(path) == ".ogg") oggPaths.push_back(path);
    const std::vector<std::optional<ReplayGainValues>> oggGain = MeasureOggLoudness(oggPaths);
    size_t ogg = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& path = paths[i];
        if (path.size() < 4) continue;
        SongTags tags = SongTagsFor(files[i].entry.track, stream, files[i].entry.start);
        bool written = true;
        const std::string ext = GetFileExtension(path);
        if (ext == ".mp3") {
            const auto found = mp3Gain.find(path);
            if (found == mp3Gain.end()) continue;  // its tag holds everything else already
            tags.replayGain = found->second;
            written = WriteMp3SongTags(path, tags);
        } else if (ext == ".ogg") {
            tags.replayGain = oggGain[ogg++];
            written = WriteOggSongTags(path, tags);
        }
        if (!written) {
            Report("The tags of " + files[i].entry.name + " could not be written", 0);
            ::unlink(path.c_str());
            paths[i].clear();
        }
    }
}

// Moves the run's songs from the temporary folder to their targets. A song a
// failing disk keeps from its place is removed: it is made again next time,
// its description stays.
void MoveIntoPlace(std::vector<ExportedFile>& files, const std::vector<std::string>& temps,
                   const std::vector<std::string>& targets, const std::string& tempFolder) {
    for (size_t i = 0; i < files.size(); ++i) {
        ExportedFile& file = files[i];
        const std::string& temp = temps[i];
        if (targets[i].empty()) continue;
        if (RenameNoReplace(temp, targets[i])) {
            file.path = targets[i];
            file.movedIntoPlace = true;
        } else if (errno == EEXIST) {
            file.path = temp;
            Trace(kTraceError, "%s could not be moved to %s; it stays in %s", temp.c_str(),
                  targets[i].c_str(), tempFolder.c_str());
        } else {
            Trace(kTraceError, "%s could not be moved to %s: %s", temp.c_str(),
                  targets[i].c_str(), std::strerror(errno));
            ::unlink(temp.c_str());
            file.path.clear();
        }
    }
}

void ExportMatchedStream(const std::string& streamFolder) {
    DescriptionStore store;
    LoadStreamDescriptions(streamFolder, store);
    ExportRequest request =
        BuildExportRequest(store, StreamNameOfFolder(streamFolder), streamFolder, -1, true);
    if (request.entries.empty()) return;
    RunMusicExport(std::move(request));
}

}  // namespace

bool ExportBusy() {
    return g_exportBusy.load();
}

void LoadStreamDescriptions(const std::string& streamFolder, DescriptionStore& store) {
    store.SetFolder(streamFolder);
    store.SetName("desc");
    store.Load();
    StreamInfo info;
    info.folder = streamFolder;
    UpdateStreamInfo(info);
    std::vector<RecordedRange> ranges;
    std::vector<int> codes;
    GetRecordedRanges(info, ranges, codes);
    store.MarkCoverage(ranges);
}

ExportRequest BuildExportRequest(const DescriptionStore& store, const std::string& streamName,
                                 const std::string& streamFolder, StreamTime coveredUntil,
                                 bool automatic) {
    ExportRequest request;
    request.streamName = streamName;
    request.streamFolder = streamFolder;
    if (automatic) Trace(kTraceInfo, "AutoExport active, starting music file(s) export...");
    for (const auto& d : store.Records()) {
        if (d->coverage != kCoverageComplete) {
            if (automatic)
                Trace(kTraceDebug, "Invalid export-entry found: %s - %s", d->artist.c_str(),
                      d->title.c_str());
            continue;
        }
        if (coveredUntil >= 0 && d->start < coveredUntil) continue;
        ExportEntry entry;
        entry.start = d->start;
        entry.end = d->end;
        entry.name = EntryName(*d);
        entry.track = *d;
        if (automatic) Trace(kTraceDebug, "Valid file ready for export: %s", entry.name.c_str());
        request.entries.push_back(std::move(entry));
    }
    return request;
}

ExportRequest BuildRangeExportRequest(const DescriptionStore& store, StreamTime from,
                                      StreamTime to, const std::string& streamFolder) {
    ExportRequest request;
    request.streamFolder = streamFolder;
    ExportEntry entry;
    entry.start = from;
    entry.end = to;
    const Description* found = nullptr;
    for (const auto& d : store.Records()) {
        if (d->start <= from && from < d->end) {
            found = d.get();
            break;
        }
    }
    if (found) {
        entry.track = *found;
    } else {
        entry.track.artist = "Unknown";
        entry.track.title = "Unknown";
    }
    entry.name = EntryName(entry.track);
    request.entries.push_back(std::move(entry));
    return request;
}

ExportRunResult RunMusicExport(ExportRequest request) {
    ExportRunResult result;
    if (g_exportBusy.exchange(true)) {
        Trace(kTraceDebug, "trial to relaunch export thread");
        return result;
    }
    result.ran = true;
    // Cleared however the run ends, so one failed run never blocks the next.
    struct BusyScope {
        ~BusyScope() { g_exportBusy = false; }
    } busy;
    Trace(kTraceDetail, "BEGIN THREAD export (Current Thread ID = 0x%X)", CurrentThreadId());
    SilentExportProgress silent;
    CExportProgress& progress = request.progress ? *request.progress : silent;

    const ExportDirectories dirs = ExportDirectories::FromConfig();
    if (!dirs.Ensure())
        Trace(kTraceError, "export failed because one of the export directories could not be created\n");
    // One run at a time per music folder, across processes too (the daemon
    // and the command line): the holder owns the temporary folder.
    FileLock folderLock;
    std::string why;
    if (!folderLock.AcquireFor(dirs.temp, FileLock::kDefaultTimeoutMs, &why)) {
        Trace(kTraceError, "Export not started: %s", why.c_str());
        result.ran = false;
        return result;
    }
    // What an interrupted run put into place is not cut again.
    for (const ExportedFile& done : FinishInterruptedRun(dirs)) {
        std::erase_if(request.entries, [&done](const ExportEntry& e) {
            return e.start == done.entry.start && e.end == done.entry.end &&
                   e.track.SameContent(done.entry.track);
        });
    }
    RemoveInterruptedSongs(dirs.temp);

    const int n = static_cast<int>(request.entries.size());
    progress.SetFileCount(n);
    Trace(kTraceInfo, "About to export %d file(s)", n);

    ConfigStore config;
    config.Load();
    const bool wavMode = config.GetString("Encoder") == "Wav encoder";
    StreamInfo info;
    info.folder = request.streamFolder;
    UpdateStreamInfo(info);

    StreamTime maxEnd = INT64_MIN;
    std::vector<std::string> toNormalize;
    std::vector<std::string> tempPaths;
    for (int i = 0; i < n; ++i) {
        ExportEntry& entry = request.entries[static_cast<size_t>(i)];
        progress.SetFileIndex(i + 1);
        if (entry.end > maxEnd) maxEnd = entry.end;
        MakeFileNameSafe(entry.name);
        ExportedFile file;
        const std::string path = ExportTrack(info, entry.start, entry.end, entry.name, entry.track,
                                             dirs, wavMode, progress, &file.missingAudio);
        file.entry = entry;
        file.badCut = entry.track.notIdentified;
        if (path.size() < 4) {
            Trace(kTraceDebug, "Export (error ?): [%d] = %s", i, path.c_str());
        } else {
            if (!file.missingAudio.empty()) {
                file.badCut = true;
                const std::string text = "The song " + entry.name + " " + file.missingAudio +
                                         "; it goes to the badcut folder";
                Trace(kTraceError, "%s", text.c_str());
                Report(text, 0);
            }
            Trace(kTraceDebug, "Exported: [%d] = %s", i, path.c_str());
            if (GetFileExtension(path) == ".mp3") toNormalize.push_back(path);
        }
        tempPaths.push_back(path);
        result.files.push_back(std::move(file));
    }

    progress.SetText("Normalizing mp3's...Please wait!");
    NormalizeResult normalized;
    if (!toNormalize.empty()) {
        Trace(kTraceInfo, "Starting mp3 files normalization...");
        int64_t total = 0;
        bool possible = true;
        for (const std::string& path : toNormalize) {
            std::error_code ec;
            const auto size = std::filesystem::file_size(path, ec);
            if (ec) {
                possible = false;
                continue;
            }
            total += static_cast<int64_t>(size);
        }
        if (!possible) Trace(kTraceInfo, "No normalization possible");
        progress.SetRange(0, total);
        if (possible) {
            normalized = NormalizeMp3Files(toNormalize,
                                           [&progress](int64_t bytes) { progress.StepBy(bytes); });
            result.normalized = normalized.analysed && !normalized.corrupt;
            result.normalizeSteps = normalized.steps;
        }
    }

    TagRunSongs(
        result.files, tempPaths, normalized,
        request.streamName.empty() ? StreamOfFolder(request.streamFolder) : request.streamName);

    std::vector<std::string> targets(result.files.size());
    for (size_t i = 0; i < result.files.size(); ++i) {
        const std::string& temp = tempPaths[i];
        if (temp.size() < 4) continue;
        targets[i] = temp;
        if (temp.rfind(dirs.temp, 0) == 0)
            targets[i].replace(0, dirs.temp.size(),
                               result.files[i].badCut ? dirs.badcut : dirs.music);
    }
    const bool journal = WriteMovingJournal(dirs, request, maxEnd, result.files, tempPaths, targets);
    if (!journal) Trace(kTraceError, "The songs are moved into place without a journal");
    MoveIntoPlace(result.files, tempPaths, targets, dirs.temp);
    ::rmdir(dirs.temp.c_str());
    ::rmdir(dirs.badcut.c_str());

    // Only now that the songs are in place: a run killed before would
    // otherwise leave tracks that no later run exports.
    if (!request.streamName.empty() && n > 0) SaveCoveredUntil(request.streamName, maxEnd, result);

    progress.Hide();
    if (!RemoveExported(request.streamFolder, result.files, why)) {
        Trace(kTraceError, "Exported descriptions stay in the description file: %s", why.c_str());
        if (!result.saveError.empty()) result.saveError += "; ";
        result.saveError += "the exported descriptions were not removed: " + why;
    }
    if (journal) ::unlink(JournalPath(dirs).c_str());
    RecordingNotifier::Instance().Notify(kEventChunkCompleted);
    Trace(kTraceInfo, "Exported %d file(s)", n);
    Trace(kTraceDetail, "END THREAD export (Current Thread ID = 0x%X)", CurrentThreadId());
    return result;
}

namespace {

// The playlist download's request, built while no other is being built.
std::optional<ExportRequest> BuildStartRequest(const std::string& streamName) {
    if (g_startBuilding.exchange(true)) {
        Trace(kTraceDebug, "In StartMusicExport(), trial to relaunch extraction, thread not launched");
        return std::nullopt;
    }
    struct BuildingScope {
        ~BuildingScope() { g_startBuilding = false; }
    } building;
    StreamNameFile streams;
    streams.load();
    const StreamRecord* record = streams.Find(streamName);
    if (!record || !StreamNameFile::IsSafeFolderName(streamName)) {
        Trace(kTraceError, "In StartMusicExport(), no stream %s in the stream list",
              streamName.c_str());
        return std::nullopt;
    }
    const std::string folder = StreamNameFile::StreamRoot() + record->name;
    DescriptionStore store;
    LoadStreamDescriptions(folder, store);
    return BuildExportRequest(store, record->name, folder, record->coveredUntil, true);
}

}  // namespace

ExportRunResult StartMusicExport(const std::string& streamName, CExportProgress* progress) {
    std::optional<ExportRequest> request = BuildStartRequest(streamName);
    if (!request) return {};
    if (request->entries.empty()) {
        Trace(kTraceDebug, "In StartMusicExport(), no mp3's for extraction, thread not launched");
        return {};
    }
    request->progress = progress;
    return RunMusicExport(std::move(*request));
}

CExportThread::CExportThread(ExportRequest request) : m_request(std::move(request)) {}

int CExportThread::Run() {
    TraceThreadBegin("export");
    m_result = RunMusicExport(std::move(m_request));
    TraceThreadEnd("export");
    return 0;
}

void InstallMatchingExport() {
    SetMatchedExportHook(&ExportMatchedStream);
}

int CountMusicFiles() {
    ConfigStore config;
    config.Load();
    std::string folder = config.GetString("ExportPath");
    if (folder.empty() || (folder.back() != '/' && folder.back() != '\\')) folder += '/';
    int count = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code typeError;
        if (!it->is_regular_file(typeError)) continue;
        const std::string ext = it->path().extension().string();
        if (ext == ".mp3" || ext == ".ogg") ++count;
    }
    return count;
}

std::string MusicDirectoryMenuText() {
    char text[96];
    std::snprintf(text, sizeof text, "&Go to the music directory (%d)", CountMusicFiles());
    return text;
}

bool OpenMusicDirectory() {
    ConfigStore config;
    config.Load();
    return ShellOpen(config.GetString("ExportPath"));
}

}  // namespace wk
