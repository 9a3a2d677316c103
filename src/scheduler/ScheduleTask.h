#pragma once
// One entry of the recording schedule: a period of a stream to record.
//
// Each kind writes itself as one line of schedule.txt and reads itself back
// from one. A task belongs to whoever holds it; tasks in the Scheduler's list
// are guarded by the Scheduler's lock.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/DateTime.h"

namespace wk {

// The longest "stream TAB description" text of a schedule line.
inline constexpr size_t kTaskTextLimit = 128;

class ScheduleTask {
public:
    virtual ~ScheduleTask() = default;
    ScheduleTask(const ScheduleTask&) = delete;
    ScheduleTask& operator=(const ScheduleTask&) = delete;

    // Bytes a line of this kind can take including a terminating NUL;
    // 0 for a kind that is never written.
    virtual size_t LineBufferLength() const = 0;
    // The schedule.txt line without its line end; empty for a kind that is
    // never written.
    virtual std::string WriteLine() const = 0;
    // Reads a line of this kind (its kind letter included). False, with the
    // task unchanged, when the line is too short or a field is not a valid
    // date, time or weekday.
    virtual bool ParseLine(std::string_view line) = 0;
    // Same kind, stream, description, start and end (and the kind's own
    // fields); the status code starts over at 0.
    virtual std::unique_ptr<ScheduleTask> Clone() const = 0;

    virtual bool IsActive(const DateTime& t) const = 0;
    // Moves a recurring task to its next occurrence after `now`; false (and
    // no change) for tasks that happen once.
    virtual bool Advance(const DateTime& now) = 0;

    virtual char Kind() const = 0;
    virtual int Recurrence() const = 0;  // 0 once, 1 daily, 2 weekly
    virtual const char* KindName() const = 0;
    virtual const std::string& Description() const { return m_description; }

    void SetDescription(std::string text) { m_description = std::move(text); }
    const std::string& StreamName() const { return m_streamName; }
    void SetStreamName(std::string name) { m_streamName = std::move(name); }
    const DateTime& Start() const { return m_start; }
    void SetStart(const DateTime& t) { m_start = t; }
    const DateTime& End() const { return m_end; }
    void SetEnd(const DateTime& t) { m_end = t; }
    // 0 until evaluated; see Scheduler::EvaluateStatus for the codes.
    int32_t StatusCode() const { return m_statusCode; }
    void SetStatusCode(int32_t code) { m_statusCode = code; }
    // 0 Sunday .. 6 Saturday; only weekly tasks use it.
    int Weekday() const { return m_weekday; }

protected:
    ScheduleTask() = default;

    // "stream TAB description", cut to kTaskTextLimit.
    std::string TextPart() const;
    // Splits at the first TAB; without one all of it is the stream name.
    void ParseTextPart(std::string_view text);
    // Copies the fields every kind shares into a fresh clone.
    void CopyCommonTo(ScheduleTask& other) const;
    // Gives start and end the date of `day`, keeping their times.
    void SetDates(const DateTime& day);
    // Moves start and end by whole days of stream time.
    void AddDays(int days);

    int m_weekday = 0;

private:
    std::string m_description;
    std::string m_streamName;
    DateTime m_start;
    DateTime m_end;
    int32_t m_statusCode = 0;
};

}  // namespace wk
