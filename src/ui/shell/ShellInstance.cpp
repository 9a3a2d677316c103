#include "ui/shell/ShellInstance.h"

#include <sstream>

#include "platform/ControlChannel.h"
#include "app/DaemonCommand.h"
#include "platform/InstanceLock.h"
#include "core/Trace.h"
#include "core/UserPrompt.h"

namespace wk::ui {
namespace {

std::string Replace(std::string text, const std::string& what, const std::string& with) {
    const size_t at = text.find(what);
    if (at != std::string::npos) text.replace(at, what.size(), with);
    return text;
}

// The .des goes to whoever runs; false (the reason shown) when it did not.
bool HandOver(const std::string& file, UserPrompt& prompt) {
    std::string why;
    if (HandOverDescriptionFile(file, &why)) return true;
    prompt.Show(file + " was not opened: " + why, kMbOk | kMbIconStop);
    return false;
}

}  // namespace

ShellInstanceDecision DecideShellInstance(const std::string& descriptionFile, UserPrompt& prompt) {
    const auto running = FindRunningInstance();
    if (!running) return {true, 0};
    const std::string who = "pid " + std::to_string(running->pid);

    if (running->command == "gui") {
        Trace(kTraceInfo, "A window runs in this home already (%s): handing over", who.c_str());
        if (!descriptionFile.empty()) return {false, HandOver(descriptionFile, prompt) ? 0 : 1};
        if (SendControlRequest("raise").value_or("") == "ok\n") return {false, 0};
        prompt.Show("wavkeep runs in this home already (" + who + ") but does not answer.",
                    kMbOk | kMbIconStop);
        return {false, 1};
    }
    if (running->command == "record") {
        prompt.Show("\"wavkeep record\" records in this home (" + who +
                        "); start the window when it has finished.",
                    kMbOk | kMbIconStop);
        return {false, 1};
    }

    const int answer = prompt.Show(Replace(kTakeOverQuestion, "%1", who), kMbYesNo | kMbIconQuestion);
    if (answer != kIdYes) {
        if (!descriptionFile.empty()) return {false, HandOver(descriptionFile, prompt) ? 0 : 1};
        return {false, 0};
    }
    std::ostringstream out, err;
    if (RunStop(out, err) != 0 && FindRunningInstance()) {
        prompt.Show("The recorder did not stop: " + err.str(), kMbOk | kMbIconStop);
        return {false, 1};
    }
    Trace(kTraceInfo, "Took over from the daemon (%s)", who.c_str());
    return {true, 0};
}

}  // namespace wk::ui
