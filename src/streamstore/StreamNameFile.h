#pragma once
// The stream list: "StreamFileNames.txt" in the stream root (config
// "StreamPath"; the program home when that is empty), and one folder per
// stream under that root.
//
// Byte layout: one line per stream ended by "\r\n" ("\n" alone is read
// too), ten fields separated by one TAB:
//   name, "One" (radio) or "Two" (music TV), silence minimum, shortest track,
//   longest track, silence sensitivity, tuner channel, service number,
//   active, covered until (decimal 64-bit).
// Reading trims blanks around every field, takes "One" in any case as radio
// and anything else as music TV, reads numbers like atoi (clamped), and
// accepts lines without the last field. Lines with fewer than nine fields
// are skipped, as are lines whose name begins with "/" (comments). Records
// with an empty name are never written.
//
// Threading: none inside; each thread works on its own instance.

#include <memory>
#include <string>
#include <vector>

#include "streamstore/StreamRecord.h"

namespace wk {

class StreamNameFile {
public:
    static constexpr const char* kFileName = "StreamFileNames.txt";
    static constexpr const char* kDefaultStream = "Default";

    // Empties the list and reads `path` (the standard file when empty),
    // creating each stream's folder. When no record is named exactly
    // "Default" afterwards, the Default stream is appended, its folder
    // created and config "ActiveStream" reset. Returns whether the file was
    // read; a missing file still yields the Default stream.
    bool load(const std::string& path = {});
    // Writes every named record to the standard file through a temporary
    // file, so a crash leaves the old list or the new one, never a part.
    bool save() const;
    // Merges the web service's channel list: lines of at least three
    // TAB-separated fields (name, "One" for radio, service number), any line
    // ends. A name is acceptable when it is not empty, holds no '<', '>',
    // '/' or '\\' (blanks around fields are trimmed); acceptable names not yet
    // in the list (case ignored) are appended, inactive, with tuner channel 0
    // and the Default stream's silence and track lengths. No folder is made.
    // Returns whether any line was acceptable.
    bool loadFromBuffer(const std::string& text);

    // Case ignored; Find gives the first match or nullptr.
    bool Contains(const std::string& name) const;
    StreamRecord* Find(const std::string& name);
    const StreamRecord* Find(const std::string& name) const;
    StreamRecord& AddCopy(const StreamRecord& record);
    // Removes the record `record` points at (one of this list's); false when
    // it is not in the list.
    bool Remove(const StreamRecord* record);

    // Makes every stream's folder under the stream root (the root too when
    // missing). Names that cannot be a single folder name ("", ".", "..",
    // holding "/") get none. False when any folder is missing afterwards.
    bool CreateFolders() const;

    // Appends a copy of each record of the list file `path` whose name
    // (with case) is not in this list yet, and makes its folder. Reading
    // the other file has no side effect. Returns how many were appended;
    // the caller saves.
    int ImportFrom(const std::string& path);

    // Records keep their address while they stay in the list.
    const std::vector<std::unique_ptr<StreamRecord>>& Records() const { return m_records; }

    // The folder that holds the list and the stream folders, with a
    // trailing '/'.
    static std::string StreamRoot();
    static std::string FilePath();  // StreamRoot() + kFileName
    static bool FileExists();
    // Whether `name` can be used as one folder name inside the stream root.
    static bool IsSafeFolderName(const std::string& name);

private:
    std::vector<std::unique_ptr<StreamRecord>> m_records;
};

}  // namespace wk
