#include "scheduler/Scheduler.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>

#include "core/ConfigStore.h"
#include "core/FileLock.h"
#include "core/FileUtil.h"
#include "core/ProgramHome.h"
#include "core/Trace.h"
#include "scheduler/TaskKinds.h"

namespace wk {

namespace {

class NoRecordings final : public TaskStatusSource {
public:
    bool HasRecordedChunks(const std::string&, const DateTime&, const DateTime&) override {
        return false;
    }
    bool HasDescription(const std::string&, const DateTime&, const DateTime&) override {
        return false;
    }
    bool IsRecording(const ScheduleTask&) override { return false; }
    bool IsStreamActive(const std::string&) override { return false; }
};

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char buffer[16384];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

// Only the start of a skipped line goes to the trace, control bytes masked.
std::string TraceExcerpt(std::string_view line) {
    constexpr size_t kExcerpt = 200;
    std::string text(line.substr(0, kExcerpt));
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    return text;
}

}  // namespace

Scheduler::Scheduler()
    : m_fileName(ProgramFile("schedule.txt")), m_statusSource(std::make_shared<NoRecordings>()) {}

Scheduler::~Scheduler() = default;

std::unique_ptr<ScheduleTask> Scheduler::TaskFromLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return nullptr;
    std::unique_ptr<ScheduleTask> task;
    switch (line.front()) {
        case 'O':
            task = std::make_unique<OnceTask>();
            break;
        case 'D':
            task = std::make_unique<DailyTask>();
            break;
        case 'W':
            task = std::make_unique<WeeklyTask>();
            break;
        default:
            return nullptr;
    }
    if (!task->ParseLine(line)) return nullptr;
    return task;
}

bool Scheduler::load() {
    std::lock_guard guard(m_lock);
    return SyncLocked(false);
}

bool Scheduler::save(std::string* why) {
    return Update([](Scheduler&) { return true; }, why);
}

bool Scheduler::Update(const std::function<bool(Scheduler&)>& change, std::string* why) {
    // The file lock first: the recording controller must not wait for the
    // list while another process holds the file.
    FileLock fileLock;
    std::string reason;
    if (!fileLock.AcquireFor(m_fileName, FileLock::kDefaultTimeoutMs, &reason)) {
        if (why) *why = reason;
        return false;
    }
    std::lock_guard guard(m_lock);
    if (!SyncLocked(true)) {
        if (why) *why = "cannot read " + m_fileName;
        return false;
    }
    if (!change(*this)) return true;
    if (!WriteLocked()) {
        if (why) *why = "cannot write " + m_fileName;
        return false;
    }
    return true;
}

