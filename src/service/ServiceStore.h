#pragma once
// The service's database: one SQLite file ("service.db", WAL mode) in the data
// folder holding every description the service serves, indexed by stream and
// start, so a playlist answer is one index range lookup.
//
// Each description file of a stream (a seeded file or an upload) is one row
// of `files` (name, trusted marker); its records are rows of `descriptions`
// in the file's order, each kept as its description line. A stream folder
// (streams/<stream>/*.des) is taken in by name: a name the database does not
// know is read and added once, a name whose file is gone is dropped, a known
// file is never read again (the files are never changed by the store).
// Uploads are kept here alone, with their text, and never dropped by the
// folder.
//
// Thread safety: every operation may run on any thread; one connection,
// used under one lock, with a busy timeout for other processes sharing it.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "descriptions/Description.h"

struct sqlite3;

namespace wk {

class ServiceStore {
public:
    static constexpr const char* kFileName = "service.db";

    // One file of a stream as the store keeps it.
    struct Source {
        std::string name;
        bool trusted = false;
        std::vector<Description> records;  // in the file's order
    };

    // `folder` ends with '/'. Nothing is opened or created before first use.
    explicit ServiceStore(std::string folder);
    ~ServiceStore();
    ServiceStore(const ServiceStore&) = delete;
    ServiceStore& operator=(const ServiceStore&) = delete;

    // Takes in the stream's folder `streamFolder` (see above). False when the
    // database cannot be used.
    bool SyncFolder(const std::string& stream, const std::string& streamFolder);

    // The stream's files holding a record overlapping [start, end] (record
    // end >= start and record start <= end), trusted ones first, then by
    // name; each with just those records. Nothing when the database fails.
    std::optional<std::vector<Source>> Overlapping(const std::string& stream, StreamTime start,
                                                   StreamTime end);

    // Adds a file of the stream from its text; false when the database fails.
    bool AddFile(const std::string& stream, const std::string& name, const std::string& text);

    // Adds an upload of the stream, kept with its text; its name is `prefix`
    // with the first free number 000..999 and ".des". The name, or nothing
    // when the database fails or every number is taken.
    std::optional<std::string> AddUpload(const std::string& stream, const std::string& prefix,
                                         const std::string& text);
    // The stream's uploads, name and text, by name; nothing when the
    // database fails.
    std::optional<std::vector<std::pair<std::string, std::string>>> Uploads(const std::string& stream);

    // Whether the database file exists (nothing creates it here).
    bool Exists() const;

    // Accounts: login and password hash. Once any account was stored the
    // store counts as having accounts, even after the last is removed.
    bool SetAccounts(const std::vector<std::pair<std::string, std::string>>& loginHashes);
    // Whether it was there; nothing when the database fails.
    std::optional<bool> RemoveAccount(const std::string& login);
    std::optional<std::vector<std::string>> AccountLogins();
    // The hash, "" for no such account; nothing when the database fails.
    std::optional<std::string> AccountHash(const std::string& login);
    std::optional<bool> HasAccounts();

    // The last database error, for the log.
    std::string LastError() const;

private:
    bool OpenLocked();
    bool ExecLocked(const char* sql);
    bool AddUploadColumnsLocked();
    bool AddFileLocked(const std::string& stream, const std::string& name, const std::string& text,
                       bool upload);
    bool RemoveFileLocked(int64_t id);
    // The stream's files taken from its folder: name and id.
    std::optional<std::map<std::string, int64_t>> FolderFilesLocked(const std::string& stream);

    std::string m_folder;
    mutable std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    bool m_failed = false;
    std::string m_error;
    // Per stream: the folder's change time when it was last taken in, -1
    // for no folder.
    std::map<std::string, int64_t> m_folderStamps;
};

}  // namespace wk
