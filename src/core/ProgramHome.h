#pragma once
// The program home: the one folder that holds everything the program keeps
// for itself (config.ini, events.txt, trace files, schedule.txt ...).
//
// Resolution, first match wins: SetProgramHome (the --home option),
// $WAVKEEP_HOME, $XDG_DATA_HOME/wavkeep, $HOME/.local/share/wavkeep.
// Any thread may read it; it is set once at start-up (and by test fixtures).

#include <iosfwd>
#include <string>

namespace wk {

// An empty text returns to the environment's choice.
void SetProgramHome(const std::string& folder);

// The program home with a trailing '/'.
std::string ProgramFolder();

// ProgramFolder() + name.
std::string ProgramFile(const std::string& name);

// Creates the program home (with missing parents; the home itself 0700, an
// existing one keeps its mode) and checks that files can be created in it.
// On failure returns false and says why in `error`.
bool PrepareProgramHome(std::string* error);

// Whether a --home option names a folder: given with an empty value it names
// none, which is a mistake rather than a wish for the default home; the
// message ("<program>: --home wants a folder ...") then goes to `err`.
bool HomeOptionUsable(bool given, const std::string& value, const char* program, std::ostream& err);

}  // namespace wk
