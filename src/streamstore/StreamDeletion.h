#pragma once
// Deleting recordings from a stream folder: a marked stretch of time, or
// everything. Asking the user and making sure nothing is playing are the
// caller's part. The session being recorded into the folder, by this process
// or another (RecordedSessionIn), is never touched.
//
// Threading: any thread; each operation holds the streams lock
// (RecordingMarker.h) from listing the folder to its last rename, so that
// processes deleting in one home take turns and a recorder cannot begin a
// session half-way through.

#include <stdexcept>
#include <string>

#include "core/DateTime.h"

namespace wk {

// What the empty store's description file holds.
inline constexpr const char* kDescriptionFileName = "desc.des";
inline constexpr const char* kEmptyDescription = "# 0.9\r\n# \r\n# \r\n";

// The streams lock could not be had: another process kept changing the
// stream folders for longer than a writer waits. Nothing was deleted.
class StreamsBusyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Deletes every chunk (".mp3" or ".ogg", with its ".dat" and ".fgp") lying
// wholly inside [markStart, markEnd], wherever the mark begins (in a gap,
// before a session, on a chunk that is missing). The chunks of the session
// being recorded stay, whatever the mark; `sparedSession` (when given)
// receives its name when some of them lay inside the mark. Afterwards the
// sessions that lost chunks, and only they, are renumbered (ReloadStream),
// whose MoveError reaches the caller. Returns the number of chunks deleted.
// Throws StreamsBusyError.
int DeleteMarkedStretch(const std::string& folder, StreamTime markStart, StreamTime markEnd,
                        std::string* sparedSession = nullptr);

// Removes every file of the folder (sub-folders stay; a file that cannot be
// removed is passed over) except those of the session being recorded, whose
// name `keptSession` (when given) receives, and writes the empty
// description file. An empty folder text is reported (string
// kStrStreamPathNotSelected) and gives false, as does a description file
// that cannot be written (reported too). Throws StreamsBusyError.
bool DeleteWholeStream(const std::string& folder, std::string* keptSession = nullptr);

}  // namespace wk
