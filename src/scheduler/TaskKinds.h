#pragma once
// The four kinds of schedule task.
//
// Line layouts of schedule.txt (positions from 0; dates DD/MM/YYYY, times
// hh:mm:ss, zero-padded; the text part is "stream TAB description"):
//   O  "O DD/MM/YYYY  hh:mm:ss -> DD/MM/YYYY  hh:mm:ss text"  text from 47
//   D  "D hh:mm:ss -> hh:mm:ss text"                          text from 23
//   W  "W hh:mm:ss -> hh:mm:ss d Name           text"        digit at 23,
//      weekday name from 25 padded with blanks to 39, text from 40
// Daily and weekly lines carry no date: reading one dates it today.

#include <atomic>

#include "scheduler/ScheduleTask.h"

namespace wk {

// Records one period.
class OnceTask : public ScheduleTask {
public:
    static constexpr size_t kFixedLength = 47;

    size_t LineBufferLength() const override { return 176; }
    std::string WriteLine() const override;
    bool ParseLine(std::string_view line) override;
    std::unique_ptr<ScheduleTask> Clone() const override;
    bool IsActive(const DateTime& t) const override;
    bool Advance(const DateTime& now) override;
    char Kind() const override { return 'O'; }
    int Recurrence() const override { return 0; }
    const char* KindName() const override { return "Once"; }
};

// Records the same time of day every day.
class DailyTask : public ScheduleTask {
public:
    static constexpr size_t kFixedLength = 23;

    size_t LineBufferLength() const override { return 152; }
    std::string WriteLine() const override;
    bool ParseLine(std::string_view line) override;
    std::unique_ptr<ScheduleTask> Clone() const override;
    bool IsActive(const DateTime& t) const override;
    bool Advance(const DateTime& now) override;
    char Kind() const override { return 'D'; }
    int Recurrence() const override { return 1; }
    const char* KindName() const override { return "Daily"; }
};

// Records the same time of day on one day of the week.
class WeeklyTask : public ScheduleTask {
public:
    static constexpr size_t kFixedLength = 40;

    size_t LineBufferLength() const override { return 170; }
    std::string WriteLine() const override;
    bool ParseLine(std::string_view line) override;
    std::unique_ptr<ScheduleTask> Clone() const override;
    bool IsActive(const DateTime& t) const override;
    bool Advance(const DateTime& now) override;
    char Kind() const override { return 'W'; }
    int Recurrence() const override { return 2; }
    const char* KindName() const override { return "Weekly"; }

    void SetWeekday(int weekday) { m_weekday = weekday; }

    // The translated name of a weekday, "Error" outside 0..6.
    static std::string WeekdayName(int weekday);
};

// A recording started and stopped by hand: active exactly while its flag is
// set, whatever the time. It lives only in memory and is never saved.
class SwitchedTask : public OnceTask {
public:
    size_t LineBufferLength() const override { return 0; }
    std::string WriteLine() const override { return {}; }
    std::unique_ptr<ScheduleTask> Clone() const override;
    bool IsActive(const DateTime& t) const override;
    char Kind() const override { return 'C'; }

    // The flag may be flipped by a thread that does not hold the scheduler's lock.
    void SetSwitchedOn(bool on) { m_on.store(on, std::memory_order_release); }
    bool IsSwitchedOn() const { return m_on.load(std::memory_order_acquire); }

private:
    std::atomic<bool> m_on{false};
};

}  // namespace wk
