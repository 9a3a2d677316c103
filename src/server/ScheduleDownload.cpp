#include "server/ScheduleDownload.h"

#include <atomic>
#include <memory>

#include "core/ClockDifference.h"
#include "core/ConfigStore.h"
#include "core/DateTime.h"
#include "core/EventLog.h"
#include "core/Trace.h"
#include "core/Translation.h"
#include "platform/HttpClient.h"
#include "scheduler/ScheduleTask.h"
#include "scheduler/Scheduler.h"
#include "server/TimeCheck.h"

namespace wk {

namespace {

// Process-wide, like the program's single download controller: two runs at
// once would only race each other into the same collisions.
std::atomic<bool> g_scheduleBusy{false};

class BusyGuard {
public:
    BusyGuard() = default;
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;
    ~BusyGuard() { g_scheduleBusy.store(false); }
};

DateTime ToLocal(const DateTime& server, StreamTime shiftMs) {
    return DateTime::FromStreamTime(server.ToStreamTime() - shiftMs);
}

std::string ConfigValue(const ConfigStore& config, const char* key) {
    const std::string value = config.GetString(key);
    return value == kKeyNotFound ? std::string() : value;
}

}  // namespace

ScheduleParseResult ParseScheduleReqResult(Scheduler& scheduler,
                                           const std::vector<std::string>& lines,
                                           double difference, const ScheduleNotice& notice) {
    ScheduleParseResult result;
    if (!IsPlausibleClockDifference(difference)) {
        Trace(kTraceError, "Schedule answer ignored: unusable clock difference");
        return result;
    }
    const auto shiftMs = static_cast<StreamTime>(difference * 1000.0);
    // Checked against the schedule as the file holds it now: a command may
    // have added tasks since this scheduler read it.
    std::string why;
    const bool written = scheduler.Update(
        [&](Scheduler& fresh) {
            for (const std::string& line : lines) {
                std::unique_ptr<ScheduleTask> task = Scheduler::TaskFromLine(line);
                if (!task) continue;
                task->SetStart(ToLocal(task->Start(), shiftMs));
                task->SetEnd(ToLocal(task->End(), shiftMs));
                const DateTime& start = task->Start();
                const DateTime& end = task->End();
                if (start > end) {
                    ++result.skipped;
                    continue;
                }
                bool collides = false;
                fresh.ForEachTask([&](ScheduleTask& existing) {
                    if (!collides && !(existing.End() < start) && !(existing.Start() > end))
                        collides = true;
                });
                if (collides) {
                    Trace(kTraceDebug, "Skipping schedule entry \"%s --> %s desc: %s\"",
                          start.LongText().c_str(), end.LongText().c_str(),
                          task->Description().c_str());
                    ++result.skipped;
                    continue;
                }
                fresh.insertTask(*task);
                ++result.inserted;
                Trace(kTraceInfo, "New task inserted: %s --> %s desc:%s", start.LongText().c_str(),
                      end.LongText().c_str(), task->Description().c_str());
            }
            return result.inserted > 0;
        },
        &why);
    if (!written) {
        result.error = why;
        Trace(kTraceError, "The schedule was not saved after the download: %s", why.c_str());
    }
    if (result.inserted > 0) {
        result.saved = written;
        if (notice) notice();
    }
    return result;
}

ScheduleDownloadResult RunScheduleDownload(HttpClient& http, Scheduler& scheduler,
                                           const ScheduleNotice& notice) {
    ScheduleDownloadResult result;
    if (g_scheduleBusy.exchange(true)) {
        Trace(kTraceDebug, "Schedule request while working schedule request");
        result.code = -1;
        return result;
    }
    const BusyGuard busy;
    TraceThreadBegin("schedule");

    ConfigStore config;
    config.Load();
    const TimeCheckResult check = RunAutoTimeCheck(http, ConfigValue(config, "TimeCheckURL"));
    if (!check.ok || !IsPlausibleClockDifference(check.difference)) {
        AddEvent(LoadTranslatedString(kStrTimecheckScheduleFailed));
        Trace(kTraceDebug, "Aborting Schedule Request because no time check succeeded");
        TraceThreadEnd("schedule");
        result.code = 1;
        return result;
    }
    result.difference = check.difference;
    StoreTimeDifference(check.difference);
    Trace(kTraceInfo, "Launching ScheduleList request");

    std::string country = ConfigValue(config, "CountryCode");
    if (country.empty()) country = "49";
    HttpForm form;
    form.Add("lang", "german").Add("country", country).Add("a", "download");
    const HttpResult answer = http.PostForm(ConfigValue(config, "ScheduleURL") + "?a=download", form);
    if (answer.outcome != HttpResult::Outcome::kOk || answer.status != 200) {
        Trace(kTraceError, "Schedule request failed (status %d) %s", answer.status,
              answer.error.c_str());
    } else {
        result.answered = true;
        result.parse = ParseScheduleReqResult(scheduler, answer.lines, check.difference, notice);
    }
    TraceThreadEnd("schedule");
    return result;
}

}  // namespace wk
