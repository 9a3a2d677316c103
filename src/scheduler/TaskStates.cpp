#include "scheduler/TaskStates.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "core/Trace.h"

namespace wk {
namespace {

std::string DateTimeText(const DateTime& t) {
    return t.DateText() + " " + t.TimeText();
}

std::string DurationText(int64_t ms) {
    const bool negative = ms < 0;
    const int64_t seconds = (negative ? -ms : ms) / kMsPerSecond;
    char text[32];
    std::snprintf(text, sizeof text, "%s%02" PRId64 ":%02d:%02d", negative ? "-" : "", seconds / 3600,
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return text;
}

}  // namespace

bool SameOccurrence(const ScheduleTask& a, const ScheduleTask& b) {
    return a.StreamName() == b.StreamName() && a.Start() == b.Start() && a.End() == b.End();
}

ScheduleRow MakeScheduleRow(const ScheduleTask& task, const DateTime& now) {
    ScheduleRow row;
    row.task = &task;
    row.kind = task.KindName();
    row.recurrence = task.Recurrence();
    row.status = task.StatusCode();
    row.kindOnly = row.status == kStatusNothingRecorded;
    if (row.kindOnly) return row;
    row.from = DateTimeText(task.Start()) + " - " + DateTimeText(task.End());
    row.duration = DurationText(task.End().ToStreamTime() - task.Start().ToStreamTime());
    if (task.Kind() == 'O') {
        const DateTime ready = DateTime::FromStreamTime(task.End().ToStreamTime() + kMp3DelayMs);
        if (ready > now) row.mp3At = DateTimeText(ready);
    }
    row.stream = task.StreamName();
    row.description = task.Description();
    return row;
}

ScheduleRows::ScheduleRows(Scheduler& scheduler) : m_scheduler(scheduler) {
    m_scheduler.SetTaskDeletedHandler([this](ScheduleTask* task) { RemoveRow(task); });
}

ScheduleRows::~ScheduleRows() {
    m_scheduler.SetTaskDeletedHandler(nullptr);
}

void ScheduleRows::Refresh(const DateTime& now) {
    auto scheduler = m_scheduler.LockGuard();
    std::lock_guard rows(m_lock);
    m_rows.clear();
    m_scheduler.removeFinishedTasks(now);
    m_scheduler.ForEachTask([&](ScheduleTask& task) { AddRow(task, now); });
}

void ScheduleRows::AddRow(ScheduleTask& task, const DateTime& now) {
    auto scheduler = m_scheduler.LockGuard();
    m_scheduler.EvaluateStatus(task, now, false);
    std::lock_guard rows(m_lock);
    const auto later = std::find_if(m_rows.begin(), m_rows.end(),
                                    [&](const ScheduleRow& r) { return r.task->Start() > task.Start(); });
    m_rows.insert(later, MakeScheduleRow(task, now));
}

void ScheduleRows::RemoveRow(const ScheduleTask* task) {
    std::lock_guard rows(m_lock);
    const auto it =
        std::find_if(m_rows.begin(), m_rows.end(), [task](const ScheduleRow& r) { return r.task == task; });
    if (it == m_rows.end()) return;
    Trace(30, "remove task:%s", task->StreamName().c_str());
    m_rows.erase(it);
}

int ScheduleRows::RefreshStates(const DateTime& now) {
    Trace(40, "refresh tasks: begin");
    struct Probe {
        const ScheduleTask* task;
        std::unique_ptr<ScheduleTask> copy;
        int32_t status;
    };
    std::vector<Probe> probes;
    {
        auto scheduler = m_scheduler.LockGuard();
        std::lock_guard rows(m_lock);
        for (const ScheduleRow& r : m_rows) probes.push_back({r.task, r.task->Clone(), r.task->StatusCode()});
    }
    // The source looks at stream folders: no lock is held meanwhile, so the
    // recording controller and the view go on.
    const std::shared_ptr<TaskStatusSource> source = m_scheduler.StatusSource();
    for (Probe& p : probes)
        if (p.status != kStatusFinal) p.status = TaskStatusAt(*p.copy, now, *source);

    int changed = 0;
    auto scheduler = m_scheduler.LockGuard();
    std::lock_guard rows(m_lock);
    // Only tasks still listed and unchanged take the answer: one deleted
    // meanwhile may have left its address to a new one.
    m_scheduler.ForEachTask([&](ScheduleTask& task) {
        for (const Probe& p : probes) {
            if (p.task != &task || task.Kind() != p.copy->Kind() || !SameOccurrence(task, *p.copy)) continue;
            if (task.StatusCode() != kStatusFinal) task.SetStatusCode(p.status);
        }
    });
    for (ScheduleRow& r : m_rows) {
        ScheduleRow fresh = MakeScheduleRow(*r.task, now);
        if (fresh.status != r.status || fresh.kindOnly != r.kindOnly || fresh.mp3At != r.mp3At) ++changed;
        r = std::move(fresh);
    }
    Trace(40, "refresh tasks: end");
    return changed;
}

bool ScheduleRows::DeleteSelected(const ScheduleTask* task, UserPrompt& prompt, const DateTime& now,
                                  std::string* why) {
    if (prompt.ShowWithCaption(kDeleteScheduleQuestion, kDeleteScheduleCaption,
                               kMbYesNo | kMbIconQuestion) != kIdYes)
        return false;
    ScheduleTask* listed = nullptr;
    {
        auto scheduler = m_scheduler.LockGuard();
        std::lock_guard rows(m_lock);
        const bool shown = std::any_of(m_rows.begin(), m_rows.end(),
                                       [task](const ScheduleRow& r) { return r.task == task; });
        if (shown) {
            m_scheduler.ForEachTask([&](ScheduleTask& t) {
                if (&t == task) listed = &t;
            });
        }
        if (listed == nullptr || !m_scheduler.deleteTask(listed)) return false;
    }
    const bool saved = m_scheduler.save(why);
    if (!saved) Trace(10, "Deleting Schedule item: %s", why ? why->c_str() : "schedule.txt not written");
    Refresh(now);
    return saved;
}

std::vector<ScheduleRow> ScheduleRows::Rows() const {
    std::lock_guard rows(m_lock);
    return m_rows;
}

}  // namespace wk
