#include "app/ScheduleCommand.h"

#include <strings.h>

#include <memory>
#include <ostream>

#include "app/CliCommandTable.h"
#include "app/UserTime.h"
#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "scheduler/PeriodCheck.h"
#include "scheduler/Scheduler.h"
#include "scheduler/TaskKinds.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

int ParseWeekday(const std::string& text) {
    static const char* const kNames[] = {"sunday", "monday", "tuesday", "wednesday",
                                         "thursday", "friday", "saturday"};
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '6') return text[0] - '0';
    for (int i = 0; i < 7; ++i)
        if (text.size() >= 3 && ::strncasecmp(text.c_str(), kNames[i], text.size()) == 0) return i;
    return -1;
}

}  // namespace

int RunScheduleList(std::ostream& out) {
    Scheduler scheduler;
    scheduler.load();
    int n = 0;
    for (const auto& task : scheduler.Tasks()) {
        out << ++n << '\t' << task->WriteLine() << '\n';
    }
    if (n == 0) out << "no tasks in " << scheduler.FileName() << '\n';
    return 0;
}

int RunScheduleAdd(const ScheduleAddOptions& o, std::ostream& out, std::ostream& err) {
    const DateTime now = GetClock().Now();
    std::unique_ptr<ScheduleTask> task;
    DateTime start, end;
    if (o.kind == "once") {
        auto from = ParseUserDateTime(o.from);
        auto to = ParseUserDateTime(o.to);
        if (!from || !to) {
            err << "wavkeep: give --from and --to as \"YYYY-MM-DD hh:mm:ss\" or \"DD/MM/YYYY  hh:mm:ss\"\n";
            return 2;
        }
        start = *from;
        end = *to;
        task = std::make_unique<OnceTask>();
    } else if (o.kind == "daily" || o.kind == "weekly") {
        auto from = ParseUserTimeOfDay(o.from);
        auto to = ParseUserTimeOfDay(o.to);
        if (!from || !to) {
            err << "wavkeep: give --from and --to as \"hh:mm:ss\" or \"hh:mm\"\n";
            return 2;
        }
        start = DateTime(now.year, now.month, now.day, from->hour, from->minute, from->second);
        end = DateTime(now.year, now.month, now.day, to->hour, to->minute, to->second);
        if (o.kind == "daily") {
            task = std::make_unique<DailyTask>();
        } else {
            const int day = ParseWeekday(o.day);
            if (day < 0) {
                err << "wavkeep: give --day as 0-6 (0 is Sunday) or a day name\n";
                return 2;
            }
            auto weekly = std::make_unique<WeeklyTask>();
            weekly->SetWeekday(day);
            task = std::move(weekly);
        }
    } else {
        err << "wavkeep: the kind is once, daily or weekly\n";
        return 2;
    }
    const std::string refusal = ValidatePeriod(start, end, now, o.kind == "once");
    if (!refusal.empty()) {
        Report(refusal);
        err << "wavkeep: " << refusal << '\n';
        return 1;
    }
    ConfigStore config;
    config.Load();
    const std::string stream = o.stream.empty() ? config.GetString("ActiveStream") : o.stream;
    // The recorder skips a task whose stream is not listed (or listed in
    // other letters) and never says so at the time: refuse it now.
    StreamNameFile streams;
    streams.load();
    const StreamRecord* record = nullptr;
    for (const auto& r : streams.Records())
        if (r->name == stream) record = r.get();
    if (!record) {
        const StreamRecord* other = streams.Find(stream);
        err << "wavkeep: no stream " << StreamNameFile::ShownName(stream);
        if (other) err << " (the list has \"" << StreamNameFile::ShownName(other->name) << "\")";
        err << "; \"wavkeep streams\" lists them\n";
        return 2;
    }
    if (record->active != 1) {
        err << "wavkeep: warning: the stream " << StreamNameFile::ShownName(stream)
            << " is not active, so the task will not record until \"wavkeep streams activate "
            << StreamNameFile::ShownName(stream) << "\"\n";
    }
    task->SetStreamName(stream);
    task->SetDescription(o.description);
    task->SetStart(start);
    task->SetEnd(end);
    // Weekly tasks move to their weekday; a daily one whose time is over today
    // moves to tomorrow.
    if (task->Kind() == 'W' || (task->Kind() == 'D' && task->End() <= now)) task->Advance(now);

    Scheduler scheduler;
    scheduler.load();
    ScheduleTask* added = scheduler.insertTask(*task);
    std::string why = "the task could not be made";
    if (!added || !scheduler.save(&why)) {
        err << "wavkeep: " << scheduler.FileName() << " was not changed: " << why << '\n';
        return 1;
    }
    out << added->WriteLine() << '\n';
    return 0;
}

int RunScheduleDelete(int number, std::ostream& out, std::ostream& err) {
    Scheduler scheduler;
    scheduler.load();
    ScheduleTask* victim = nullptr;
    int n = 0;
    scheduler.ForEachTask([&](ScheduleTask& t) {
        if (++n == number) victim = &t;
    });
    if (!victim) {
        err << "wavkeep: there is no task " << number << " (see \"wavkeep schedule list\")\n";
        return 1;
    }
    const std::string line = victim->WriteLine();
    scheduler.deleteTask(victim);
    std::string why;
    if (!scheduler.save(&why)) {
        err << "wavkeep: " << scheduler.FileName() << " was not changed: " << why << '\n';
        return 1;
    }
    out << "deleted " << line << '\n';
    return 0;
}

void AddScheduleCommands(CliCommandTable& table) {
    struct Options {
        ScheduleAddOptions add;
        int taskNumber = 0;
    };
    auto o = std::make_shared<Options>();
    CLI::App* schedule =
        table.App().add_subcommand("schedule", "Show or edit the recording tasks (schedule.txt)");
    schedule->require_subcommand(1);
    CLI::App* list = schedule->add_subcommand("list", "Print the tasks, numbered");
    table.On(list, [](std::ostream& out, std::ostream&) { return RunScheduleList(out); });
    CLI::App* add = schedule->add_subcommand(
        "add",
        "Add a task: once (--from/--to \"YYYY-MM-DD hh:mm:ss\" or \"DD/MM/YYYY  hh:mm:ss\"), "
        "daily or weekly (--from/--to \"hh:mm[:ss]\", weekly also --day)");
    add->add_option("KIND", o->add.kind, "once, daily or weekly")
        ->required()
        ->check(CLI::IsMember({"once", "daily", "weekly"}));
    add->add_option("--from", o->add.from, "Start")->required();
    add->add_option("--to", o->add.to, "End")->required();
    add->add_option("--day", o->add.day, "Weekly: 0-6 (0 is Sunday) or a day name");
    add->add_option("--stream", o->add.stream, "Stream (default: \"ActiveStream\")")->type_name("STREAM");
    add->add_option("--description", o->add.description, "Free text");
    table.On(add, [o](std::ostream& out, std::ostream& err) {
        return RunScheduleAdd(o->add, out, err);
    });
    CLI::App* remove = schedule->add_subcommand("delete", "Delete task N of \"schedule list\"");
    remove->add_option("N", o->taskNumber, "Task number")->required();
    table.On(remove, [o](std::ostream& out, std::ostream& err) {
        return RunScheduleDelete(o->taskNumber, out, err);
    });
}

}  // namespace wk
