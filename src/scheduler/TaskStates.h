#pragma once
// The schedule view's list as data: one row per task of the scheduler,
// ordered by start, with the texts of its seven columns and the state the
// task is in (Scheduler.h, TaskStatus: waiting, recording, done, missed).
//
// Rows point at the scheduler's own tasks. The rows install the scheduler's
// task-deleted handler so that a task leaves its row before it is
// destroyed, and take it away again when they go. Every load, save or
// Update of the scheduler replaces the tasks read from schedule.txt (each
// leaving its row); the view calls Refresh afterwards.
//
// Threading: any thread. Locks are always taken scheduler first, rows
// second (the scheduler calls RemoveRow with its lock held), so the
// refresh-tasks worker, the recording controller and the main thread never
// wait for each other in a circle. RefreshStates asks the status source
// (which looks at stream folders) with neither lock held.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/DateTime.h"
#include "core/UserPrompt.h"
#include "scheduler/Scheduler.h"

namespace wk {

struct ScheduleColumn {
    const char* header;
    int width;  // pixels
};
inline constexpr ScheduleColumn kScheduleColumns[] = {
    {"Repeating", 75}, {"State", 55},  {"From", 165},       {"duration", 90},
    {"will get mp3's at", 165}, {"Stream", 60}, {"Description", 110},
};

inline constexpr const char* kDeleteScheduleQuestion = "Are you sure?";
inline constexpr const char* kDeleteScheduleCaption = "Deleting Schedule item(s)";
// A once task's songs can be made this long after its end, when the
// playlist has had time to arrive.
inline constexpr int64_t kMp3DelayMs = 30 * kMsPerMinute;

struct ScheduleRow {
    const ScheduleTask* task = nullptr;  // identity only: the scheduler's task
    std::string kind;                    // column 0 text: "Once", "Daily", "Weekly"
    int recurrence = 0;                  // column 0 image
    int status = 0;                      // column 1 image (TaskStatus)
    bool kindOnly = false;               // over with nothing recorded: columns 1-6 stay empty
    std::string from;                    // "DD/MM/YYYY hh:mm:ss - DD/MM/YYYY hh:mm:ss"
    std::string duration;                // "hh:mm:ss" (hours beyond 24 as they come)
    std::string mp3At;                   // once tasks: end + 30 min while ahead, else ""
    std::string stream;
    std::string description;
};

// The same occurrence of a task: same stream, start and end. How the
// recording controller's task is told apart from the others.
bool SameOccurrence(const ScheduleTask& a, const ScheduleTask& b);

// The row of `task` at `now`, its status as the task holds it.
ScheduleRow MakeScheduleRow(const ScheduleTask& task, const DateTime& now);

class ScheduleRows {
public:
    explicit ScheduleRows(Scheduler& scheduler);
    ~ScheduleRows();
    ScheduleRows(const ScheduleRows&) = delete;
    ScheduleRows& operator=(const ScheduleRows&) = delete;

    // Empties the rows, lets the scheduler remove its finished tasks and
    // adds a row for every task left.
    void Refresh(const DateTime& now);
    // Inserts the row of a task of the scheduler after every row that does
    // not start later (equal starts keep the order they came in). The
    // status is worked out when the task has none yet.
    void AddRow(ScheduleTask& task, const DateTime& now);
    // Removes the row of `task` (the same object), if there is one.
    void RemoveRow(const ScheduleTask* task);
    // The refresh-tasks pass: the status of every row's task anew (a final 2
    // stays), the texts with it. Returns how many rows changed.
    int RefreshStates(const DateTime& now);
    // After "Are you sure?" under "Deleting Schedule item(s)": deletes the
    // task of the row from the scheduler and from schedule.txt, then
    // refreshes. False when the user said no, the row is gone, or the file
    // could not be written (`why`; the task stays deleted in memory only).
    bool DeleteSelected(const ScheduleTask* task, UserPrompt& prompt, const DateTime& now,
                        std::string* why = nullptr);

    std::vector<ScheduleRow> Rows() const;

private:
    Scheduler& m_scheduler;
    mutable std::recursive_mutex m_lock;  // the rows
    std::vector<ScheduleRow> m_rows;
};

}  // namespace wk
