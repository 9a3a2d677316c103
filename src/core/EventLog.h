#pragma once
// The event log: what the user should see, kept in "events.txt" in the
// program home, one line per event:
//   "hh:mm:ss  DD/MM/YYYY  text\n"   (local time of the event, whole seconds)
// Lines from other platforms may end in "\r\n"; they read alike.
//
// Report with style 0 appends to the log silently (what worker threads use);
// any other style shows a message box through the UserPrompt.
// AddEvent may be called from any thread: each event is one write of the
// whole line to a file opened for appending, so lines never mix.

#include <mutex>
#include <string>
#include <vector>

namespace wk {

class EventLog {
public:
    static EventLog& Instance();

    // Opens (creating) events.txt in the program home for appending. Called at
    // start-up; AddEvent opens it on first use otherwise. False when it cannot
    // be opened: events are then shown but not stored.
    bool Open();
    void Close();
    bool IsOpen() const;
    std::string FilePath() const;

    void AddEvent(const std::string& text);
    // Asks string 61439 with Yes/No; unless the answer is No, empties the
    // file and the viewer text. Returns true when the events were deleted.
    bool ClearEvents();
    // Reads the file again into the viewer text: lines joined by "\r\n".
    void ShowEvents();
    std::string ViewerText() const;

    // The lines of events.txt without their line ends.
    std::vector<std::string> ReadLines() const;

    // "hh:mm:ss  DD/MM/YYYY  text" for the process clock's now (no line end).
    static std::string FormatLine(const std::string& text);

private:
    EventLog() = default;
    bool OpenLocked();

    mutable std::mutex m_mutex;
    int m_fd = -1;
    std::string m_path;
    std::string m_viewerText;
};

int Report(const std::string& text, int style = 0, int helpContext = 0);
int ReportId(int stringId, int style = 0, int helpContext = 0);
inline void AddEvent(const std::string& text) { EventLog::Instance().AddEvent(text); }
inline bool ClearEvents() { return EventLog::Instance().ClearEvents(); }
inline void ShowEvents() { EventLog::Instance().ShowEvents(); }

}  // namespace wk
