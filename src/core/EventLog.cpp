#include "core/EventLog.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

#include "core/Clock.h"
#include "core/ProgramHome.h"
#include "core/Trace.h"
#include "core/Translation.h"
#include "core/UserPrompt.h"

namespace wk {

EventLog& EventLog::Instance() {
    static EventLog log;
    return log;
}

std::string EventLog::FormatLine(const std::string& text) {
    const DateTime now = GetClock().Now();
    char head[32];
    std::snprintf(head, sizeof head, "%02d:%02d:%02d  %02d/%02d/%04d  ", now.hour, now.minute,
                  now.second, now.day, now.month, now.year);
    return head + text;
}

bool EventLog::OpenLocked() {
    if (m_fd >= 0) ::close(m_fd);
    m_path = ProgramFile("events.txt");
    m_fd = ::open(m_path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        Trace(kTraceError, "Cannot open the event log %s (errno %d)", m_path.c_str(), errno);
        return false;
    }
    // A log cut short (or written elsewhere) may lack its final line end; the
    // next event must not run on into that line.
    char last = '\n';
    const off_t size = ::lseek(m_fd, 0, SEEK_END);
    if (size > 0 && ::pread(m_fd, &last, 1, size - 1) == 1 && last != '\n')
        [[maybe_unused]] ssize_t n = ::write(m_fd, "\n", 1);
    return true;
}

bool EventLog::Open() {
    std::lock_guard lock(m_mutex);
    return OpenLocked();
}

void EventLog::Close() {
    std::lock_guard lock(m_mutex);
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_path.clear();
    m_viewerText.clear();
}

bool EventLog::IsOpen() const {
    std::lock_guard lock(m_mutex);
    return m_fd >= 0;
}

std::string EventLog::FilePath() const {
    std::lock_guard lock(m_mutex);
    return m_path.empty() ? ProgramFile("events.txt") : m_path;
}

void EventLog::AddEvent(const std::string& text) {
    const std::string line = FormatLine(text);
    std::lock_guard lock(m_mutex);
    if (m_fd < 0 && m_path.empty()) OpenLocked();
    if (!m_viewerText.empty()) m_viewerText += "\r\n";
    m_viewerText += line;
    if (m_fd < 0) return;
    const std::string bytes = line + "\n";
    if (::write(m_fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        Trace(kTraceError, "Cannot write to the event log %s", m_path.c_str());
}

bool EventLog::ClearEvents() {
    if (GetUserPrompt().Show(LoadTranslatedString(kStrConfirmDeleteEvents),
                             kMbYesNo | kMbIconQuestion) == kIdNo)
        return false;
    std::lock_guard lock(m_mutex);
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    const std::string path = m_path.empty() ? ProgramFile("events.txt") : m_path;
    std::remove(path.c_str());
    OpenLocked();
    m_viewerText.clear();
    return true;
}

std::vector<std::string> EventLog::ReadLines() const {
    std::vector<std::string> lines;
    std::ifstream in(FilePath(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

void EventLog::ShowEvents() {
    std::string text;
    for (const auto& line : ReadLines()) {
        if (!text.empty()) text += "\r\n";
        text += line;
    }
    std::lock_guard lock(m_mutex);
    m_viewerText = std::move(text);
}

std::string EventLog::ViewerText() const {
    std::lock_guard lock(m_mutex);
    return m_viewerText;
}

int Report(const std::string& text, int style, int /*helpContext*/) {
    if (style == 0) {
        EventLog::Instance().AddEvent(text);
        return 1;
    }
    return GetUserPrompt().Show(text, style);
}

int ReportId(int stringId, int style, int helpContext) {
    return Report(LoadTranslatedString(stringId), style, helpContext);
}

}  // namespace wk
