#pragma once
// Deleting recordings from a stream folder: a marked stretch of time, or
// everything. Asking the user and making sure nothing is playing or being
// recorded into the folder are the caller's part.
//
// Threading: none inside; one caller per folder at a time.

#include <string>

#include "core/DateTime.h"

namespace wk {

// What the empty store's description file holds.
inline constexpr const char* kDescriptionFileName = "desc.des";
inline constexpr const char* kEmptyDescription = "# 0.9\r\n# \r\n# \r\n";
// How far a mark that begins outside every session moves per step when the
// caller gives no step.
inline constexpr StreamTime kDefaultDeleteStepMs = 10'000;

// Deletes every chunk (with its ".dat" and ".fgp") lying wholly inside
// [markStart, markEnd], of the file type of the session found at markStart;
// a mark beginning outside every session moves forward in steps of stepMs
// until a session holds it or it reaches markEnd. The current session's
// chunks are never touched. After a deletion the folder is renumbered
// (ReloadStream), whose MoveError reaches the caller. Returns the number of
// chunks deleted.
int DeleteMarkedStretch(const std::string& folder, StreamTime markStart, StreamTime markEnd,
                        StreamTime stepMs = kDefaultDeleteStepMs);

// Removes every file of the folder (sub-folders stay; a file that cannot be
// removed is passed over) and writes the empty description file. An empty
// folder text is reported (string kStrStreamPathNotSelected) and gives false,
// as does a description file that cannot be written (reported too).
bool DeleteWholeStream(const std::string& folder);

}  // namespace wk
