#include "scheduler/TaskKinds.h"

#include "core/Clock.h"
#include "core/Translation.h"

namespace wk {

namespace {

// Blank-pads or cuts `line` to `length` with a blank last, so that the text
// part always starts at its fixed position even when a field of a damaged
// record (or a long translated weekday name) prints wider than its slot.
void FixLength(std::string& line, size_t length) {
    line.resize(length - 1, ' ');
    line += ' ';
}

DateTime ReadTime(std::string_view line, size_t pos, DateTime into) {
    return DateTime::ParseTimeText(line.substr(pos, 8), into);
}

DateTime TodayAtMidnight() {
    const DateTime now = GetClock().Now();
    return DateTime(now.year, now.month, now.day);
}

// Daily and weekly lines: "K hh:mm:ss -> hh:mm:ss", dated today.
bool ParseTimesDatedToday(std::string_view line, DateTime& start, DateTime& end) {
    const DateTime today = TodayAtMidnight();
    start = ReadTime(line, 2, today);
    end = ReadTime(line, 14, today);
    return start.IsValid() && end.IsValid();
}

void AppendTimes(std::string& line, char kind, const DateTime& start, const DateTime& end) {
    line += kind;
    line += ' ';
    line += start.TimeText();
    line += " -> ";
    line += end.TimeText();
    line += ' ';
}

}  // namespace

// --- OnceTask ---------------------------------------------------------------

std::string OnceTask::WriteLine() const {
    std::string line = "O ";
    line += Start().DateText();
    line += "  ";
    line += Start().TimeText();
    line += " -> ";
    line += End().DateText();
    line += "  ";
    line += End().TimeText();
    FixLength(line, kFixedLength);
    line += TextPart();
    return line;
}

bool OnceTask::ParseLine(std::string_view line) {
    if (line.size() < kFixedLength) return false;
    const DateTime start = ReadTime(line, 14, DateTime::ParseDateText(line.substr(2, 10)));
    const DateTime end = ReadTime(line, 38, DateTime::ParseDateText(line.substr(26, 10)));
    // Fields that do not make a date are skipped rather than loaded as a
    // task that would record at some garbage time.
    if (!start.IsValid() || !end.IsValid()) return false;
    SetStart(start);
    SetEnd(end);
    ParseTextPart(line.substr(kFixedLength));
    return true;
}

std::unique_ptr<ScheduleTask> OnceTask::Clone() const {
    auto copy = std::make_unique<OnceTask>();
    CopyCommonTo(*copy);
    return copy;
}

bool OnceTask::IsActive(const DateTime& t) const {
    return Start() <= t && t < End();
}

bool OnceTask::Advance(const DateTime& /*now*/) {
    return false;
}

// --- DailyTask --------------------------------------------------------------

std::string DailyTask::WriteLine() const {
    std::string line;
    AppendTimes(line, 'D', Start(), End());
    FixLength(line, kFixedLength);
    line += TextPart();
    return line;
}

bool DailyTask::ParseLine(std::string_view line) {
    if (line.size() < kFixedLength) return false;
    DateTime start;
    DateTime end;
    if (!ParseTimesDatedToday(line, start, end)) return false;
    SetStart(start);
    SetEnd(end);
    ParseTextPart(line.substr(kFixedLength));
    return true;
}

std::unique_ptr<ScheduleTask> DailyTask::Clone() const {
    auto copy = std::make_unique<DailyTask>();
    CopyCommonTo(*copy);
    return copy;
}

bool DailyTask::IsActive(const DateTime& t) const {
    return Start() <= t && t < End();
}

bool DailyTask::Advance(const DateTime& now) {
    const DateTime tomorrow = DateTime::FromStreamTime(now.ToStreamTime() + kMsPerDay);
    if (tomorrow > End()) SetDates(tomorrow);
    return true;
}

// --- WeeklyTask -------------------------------------------------------------

std::string WeeklyTask::WeekdayName(int weekday) {
    if (weekday < 0 || weekday > 6) return "Error";
    return LoadTranslatedString(kStrSunday + weekday);
}

std::string WeeklyTask::WriteLine() const {
    std::string line;
    AppendTimes(line, 'W', Start(), End());
    // One character: a weekday the editor got wrong must not shift the layout.
    line += (m_weekday >= 0 && m_weekday <= 9) ? static_cast<char>('0' + m_weekday) : '?';
    line += ' ';
    line += WeekdayName(m_weekday);
    FixLength(line, kFixedLength);
    line += TextPart();
    return line;
}

bool WeeklyTask::ParseLine(std::string_view line) {
    if (line.size() < kFixedLength) return false;
    DateTime start;
    DateTime end;
    if (!ParseTimesDatedToday(line, start, end)) return false;
    const char digit = line[23];
    // Another digit would make a task that never records.
    if (digit < '0' || digit > '6') return false;
    SetStart(start);
    SetEnd(end);
    m_weekday = digit - '0';
    ParseTextPart(line.substr(kFixedLength));
    return true;
}

std::unique_ptr<ScheduleTask> WeeklyTask::Clone() const {
    auto copy = std::make_unique<WeeklyTask>();
    CopyCommonTo(*copy);
    return copy;
}

bool WeeklyTask::IsActive(const DateTime& t) const {
    return Start() <= t && t < End() && t.WeekDay() == m_weekday;
}

bool WeeklyTask::Advance(const DateTime& now) {
    SetDates(now);
    const int today = now.WeekDay();
    int days = 0;
    if (m_weekday == today) {
        if (now > End()) days = 7;
    } else if (m_weekday < today) {
        days = m_weekday - today + 7;
    } else {
        days = m_weekday - today;
    }
    AddDays(days);
    return true;
}

// --- SwitchedTask -----------------------------------------------------------

std::unique_ptr<ScheduleTask> SwitchedTask::Clone() const {
    auto copy = std::make_unique<SwitchedTask>();
    CopyCommonTo(*copy);
    copy->SetSwitchedOn(IsSwitchedOn());
    return copy;
}

bool SwitchedTask::IsActive(const DateTime& /*t*/) const {
    return IsSwitchedOn();
}

}  // namespace wk