bool Scheduler::SyncLocked(bool missingIsEmpty) {
    std::string bytes;
    if (!ReadWholeFile(m_fileName, bytes)) {
        std::error_code ec;
        if (!missingIsEmpty || std::filesystem::exists(m_fileName, ec)) {
            Trace(20, "Cannot read %s", m_fileName.c_str());
            return false;
        }
        bytes.clear();
    }

    std::vector<std::unique_ptr<ScheduleTask>> loaded;
    size_t lineNumber = 0;
    for (size_t pos = 0; pos < bytes.size();) {
        size_t end = bytes.find('\n', pos);
        if (end == std::string::npos) end = bytes.size();
        const std::string_view line(bytes.data() + pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        if (auto task = TaskFromLine(line)) {
            loaded.push_back(std::move(task));
        } else if (lineNumber > 1) {
            // A line too short for its kind is skipped too: read, it would
            // only be a task that never records.
            Trace(30, "Scheduler::load: line %zu skipped: %s", lineNumber,
                  TraceExcerpt(line).c_str());
        }
    }

    // A task read before and changed since is its old line deleted and a
    // new task of this scheduler's.
    for (auto it = m_fromFile.begin(); it != m_fromFile.end();) {
        if (it->first->WriteLine() != it->second) {
            m_deletedLines.push_back(it->second);
            it = m_fromFile.erase(it);
        } else {
            ++it;
        }
    }
    std::vector<std::string> deleted = m_deletedLines;
    std::erase_if(loaded, [&deleted](const std::unique_ptr<ScheduleTask>& task) {
        const auto it = std::find(deleted.begin(), deleted.end(), task->WriteLine());
        if (it == deleted.end()) return false;
        deleted.erase(it);  // one line deletes one task
        return true;
    });

    std::vector<ScheduleTask*> replaced;
    for (const auto& [task, line] : m_fromFile) replaced.push_back(const_cast<ScheduleTask*>(task));
    m_fromFile.clear();  // replaced, not deleted
    for (ScheduleTask* task : replaced) RemoveLocked(task);
    // Switched tasks first, then the file's, then this scheduler's own.
    const auto own = std::stable_partition(m_tasks.begin(), m_tasks.end(),
                                           [](const auto& task) { return task->Kind() == 'C'; });
    const auto at = static_cast<size_t>(own - m_tasks.begin());
    for (const auto& task : loaded) m_fromFile.emplace_back(task.get(), task->WriteLine());
    m_tasks.insert(m_tasks.begin() + static_cast<std::ptrdiff_t>(at),
                   std::make_move_iterator(loaded.begin()), std::make_move_iterator(loaded.end()));
    return true;
}

bool Scheduler::WriteLocked() {
    std::string bytes = kScheduleLegend;
    bytes += '\n';
    for (const auto& task : m_tasks) {
        if (task->Kind() == 'C') continue;
        bytes += task->WriteLine();
        bytes += '\n';
    }
    if (!ReplaceFileContents(m_fileName, bytes)) return false;
    m_deletedLines.clear();
    m_fromFile.clear();
    for (const auto& task : m_tasks)
        if (task->Kind() != 'C') m_fromFile.emplace_back(task.get(), task->WriteLine());
    return true;
}

ScheduleTask* Scheduler::insertTask(const ScheduleTask& task) {
    Trace(30, "Scheduler::insertTask(");
    std::lock_guard guard(m_lock);
    m_tasks.push_back(task.Clone());
    return m_tasks.back().get();
}

bool Scheduler::deleteTask(ScheduleTask* task) {
    std::lock_guard guard(m_lock);
    return RemoveLocked(task);
}

bool Scheduler::RemoveLocked(ScheduleTask* task) {
    const auto listed = [task](const std::unique_ptr<ScheduleTask>& t) { return t.get() == task; };
    if (task == nullptr || std::find_if(m_tasks.begin(), m_tasks.end(), listed) == m_tasks.end())
        return false;
    if (m_onDeleted) m_onDeleted(task);
    // Looked up again: the handler may have changed the list.
    const auto it = std::find_if(m_tasks.begin(), m_tasks.end(), listed);
    if (it == m_tasks.end()) return false;
    const auto read = std::find_if(m_fromFile.begin(), m_fromFile.end(),
                                   [task](const auto& entry) { return entry.first == task; });
    if (read != m_fromFile.end()) {
        m_deletedLines.push_back(read->second);
        m_fromFile.erase(read);
    }
    const std::unique_ptr<ScheduleTask> doomed = std::move(*it);
    m_tasks.erase(it);
    return true;
}

ScheduleTask* Scheduler::findActiveTask(const DateTime& t) {
    std::lock_guard guard(m_lock);
    for (const auto& task : m_tasks)
        if (task->IsActive(t)) return task.get();
    return nullptr;
}

int Scheduler::advanceRecurringTasks(const DateTime& now) {
    std::lock_guard guard(m_lock);
    int moved = 0;
    for (const auto& task : m_tasks) {
        if (task->Recurrence() == 0 || task->End() > now) continue;
        const DateTime before = task->End();
        // A weekly task whose day is today keeps it until its end has passed.
        if (task->Advance(now) && task->End() != before) {
            // The next occurrence has not been looked at yet.
            task->SetStatusCode(kStatusNotEvaluated);
            ++moved;
        }
    }
    return moved;
}

// Only once tasks finish. A daily or weekly task is moved on to its next
// occurrence by advanceRecurringTasks, and a switched task ends when the
// record command deletes it: both leave only through deleteTask.
int Scheduler::removeFinishedTasks(const DateTime& t) {
    if (m_removing.exchange(true)) return 0;
    struct ClearOnExit {
        std::atomic<bool>& flag;
        ~ClearOnExit() { flag.store(false); }
    } clearOnExit{m_removing};

    std::lock_guard guard(m_lock);
    ConfigStore config;
    config.Load();
    // Without the automatic downloads nothing more will happen to a period
    // once it is over; with them, a recorded period waits for its playlist.
    const bool byTime = config.GetString("AutoScheduleDownload") == "0" ||
                        config.GetString("AutoPlaylistDownload") == "0";
    std::vector<ScheduleTask*> finished;
    for (const auto& task : m_tasks) {
        if (task->Kind() == 'C' || task->Recurrence() != 0) continue;
        bool done = false;
        if (byTime) {
            done = task->End() <= t;
        } else {
            const int status = EvaluateStatus(*task, t, true);
            done = status == kStatusNothingRecorded || status == kStatusFinal;
        }
        if (done) finished.push_back(task.get());
    }
    int removed = 0;
    for (ScheduleTask* task : finished)
        if (RemoveLocked(task)) ++removed;
    return removed;
}

int TaskStatusAt(const ScheduleTask& task, const DateTime& now, TaskStatusSource& source) {
    if (task.End() <= now) {
        if (!source.HasRecordedChunks(task.StreamName(), task.Start(), task.End()))
            return kStatusNothingRecorded;
        return source.HasDescription(task.StreamName(), task.Start(), task.End())
                   ? kStatusDescribed
                   : kStatusUndescribed;
    }
    if (task.Start() <= now) return source.IsRecording(task) ? kStatusRecording : kStatusNotRecording;
    return source.IsStreamActive(task.StreamName()) ? kStatusStreamActive : kStatusStreamInactive;
}

int Scheduler::EvaluateStatus(ScheduleTask& task, const DateTime& now, bool refresh) {
    std::lock_guard guard(m_lock);
    const int32_t stored = task.StatusCode();
    if (stored == kStatusFinal) return stored;
    if (!refresh && stored != kStatusNotEvaluated) return stored;
    const int32_t status = TaskStatusAt(task, now, *m_statusSource);
    task.SetStatusCode(status);
    return status;
}

std::shared_ptr<TaskStatusSource> Scheduler::StatusSource() const {
    std::lock_guard guard(m_lock);
    return m_statusSource;
}

void Scheduler::SetStatusSource(std::shared_ptr<TaskStatusSource> source) {
    std::lock_guard guard(m_lock);
    m_statusSource = source ? std::move(source) : std::make_shared<NoRecordings>();
}

void Scheduler::SetTaskDeletedHandler(TaskDeletedHandler handler) {
    std::lock_guard guard(m_lock);
    m_onDeleted = std::move(handler);
}

std::vector<std::unique_ptr<ScheduleTask>> Scheduler::Tasks() const {
    std::lock_guard guard(m_lock);
    std::vector<std::unique_ptr<ScheduleTask>> copies;
    copies.reserve(m_tasks.size());
    for (const auto& task : m_tasks) {
        auto copy = task->Clone();
        // A listing shows the status too, which a clone otherwise starts over.
        copy->SetStatusCode(task->StatusCode());
        copies.push_back(std::move(copy));
    }
    return copies;
}

void Scheduler::ForEachTask(const std::function<void(ScheduleTask&)>& visit) {
    std::lock_guard guard(m_lock);
    for (const auto& task : m_tasks) visit(*task);
}

size_t Scheduler::TaskCount() const {
    std::lock_guard guard(m_lock);
    return m_tasks.size();
}

}  // namespace wk
