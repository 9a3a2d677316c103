#pragma once
// The schedule view: the scheduler's tasks in the columns and states of
// ScheduleRows (scheduler/TaskStates.h), refreshed by the "refresh tasks"
// worker, with create, modify and delete (after "Are you sure?" under
// "Deleting Schedule item(s)").
//
// Changes go through Scheduler::Update, so tasks another process wrote to
// schedule.txt meanwhile stay.
//
// Threading: GUI thread; the refresh-tasks pass runs on a thread of its own
// and hands its result back through Qt's queue.

#include <QWidget>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "scheduler/TaskStates.h"

class QTreeWidget;

namespace wk {
class Scheduler;
class ScheduleTask;
class UserPrompt;
}  // namespace wk

namespace wk::ui {

// What the task dialog returns; also what tests fill in.
struct TaskDraft {
    char kind = 'O';  // 'O', 'D', 'W'
    std::string stream;
    DateTime start;
    DateTime end;
    int weekday = 1;  // weekly: 0 Sunday .. 6 Saturday
    std::string description;
};

class ScheduleView final : public QWidget {
    Q_OBJECT
public:
    ScheduleView(Scheduler& scheduler, UserPrompt& prompt, QWidget* parent = nullptr);
    ~ScheduleView() override;

    void Refresh();
    // One refresh-tasks pass on its worker (nothing when one still runs).
    void StartStateRefresh();

    // The commands. Create and Modify open the task dialog; the *Draft forms
    // take its answer directly. False when nothing changed (`why` says why
    // when it was not the user's choice).
    bool CreateItem();
    bool ModifySelected();
    bool DeleteSelected();
    bool CreateFromDraft(const TaskDraft& draft, std::string* why);
    bool ModifyFromDraft(const ScheduleTask* task, const TaskDraft& draft, std::string* why);

    QTreeWidget* List() const { return m_list; }
    const ScheduleTask* SelectedTask() const;
    std::vector<ScheduleRow> Rows() const { return m_rows.Rows(); }

signals:
    void statusText(const QString& text);

private:
    bool Apply(const ScheduleTask* replaced, const TaskDraft* draft, std::string* why);
    void Fill();
    void JoinWorker();

    Scheduler& m_scheduler;
    UserPrompt& m_prompt;
    ScheduleRows m_rows;
    QTreeWidget* m_list;
    std::thread m_worker;
    std::atomic<bool> m_workerBusy{false};
};

// The draft's problem ("" when it can be scheduled at `now`).
std::string DraftProblem(const TaskDraft& draft, const DateTime& now);

}  // namespace wk::ui
