#pragma once
// Replacing a file's contents without a moment in which it is cut short.

#include <string>
#include <string_view>

namespace wk {

// Writes `bytes` to a new file beside `path` (a name no other writer uses),
// flushes it to disk and renames it over `path`. On any failure the old file
// stays as it was, the new one is removed, a trace line says why, and the
// result is false. The new file gets `mode` (less the umask): 0600 for files
// that hold secrets.
bool ReplaceFileContents(const std::string& path, std::string_view bytes, unsigned mode = 0644);

}  // namespace wk
