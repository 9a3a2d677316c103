#pragma once

namespace wk::ui {

// Runs the window (or, with --screenshot, writes PNGs of it) from
// wavkeep-gui's command line; the exit code of the program.
int RunShell(int argc, char** argv);

}  // namespace wk::ui
