#include "streamstore/DiskSpaceManager.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string_view>
#include <utility>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/FileLock.h"
#include "core/Trace.h"
#include "core/Translation.h"
#include "platform/FileSystemInfo.h"
#include "streamstore/ChunkName.h"
#include "streamstore/ChunkStartNote.h"
#include "streamstore/RecordingMarker.h"
#include "streamstore/StreamNameFile.h"
#include "streamstore/StreamsGeneration.h"

namespace wk {
namespace {

constexpr const char* kAllowanceKey = "DiskSpace";
constexpr std::string_view kMp3 = ".mp3";
constexpr std::string_view kOgg = ".ogg";
constexpr size_t kExtensionLength = 4;

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() > end.size() && text.substr(text.size() - end.size()) == end;
}

bool IsAudioName(std::string_view name) {
    return EndsWith(name, kMp3) || EndsWith(name, kOgg);
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
    uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    std::string path = folder;
    path += '/';
    path += name;
    return path;
}

// Calls fn(name, facts) for each audio chunk of `folder`: one pass over the
// directory, one stat call per chunk. A missing folder has no chunks.
template <typename Fn>
void ScanFolder(const std::string& folder, bool wantAge, Fn&& fn) {
    if (!ScanRegularFiles(folder, wantAge, IsAudioName, fn) && errno != ENOENT)
        Trace(kTraceError, "DiskSpaceManager: cannot read the folder \"%s\" (errno %d)",
              folder.c_str(), errno);
}

// Calls fn(index, folder) once for every stream that names one folder
// inside the root. Unsafe names (".." would reach the root's parent) and
// repeated names are skipped; an empty root has no streams, as its folders
// would otherwise land at the top of the file system.
template <typename Fn>
void ForEachStreamFolder(const std::string& root, const std::vector<std::string>& names, Fn&& fn) {
    if (root.empty()) return;
    std::set<std::string_view> seen;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!StreamNameFile::IsSafeFolderName(names[i]) || !seen.insert(names[i]).second) continue;
        fn(i, JoinPath(root, names[i]));
    }
}

bool IsOgg(const std::string& name) {
    return EndsWith(name, kOgg);
}

std::string_view SessionKey(const ChunkFile& file) {
    return std::string_view(file.name).substr(0, DiskSpaceManager::kSessionKeyLength);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Digit runs compare by value, so that equal ages keep chunk 2 before chunk
// 10. Names alike in this sense ("01", "1") fall back to plain order.
bool NaturalLess(std::string_view a, std::string_view b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            size_t aEnd = i;
            size_t bEnd = j;
            while (aEnd < a.size() && IsDigit(a[aEnd])) ++aEnd;
            while (bEnd < b.size() && IsDigit(b[bEnd])) ++bEnd;
            while (i + 1 < aEnd && a[i] == '0') ++i;
            while (j + 1 < bEnd && b[j] == '0') ++j;
            if (aEnd - i != bEnd - j) return aEnd - i < bEnd - j;
            if (const int c = a.substr(i, aEnd - i).compare(b.substr(j, bEnd - j)); c != 0) return c < 0;
            i = aEnd;
            j = bEnd;
            continue;
        }
        if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if (i == a.size() && j != b.size()) return true;
    if (j == b.size() && i != a.size()) return false;
    return a < b;
}

bool Older(const ChunkFile& a, const ChunkFile& b) {
    if (a.created != b.created) return a.created < b.created;
    return NaturalLess(a.name, b.name);
}

// Older, and the same file name in two streams by stream.
bool OlderOrFirstStream(const ChunkFile& a, const ChunkFile& b) {
    if (Older(a, b)) return true;
    if (Older(b, a)) return false;
    return a.stream < b.stream;
}

// The chunk number a name gives, 0 when it is no chunk name.
int ChunkNumberOf(const std::string& name) {
    const auto fields = ParseChunkName(name);
    return fields ? fields->number : 0;
}

std::string MibText(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / DiskSpaceManager::kMiB);
    return text;
}

