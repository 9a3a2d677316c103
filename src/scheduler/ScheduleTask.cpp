#include "scheduler/ScheduleTask.h"

namespace wk {

namespace {

// A line end inside the text would split the task over two lines of the
// file, and the second would read as garbage.
void AppendOnOneLine(std::string& out, const std::string& text) {
    for (const char c : text) out += (c == '\n' || c == '\r') ? ' ' : c;
}

}  // namespace

std::string ScheduleTask::TextPart() const {
    std::string text;
    AppendOnOneLine(text, m_streamName);
    text += '\t';
    AppendOnOneLine(text, m_description);
    // The line buffer leaves room for this much text; a longer stream name or
    // description is cut rather than overflowing it.
    if (text.size() > kTaskTextLimit) text.resize(kTaskTextLimit);
    return text;
}

void ScheduleTask::ParseTextPart(std::string_view text) {
    // Cut as when writing, so that a hand-edited long line reads back the
    // same task it will be saved as.
    text = text.substr(0, kTaskTextLimit);
    const size_t tab = text.find('\t');
    if (tab == std::string_view::npos) {
        m_streamName.assign(text);
        m_description.clear();
    } else {
        m_streamName.assign(text.substr(0, tab));
        m_description.assign(text.substr(tab + 1));
    }
}

void ScheduleTask::CopyCommonTo(ScheduleTask& other) const {
    other.m_description = m_description;
    other.m_streamName = m_streamName;
    other.m_start = m_start;
    other.m_end = m_end;
    other.m_weekday = m_weekday;
}

void ScheduleTask::SetDates(const DateTime& day) {
    for (DateTime* t : {&m_start, &m_end}) {
        t->year = day.year;
        t->month = day.month;
        t->day = day.day;
    }
}

void ScheduleTask::AddDays(int days) {
    // Stream time, not the C library's local time: a recording at 08:00
    // stays at 08:00 across a daylight-saving change.
    const StreamTime delta = static_cast<StreamTime>(days) * kMsPerDay;
    m_start = DateTime::FromStreamTime(m_start.ToStreamTime() + delta);
    m_end = DateTime::FromStreamTime(m_end.ToStreamTime() + delta);
}

}  // namespace wk
