#pragma once
// The window's command line as data: the shell's parser is built from it,
// and so is wavkeep-gui's manual page (with the "render" command), so the
// two say the same. No toolkit.

#include <array>

namespace wk::ui {

struct GuiOption {
    const char* name;       // long name, without "--"
    const char* valueName;  // what the value is: DIR, INPUT, FILE
    const char* help;
};

inline constexpr const char* kGuiDescription =
    "The wavkeep window: records, schedules and downloads as \"wavkeep run\" does, and shows the "
    "streams, their descriptions and the schedule.\n"
    "\"wavkeep-gui render --help\": draw a stream's time line into a PNG without a display.";

inline constexpr std::array<GuiOption, 3> kGuiOptions{{
    {"home", "DIR", "Program home (default: $WAVKEEP_HOME, else ~/.local/share/wavkeep)"},
    {"input", "INPUT", "Capture input as \"wavkeep run\" takes it"},
    {"screenshot", "DIR", "Write a PNG of each view into DIR and exit"},
}};

inline constexpr const char* kGuiFileArgument = "FILE.des";
inline constexpr const char* kGuiFileHelp = "A description file to open";

}  // namespace wk::ui