void DeleteChunk(const std::string& folder, const std::string& name) {
    const std::string audio = JoinPath(folder, name);
    if (::unlink(audio.c_str()) != 0)
        Trace(kTraceError, "DiskSpaceManager: cannot delete \"%s\" (errno %d)", audio.c_str(), errno);
    else
        Trace(kTraceDetail, "DiskSpaceManager: deleted \"%s\"", audio.c_str());
    // Side files may be missing; that is no fault.
    const std::string base = audio.substr(0, audio.size() - kExtensionLength);
    ::unlink((base + ".dat").c_str());
    ::unlink((base + ".fgp").c_str());
    ::unlink((base + kChunkNoteExtension).c_str());
}

// Whether config.ini itself holds `key`: the store fills in defaults, which
// hide a missing entry.
bool ConfigFileHasKey(const std::string& key) {
    std::ifstream in(ConfigStore::FilePath(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos && std::string_view(line).substr(0, eq) == key) return true;
    }
    return false;
}

void StoreAllowance(int32_t mb) {
    ConfigStore config;
    config.Load();
    config.SetString(kAllowanceKey, std::to_string(mb));
    if (!config.Save()) Trace(kTraceError, "DiskSpaceManager: cannot save %s=%d", kAllowanceKey, mb);
}

// The allowance in MiB. A missing entry, or one that is not a positive
// number, means the default: 0 would delete every finished recording, which
// nobody asks for by mistyping a setting. With `repair` the default is also
// written back, so the user sees the value in effect.
int32_t ReadAllowanceMb(bool repair) {
    ConfigStore config;
    config.Load();
    const int value = AtoiValue(config.GetString(kAllowanceKey));
    if (value > 0 && ConfigFileHasKey(kAllowanceKey)) return value;
    if (repair) StoreAllowance(DiskSpaceManager::kDefaultAllowanceMb);
    return value > 0 ? value : DiskSpaceManager::kDefaultAllowanceMb;
}

std::vector<std::string> LoadStreamNames(const std::string& root) {
    StreamNameFile list;
    list.load(JoinPath(root, StreamNameFile::kFileName));
    std::vector<std::string> names;
    names.reserve(list.Records().size());
    for (const auto& record : list.Records()) names.push_back(record->name);
    return names;
}

}  // namespace

DiskSpaceManager::DiskSpaceManager(std::string streamRoot) : m_root(std::move(streamRoot)) {
    m_thread = std::thread(&DiskSpaceManager::ThreadMain, this);
}

DiskSpaceManager::~DiskSpaceManager() {
    Stop();
}

void DiskSpaceManager::SetStreamRoot(const std::string& root) {
    std::lock_guard lock(m_mutex);
    m_root = root;
}

std::string DiskSpaceManager::StreamRoot() const {
    std::lock_guard lock(m_mutex);
    return m_root;
}

void DiskSpaceManager::SetNotifyReceiver(EventLoop* loop, ReceiverId receiver) {
    std::lock_guard lock(m_mutex);
    m_loop = loop;
    m_receiver = receiver;
}

void DiskSpaceManager::SetFreeSpaceFunction(FreeSpaceFunction function) {
    std::lock_guard lock(m_mutex);
    m_freeSpace = std::move(function);
}

