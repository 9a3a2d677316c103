#pragma once
// The lock a command takes around its read-modify-write of a file that the
// daemon or another command may change at the same time (the stream list,
// schedule.txt): held from the fresh read to the end of the write.

#include <iosfwd>
#include <string>

#include "core/FileLock.h"

namespace wk {

// Takes the lock of the file at `path`; false, with a "wavkeep: " line on
// `err` saying which file and why, when it cannot be had in time.
bool LockFileForCommand(FileLock& lock, const std::string& path, std::ostream& err);

}  // namespace wk
