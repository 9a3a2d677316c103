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
// are skipped, as are lines whose name begins with "/" (comments) and names
// that cannot be one folder name ("." , "..", a '/', more than 255 bytes).
// A listed name is what remains after the trimming: " x" is the stream "x".
// Records with an empty name are never written.
//
// New names (the service's channels, "streams add", imports, recording into
// a stream not listed yet) must pass NewNameProblem: one folder name without
// control characters or outer blanks, and no other spelling of a listed
// name, since lookups by name ignore case and one name must be one folder.
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
    // ends. A name is acceptable when it holds no '<', '>' or '\\' and
    // NameProblem finds nothing (blanks around fields are trimmed);
    // acceptable names not yet in the list (case ignored) are appended,
    // inactive, with tuner channel 0 and the Default stream's silence and
    // track lengths. No folder is made. Every other name is traced and, when
    // `skipped` is given, described there (one line each, printable).
    // Returns whether any line was acceptable.
    bool loadFromBuffer(const std::string& text, std::vector<std::string>* skipped = nullptr);

    // Case ignored; Find gives the first match or nullptr.
    bool Contains(const std::string& name) const;
    StreamRecord* Find(const std::string& name);
    const StreamRecord* Find(const std::string& name) const;
    StreamRecord& AddCopy(const StreamRecord& record);
    // Removes the record `record` points at (one of this list's); false when
    // it is not in the list.
    bool Remove(const StreamRecord* record);

    // Makes every named stream's folder under the stream root (the root too
    // when missing). Names that cannot be a single folder name (".", "..",
    // holding "/") get none. False when any folder is missing afterwards.
    bool CreateFolders() const;

    // Appends a copy of each record of the list file `path` whose name is
    // not in this list yet, and makes its folder. Names NewNameProblem
    // refuses (another spelling of a listed name among them) are traced and
    // described in `skipped` when given. Reading the other file has no side
    // effect. Returns how many were appended; the caller saves.
    int ImportFrom(const std::string& path, std::vector<std::string>* skipped = nullptr);

    // Longest name a new stream may have: a scheduled task keeps its stream
    // name and its description within 128 characters.
    static constexpr size_t kMaxNewNameBytes = 127;
    // Why `name` cannot be a new stream's name, "" when it can: it must be
    // one folder name, hold no control character, neither begin nor end
    // with a blank and be at most kMaxNewNameBytes long.
    static std::string NameProblem(const std::string& name);
    // NameProblem, or the listed stream that `name` spells otherwise (the
    // same letters in other case).
    std::string NewNameProblem(const std::string& name) const;
    // `name` for a message line: control characters as '?', long names cut.
    static std::string ShownName(const std::string& name);

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