void DiskSpaceManager::SetCheckObserver(CheckObserver observer) {
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

std::optional<DiskCheckResult> DiskSpaceManager::LastCheck() const {
    std::lock_guard lock(m_mutex);
    return m_lastCheck;
}

DiskSpaceManager::FreeSpaceFunction DiskSpaceManager::FreeSpaceFunctionCopy() const {
    std::lock_guard lock(m_mutex);
    return m_freeSpace;
}

void DiskSpaceManager::Start() {
    {
        std::lock_guard lock(m_mutex);
        if (m_started) return;
        m_started = true;
        // The period counts from here, not from whenever the thread wakes.
        m_startTicks = GetClock().Ticks();
    }
    m_startSignal.notify_all();
}

void DiskSpaceManager::Stop() {
    {
        // Under the mutex so that a thread about to wait for the start signal
        // cannot miss it.
        std::lock_guard lock(m_mutex);
        m_stop.store(1);
    }
    m_startSignal.notify_all();
    GetClock().WakeSleepers();
    std::lock_guard join(m_joinMutex);
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

bool DiskSpaceManager::WaitForStart() {
    std::unique_lock lock(m_mutex);
    m_startSignal.wait(lock, [this] { return m_started || m_stop.load() != 0; });
    return m_stop.load() == 0;
}

void DiskSpaceManager::SetCheckPeriod(int64_t ms) {
    std::lock_guard lock(m_mutex);
    m_checkPeriodMs = ms > 0 ? ms : kCheckPeriodMs;
}

void DiskSpaceManager::ThreadMain() {
    TraceThreadBegin("disk");
    if (WaitForStart()) {
        std::string root;
        int64_t due = 0;
        int64_t period = kCheckPeriodMs;
        {
            std::lock_guard lock(m_mutex);
            root = m_root;
            period = m_checkPeriodMs;
            due = m_startTicks + period;
        }
        const std::vector<std::string> names = LoadStreamNames(root);
        while (m_stop.load() == 0) {
            const int64_t now = GetClock().Ticks();
            if (now < due) {
                GetClock().SleepFor(due - now, &m_stop);
                continue;
            }
            // After the clock jumped (a suspended machine) the checks resume
            // their rhythm from now instead of catching up in a burst.
            due += period;
            if (due <= now) due = now + period;
            RunCheck(root, names, &m_stop);
            ++m_checksDone;
        }
    }
    TraceThreadEnd("disk");
}

DiskCheckResult DiskSpaceManager::CheckOnce() {
    const std::string root = StreamRoot();
    return RunCheck(root, LoadStreamNames(root), nullptr);
}

DiskCheckResult DiskSpaceManager::CheckOnce(const std::vector<std::string>& names) {
    return RunCheck(StreamRoot(), names, nullptr);
}

DiskCheckResult DiskSpaceManager::RunCheck(const std::string& root, const std::vector<std::string>& names,
                                           const std::atomic<int>* cancel) {
    const int32_t allowanceMb = ReadAllowanceMb(true);
    DiskCheckResult result;
    DiskUsage& usage = result.usage;
    usage.allowance = static_cast<uint64_t>(allowanceMb) * kMiB;
    usage.used = MeasureUsedSpace(root, names);
    const FreeSpaceFunction freeSpace = FreeSpaceFunctionCopy();
    const std::optional<uint64_t> free = freeSpace ? freeSpace(root) : SystemFreeSpace(root);
    usage.freeKnown = free.has_value();
    usage.free = free.value_or(0);
    Trace(kTraceDebug, "DiskSpaceManager: used %llu, allowance %llu, free %llu%s",
          static_cast<unsigned long long>(usage.used), static_cast<unsigned long long>(usage.allowance),
          static_cast<unsigned long long>(usage.free), usage.freeKnown ? "" : " (unknown)");

    if (usage.used > usage.allowance) {
        result.wanted = usage.used - usage.allowance + usage.allowance / 10;
        result.freed = FreeSpace(root, result.wanted, names, cancel, &result.busy);
        EventLoop* loop = nullptr;
        ReceiverId receiver = kNoReceiver;
        {
            std::lock_guard lock(m_mutex);
            loop = m_loop;
            receiver = m_receiver;
        }
        // Nothing deleted (only the recording session left) changes nothing
        // the user could be shown.
        if (result.freed > 0 && loop != nullptr && receiver != kNoReceiver)
            loop->Post(receiver, kMsgDiskSpaceFreed, 0, 0);
    }

    // An unknown free space must not pass for none: that would shrink the
    // allowance every time statvfs failed.
    if (usage.freeKnown) {
        const uint64_t room = SaturatingAdd(usage.used, usage.free);
        if (room < usage.allowance + kReduceBelow) {
            // At least 1 MiB: a disk this full leaves nothing for old
            // recordings anyway, and 0 would read back as "no valid setting".
            const uint64_t mb = std::max<uint64_t>(room > kReduceTo ? (room - kReduceTo) / kMiB : 0, 1);
            if (mb < static_cast<uint64_t>(allowanceMb)) {
                result.reducedAllowanceMb = static_cast<int32_t>(mb);
                StoreAllowance(result.reducedAllowanceMb);
                Trace(kTraceInfo, "DiskSpaceManager: the disk is nearly full, %s reduced from %d to %d MiB",
                      kAllowanceKey, allowanceMb, result.reducedAllowanceMb);
                ReportId(kStrDiskSpaceReduced);
            }
        }
    }

    CheckObserver observer;
    bool reportUnmet = false;
    {
        std::lock_guard lock(m_mutex);
        // Said once, not at every check, until the allowance is met again. A
        // check that could not delete for the lock says nothing either way.
        if (!result.busy) {
            reportUnmet = !result.Met() && !m_unmetReported;
            m_unmetReported = !result.Met();
        }
        m_lastCheck = result;
        observer = m_observer;
    }
    if (reportUnmet) {
        const uint64_t left = usage.used - std::min(result.freed, usage.used);
        AddEvent("Disk space: the streams use " + MibText(left) + " of the " + MibText(usage.allowance) +
                 " \"DiskSpace\" allows, and only the chunks being recorded are left to delete");
    }
    if (observer) observer(result);
    return result;
}

DiskUsage DiskSpaceManager::MeasureDiskUsage(const std::string& root, const std::vector<std::string>& names,
                                             const FreeSpaceFunction& freeSpace) {
    DiskUsage usage;
    usage.allowance = static_cast<uint64_t>(ReadAllowanceMb(false)) * kMiB;
    usage.used = MeasureUsedSpace(root, names);
    const std::optional<uint64_t> free = freeSpace ? freeSpace(root) : SystemFreeSpace(root);
    usage.freeKnown = free.has_value();
    usage.free = free.value_or(0);
    return usage;
}

uint64_t DiskSpaceManager::MeasureUsedSpace(const std::string& root, const std::vector<std::string>& names) {
    uint64_t used = 0;
    ForEachStreamFolder(root, names, [&used](size_t, const std::string& folder) {
        ScanFolder(folder, false,
                   [&used](const char*, const FileFacts& info) { used += info.size; });
    });
    return used;
}

std::optional<uint64_t> DiskSpaceManager::SystemFreeSpace(const std::string& root) {
    std::optional<uint64_t> free;
    if (!root.empty()) free = FreeSpaceAt(root);
    if (!free)
        Trace(kTraceError, "DiskSpaceManager: cannot get the free space of \"%s\" (errno %d)",
              root.c_str(), errno);
    return free;
}

std::vector<ChunkFile> DiskSpaceManager::ScanChunks(const std::string& root, const std::vector<std::string>& names) {
    std::vector<ChunkFile> files;
    ForEachStreamFolder(root, names, [&files](size_t index, const std::string& folder) {
        ScanFolder(folder, true, [&files, index](const char* name, const FileFacts& info) {
            files.push_back(ChunkFile{index, name, info.size, info.created});
        });
    });
    return files;
}

std::vector<std::string> DiskSpaceManager::RecordedSessions(const std::string& root,
                                                            const std::vector<std::string>& names) {
    std::vector<std::string> recorded(names.size());
    ForEachStreamFolder(root, names, [&recorded](size_t index, const std::string& folder) {
        recorded[index] = RecordedSessionIn(folder);
    });
    return recorded;
}

std::vector<ChunkFile> DiskSpaceManager::DeletionOrder(std::vector<ChunkFile> files,
                                                       const std::vector<std::string>& recorded) {
    const auto isRecorded = [&recorded](const ChunkFile& f) {
        return f.stream < recorded.size() && BelongsToSession(f.name, recorded[f.stream]);
    };
    // The sessions being recorded go last, each without its newest chunk.
    const auto firstLive = std::stable_partition(files.begin(), files.end(),
                                                 [&isRecorded](const ChunkFile& f) { return !isRecorded(f); });
    std::vector<ChunkFile> live(std::make_move_iterator(firstLive), std::make_move_iterator(files.end()));
    files.erase(firstLive, files.end());
    std::vector<size_t> newest(recorded.size(), SIZE_MAX);
    for (size_t i = 0; i < live.size(); ++i) {
        size_t& n = newest[live[i].stream];
        if (n == SIZE_MAX || ChunkNumberOf(live[i].name) > ChunkNumberOf(live[n].name)) n = i;
    }
    std::vector<ChunkFile> finished;
    for (size_t i = 0; i < live.size(); ++i)
        if (newest[live[i].stream] != i) finished.push_back(std::move(live[i]));
    std::sort(finished.begin(), finished.end(), OlderOrFirstStream);

    // Each session becomes one run: its ".mp3" files by age, then its ".ogg".
    std::sort(files.begin(), files.end(), [](const ChunkFile& a, const ChunkFile& b) {
        if (a.stream != b.stream) return a.stream < b.stream;
        if (const int c = SessionKey(a).compare(SessionKey(b)); c != 0) return c < 0;
        if (const bool aOgg = IsOgg(a.name); aOgg != IsOgg(b.name)) return !aOgg;
        return Older(a, b);
    });

    struct Session {
        size_t begin;
        size_t end;
        size_t oldest;
    };
    std::vector<Session> sessions;
    for (size_t begin = 0; begin < files.size();) {
        Session s{begin, begin + 1, begin};
        while (s.end < files.size() && files[s.end].stream == files[begin].stream &&
               SessionKey(files[s.end]) == SessionKey(files[begin])) {
            if (Older(files[s.end], files[s.oldest])) s.oldest = s.end;
            ++s.end;
        }
        sessions.push_back(s);
        begin = s.end;
    }
    std::sort(sessions.begin(), sessions.end(), [&files](const Session& a, const Session& b) {
        return OlderOrFirstStream(files[a.oldest], files[b.oldest]);
    });

    std::vector<ChunkFile> ordered;
    ordered.reserve(files.size() + finished.size());
    for (const Session& s : sessions)
        for (size_t i = s.begin; i < s.end; ++i) ordered.push_back(std::move(files[i]));
    for (ChunkFile& f : finished) ordered.push_back(std::move(f));
    return ordered;
}

uint64_t DiskSpaceManager::FreeSpace(const std::string& root, uint64_t wanted, const std::vector<std::string>& names,
                                     const std::atomic<int>* cancel, bool* busy) {
    if (busy != nullptr) *busy = false;
    if (wanted == 0) return 0;
    // Held to the last deletion: the list must stay true while it is worked
    // through, and no recorder may begin a session meanwhile.
    FileLock lock;
    std::string why;
    if (!LockStreams(lock, FileLock::kDefaultTimeoutMs, &why, cancel)) {
        Trace(kTraceError, "DiskSpaceManager: nothing deleted: %s", why.c_str());
        if (busy != nullptr) *busy = cancel == nullptr || cancel->load() == 0;
        return 0;
    }
    const std::vector<ChunkFile> order =
        DeletionOrder(ScanChunks(root, names), RecordedSessions(root, names));
    uint64_t freed = 0;
    size_t deleted = 0;
    for (const ChunkFile& file : order) {
        if (freed >= wanted || (cancel != nullptr && cancel->load() != 0)) break;
        DeleteChunk(JoinPath(root, names[file.stream]), file.name);
        freed += file.size;
        ++deleted;
    }
    if (deleted > 0) NoteStreamsChanged();
    Trace(kTraceInfo, "DiskSpaceManager: %zu chunks deleted, %llu of %llu bytes freed", deleted,
          static_cast<unsigned long long>(freed), static_cast<unsigned long long>(wanted));
    return freed;
}

}  // namespace wk
