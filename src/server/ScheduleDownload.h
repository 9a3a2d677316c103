#pragma once
// The schedule download: recording tasks published by the service, inserted
// into the scheduler when they collide with none of its tasks.
//
// Request: a form POST of lang, country and a=download to "ScheduleURL" +
// "?a=download", made only after an automatic time check against
// "TimeCheckURL" succeeded. Answer: task lines in the layout of schedule.txt
// (kinds O, D and W) with every time in server time; other lines are ignored.
//
// Threads: RunScheduleDownload blocks until the answer is processed and may
// be called from any thread; the scheduler is changed under its lock, so the
// recording controller may read it meanwhile.

#include <functional>
#include <string>
#include <vector>

namespace wk {

class HttpClient;
class Scheduler;

// Called (on the thread that ran the download) after new tasks were inserted
// and schedule.txt saved. The program wires it to a post of the
// "present new schedule" message to the notification window and to the
// refresh of the schedule view; it must not block.
using ScheduleNotice = std::function<void()>;

struct ScheduleParseResult {
    int inserted = 0;
    int skipped = 0;   // task lines dropped: start after end, or colliding
    bool saved = false;
    std::string error;  // why schedule.txt could not be read or written; empty when fine
};

// Processes the answer lines. `difference` is server minus local clock in
// seconds; every served time is moved back by it (truncated to the
// millisecond) before the collision test. A task collides with an existing one
// when their periods overlap or touch, compared to the second. Saves
// schedule.txt and calls `notice` only when at least one task was inserted.
ScheduleParseResult ParseScheduleReqResult(Scheduler& scheduler,
                                           const std::vector<std::string>& lines,
                                           double difference,
                                           const ScheduleNotice& notice = {});

struct ScheduleDownloadResult {
    // -1 another download was running (nothing done), 1 the time check
    // failed (event 61480 added, no request sent), 0 otherwise.
    int code = 0;
    bool answered = false;  // a 200 answer arrived and was processed
    double difference = 0;  // seconds, server minus local, when measured
    ScheduleParseResult parse;
};

// One complete run: time check, request, processing of the answer. A failed
// request is only traced; the next run tries again.
ScheduleDownloadResult RunScheduleDownload(HttpClient& http, Scheduler& scheduler,
                                           const ScheduleNotice& notice = {});

}  // namespace wk
