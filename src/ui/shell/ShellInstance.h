#pragma once
// One window per program home. Before the desktop shell builds its
// application object it looks at who holds the home's lock:
//  - nobody: this start goes on;
//  - another window ("gui"): the description file given is handed over
//    ("open PATH"), else the window is asked to show itself ("raise"); this
//    start ends with 0 when the window answered;
//  - the daemon ("run"): the user is asked whether to stop it and take over.
//    Yes: the daemon is stopped (it finishes its recording's last chunk and
//    saves what it holds) and this start goes on, the window records from
//    then on. No: the description file, if any, goes to the daemon, which
//    keeps recording; this start ends;
//  - "wavkeep record": it is said who records, and this start ends with 1.
// Nothing recorded is lost either way: the daemon's own stop closes its
// recording as "wavkeep stop" does.
//
// Threading: GUI thread, before the window exists (the prompt may block).

#include <string>

namespace wk {
class UserPrompt;
}

namespace wk::ui {

struct ShellInstanceDecision {
    bool proceed = false;  // build the application and the window
    int exitCode = 0;      // when not
};

inline constexpr const char* kTakeOverQuestion =
    "wavkeep already records in this home without a window (%1).\n"
    "Stop it and record in this window from now on?";

ShellInstanceDecision DecideShellInstance(const std::string& descriptionFile, UserPrompt& prompt);

}  // namespace wk::ui
