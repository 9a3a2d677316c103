#pragma once
// The recording schedule: the list of tasks, kept in schedule.txt of the
// program home.
//
// File: line 1 the legend, then one task a line in its kind's layout (see
// TaskKinds.h); "\n" line ends written, "\r\n" read alike. Switched tasks
// are never written.
//
// Other processes (a command run from a shell, the daemon) change the file
// too. A scheduler therefore remembers which tasks it read from the file and
// which it inserted, deleted or changed since; save, Update and load put
// those changes onto the file as it is at that moment (save and Update under
// the file's lock, FileLock.h), so nobody's tasks are lost to a stale list.
//
// Threading: every operation may be called from any thread. A recursive lock
// guards the list; the recording controller holds it (Lock/Unlock or
// LockGuard) while it picks a task and starts on it, so that no editor
// deletes the task in between. Task pointers the scheduler hands out stay
// valid until the task is deleted, which is announced through the
// task-deleted handler.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/CriticalSection.h"
#include "core/DateTime.h"
#include "scheduler/ScheduleTask.h"
#include "scheduler/TaskStatusSource.h"

namespace wk {

inline constexpr const char* kScheduleLegend = " LEGEND: O - once; D - daily; W - weekly";

// Codes EvaluateStatus gives a task.
enum TaskStatus : int32_t {
    kStatusNotEvaluated = 0,
    kStatusNothingRecorded = 1,  // over, and no chunk of it recorded
    kStatusFinal = 2,            // set by the owner of the task; never re-evaluated
    kStatusDescribed = 3,        // over, recorded, and its playlist is there
    kStatusUndescribed = 4,      // over, recorded, no playlist yet
    kStatusRecording = 5,        // running and being recorded
    kStatusNotRecording = 6,     // running but not being recorded
    kStatusStreamActive = 7,     // to come, and the stream is on air
    kStatusStreamInactive = 8,   // to come, and the stream is not on air
};

// The code of `task` at `now` by its phase and the source's answers,
// whatever the task holds: over (end <= now) 1, 3 or 4; running 5 or 6; to
// come 7 or 8. Takes no lock, so a caller can ask a slow source without
// holding up the scheduler.
int TaskStatusAt(const ScheduleTask& task, const DateTime& now, TaskStatusSource& source);

class Scheduler {
public:
    using TaskDeletedHandler = std::function<void(ScheduleTask*)>;

    Scheduler();
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    const std::string& FileName() const { return m_fileName; }

    // Replaces the tasks read before (switched tasks and this scheduler's
    // own unsaved changes stay) with those of the file, less the ones this
    // scheduler deleted or changed; each replaced task goes through the
    // task-deleted handler. Lines that do not read as a task are skipped.
    // False, with the list untouched, when the file cannot be read.
    bool load();
    // Under the file's lock: the file's tasks as load takes them, plus this
    // scheduler's inserted and changed tasks, are written (all but the
    // switched ones) and become the list. The file is written beside and
    // renamed over, so a failure never leaves a truncated schedule. False
    // (the old file kept, the reason in `why`) when the lock cannot be had
    // or the file cannot be written. A missing file counts as empty.
    bool save(std::string* why = nullptr);
    // The same, with `change` run on the fresh list in between (it may insert
    // and delete tasks); nothing is written when it returns false. For
    // changes that depend on what the list holds.
    bool Update(const std::function<bool(Scheduler&)>& change, std::string* why = nullptr);

    // Appends a clone of `task` and returns the clone, which the scheduler owns.
    ScheduleTask* insertTask(const ScheduleTask& task);
    // Announces, removes and destroys `task` when it is in the list; false
    // (nothing done) otherwise, so a stale pointer is harmless.
    bool deleteTask(ScheduleTask* task);
    // The first task in list order active at `t`, or nullptr.
    ScheduleTask* findActiveTask(const DateTime& t);
    // Moves every daily and weekly task whose occurrence is over (end <= now)
    // to its next one. Returns how many moved.
    int advanceRecurringTasks(const DateTime& now);
    // Deletes the once tasks that are done (see Scheduler.cpp); returns how
    // many. A call made while another runs returns 0 at once.
    int removeFinishedTasks(const DateTime& t);

    // Works out the task's status code at `now`, stores it in the task and
    // returns it. A stored 2 is final; without `refresh` any stored non-zero
    // code is returned as it is.
    int EvaluateStatus(ScheduleTask& task, const DateTime& now, bool refresh);

    // nullptr restores the default source, which knows of no recordings.
    void SetStatusSource(std::shared_ptr<TaskStatusSource> source);
    std::shared_ptr<TaskStatusSource> StatusSource() const;
    // Called under the lock, before the task is destroyed, for every task
    // the scheduler deletes.
    void SetTaskDeletedHandler(TaskDeletedHandler handler);

    void Lock() { m_lock.Lock(); }
    void Unlock() { m_lock.Unlock(); }
    std::unique_lock<CriticalSection> LockGuard() { return std::unique_lock(m_lock); }

    // Clones of the tasks in list order, for listing.
    std::vector<std::unique_ptr<ScheduleTask>> Tasks() const;
    // Calls `visit` for each task in list order while holding the lock; the
    // visitor must not insert or delete tasks.
    void ForEachTask(const std::function<void(ScheduleTask&)>& visit);
    size_t TaskCount() const;

    // A task of the kind named by the line's first character ("O", "D" or
    // "W"), or nullptr when the kind is unknown or the line does not read.
    static std::unique_ptr<ScheduleTask> TaskFromLine(std::string_view line);

private:
    // With the lock held: announces, removes and destroys `task` if listed;
    // a task read from the file is remembered as deleted.
    bool RemoveLocked(ScheduleTask* task);
    // With the lock held: the file's tasks replace the ones read before, as
    // load describes. False when the file exists but cannot be read.
    bool SyncLocked(bool missingIsEmpty);
    bool WriteLocked();

    const std::string m_fileName;
    mutable CriticalSection m_lock;
    std::vector<std::unique_ptr<ScheduleTask>> m_tasks;
    // The tasks of the list read from (or written to) the file, with their
    // line as it was then, and the lines of such tasks deleted since.
    std::vector<std::pair<const ScheduleTask*, std::string>> m_fromFile;
    std::vector<std::string> m_deletedLines;
    std::shared_ptr<TaskStatusSource> m_statusSource;
    TaskDeletedHandler m_onDeleted;
    std::atomic<bool> m_removing{false};
};

}  // namespace wk
