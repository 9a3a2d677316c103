#pragma once
// Replacing a file's contents without a moment in which it is cut short, and
// the owner of a stdio stream.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace wk {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f != nullptr) std::fclose(f);
    }
};
// Closes the stream when it goes; a caller that must know whether buffered
// data reached the file closes it itself: std::fclose(file.release()).
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The size of the open file, 0 when it cannot be told.
int64_t FileLength(std::FILE* f);

// fwrite of all `size` bytes; false when any could not be written.
bool WriteAll(std::FILE* out, const void* data, size_t size);

// Writes `bytes` to a new file beside `path` (a name no other writer uses),
// flushes it to disk and renames it over `path`. On any failure the old file
// stays as it was, the new one is removed, a trace line says why, and the
// result is false. The new file gets `mode` (less the umask): 0600 for files
// that hold secrets.
bool ReplaceFileContents(const std::string& path, std::string_view bytes, unsigned mode = 0644);

}  // namespace wk
