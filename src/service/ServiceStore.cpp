#include "service/ServiceStore.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>

#include "descriptions/DescriptionStore.h"

namespace wk {

namespace fs = std::filesystem;

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kMaxUploadsPerPrefix = 1000;
constexpr size_t kMaxKnownFolders = 10000;
// A folder changed this recently may change again within the file system's
// time stamp granularity without its stamp moving: read it again next time.
constexpr int64_t kSettledNs = 2'000'000'000;

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS files(
  id INTEGER PRIMARY KEY,
  stream TEXT NOT NULL,
  name TEXT NOT NULL,
  trusted INTEGER NOT NULL,
  upload INTEGER NOT NULL DEFAULT 0,
  text BLOB,
  UNIQUE(stream, name));
CREATE TABLE IF NOT EXISTS descriptions(
  file INTEGER NOT NULL,
  stream TEXT NOT NULL,
  seq INTEGER NOT NULL,
  start INTEGER NOT NULL,
  end INTEGER NOT NULL,
  line TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS descriptions_by_time ON descriptions(stream, start);
CREATE INDEX IF NOT EXISTS descriptions_by_file ON descriptions(file);
CREATE TABLE IF NOT EXISTS accounts(
  login TEXT PRIMARY KEY,
  hash TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS settings(
  key TEXT PRIMARY KEY,
  value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS streams(
  name TEXT PRIMARY KEY,
  longest INTEGER NOT NULL);
)";

// One prepared statement, finalised on scope exit.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool Ok() const { return m_stmt != nullptr; }
    sqlite3_stmt* Handle() const { return m_stmt; }
    Statement& Bind(int i, const std::string& text) {
        sqlite3_bind_text(m_stmt, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindBlob(int i, const std::string& bytes) {
        sqlite3_bind_blob(m_stmt, i, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Bind(int i, int64_t value) {
        sqlite3_bind_int64(m_stmt, i, value);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int Step() { return sqlite3_step(m_stmt); }
    bool Run() { return Step() == SQLITE_DONE; }
    int64_t Int(int column) const { return sqlite3_column_int64(m_stmt, column); }
    std::string Text(int column) const {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
        return text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(m_stmt, column)))
                    : std::string();
    }
    std::string Blob(int column) const {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(m_stmt, column));
        return bytes ? std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(m_stmt, column)))
                     : std::string();
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The folder's change time in ns, or -1 when it does not exist.
int64_t FolderStamp(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return -1;
    return int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec;
}

// The names of the folder's description files, as the folder layout counts
// them: regular files ending in ".des".
std::set<std::string> DescriptionFileNames(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() != ".des") continue;
        if (!it->is_regular_file(ec)) continue;
        names.insert(it->path().filename().string());
    }
    return names;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

ServiceStore::ServiceStore(std::string folder) : m_folder(std::move(folder)) {}

ServiceStore::~ServiceStore() {
    if (m_db) sqlite3_close(m_db);
}

std::string ServiceStore::LastError() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

bool ServiceStore::ExecLocked(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    m_error = message ? message : sqlite3_errmsg(m_db);
    sqlite3_free(message);
    return false;
}

bool ServiceStore::OpenLocked() {
    if (m_db) return true;
    const std::string path = m_folder + kFileName;
    if (sqlite3_open_v2(path.c_str(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        m_error = "cannot open " + path + ": " + (m_db ? sqlite3_errmsg(m_db) : "out of memory");
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    if (!ExecLocked("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") ||
        !ExecLocked(kSchema) || !AddUploadColumnsLocked()) {
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    return true;
}

bool ServiceStore::AddUploadColumnsLocked() {
    Statement columns(m_db, "SELECT 1 FROM pragma_table_info('files') WHERE name = 'upload'");
    if (!columns.Ok()) return false;
    if (columns.Step() == SQLITE_ROW) return true;
    // A database of the layout before uploads were kept here alone.
    return ExecLocked(
        "ALTER TABLE files ADD COLUMN upload INTEGER NOT NULL DEFAULT 0; "
        "ALTER TABLE files ADD COLUMN text BLOB;");
}

bool ServiceStore::AddFileLocked(const std::string& stream, const std::string& name,
                                 const std::string& text, bool upload) {
    {
        Statement known(m_db, "SELECT 1 FROM files WHERE stream = ?1 AND name = ?2");
        if (!known.Ok()) return false;
        if (known.Bind(1, stream).Bind(2, name).Step() == SQLITE_ROW) return true;
    }
    DescriptionStore parsed;
    parsed.LoadText(text);
    Statement file(m_db,
                   "INSERT INTO files(stream, name, trusted, upload, text) VALUES(?1, ?2, ?3, ?4, ?5)");
    if (!file.Ok()) return false;
    file.Bind(1, stream).Bind(2, name).Bind(3, parsed.IsTrusted() ? 1 : 0).Bind(4, upload ? 1 : 0);
    if (upload) file.BindBlob(5, text);
    if (!file.Run()) return false;
    const int64_t id = sqlite3_last_insert_rowid(m_db);
    Statement record(m_db,
                     "INSERT INTO descriptions(file, stream, seq, start, end, line) "
                     "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    if (!record.Ok()) return false;
    int64_t seq = 0;
    int64_t longest = 0;
    for (const auto& d : parsed.Records()) {
        sqlite3_reset(record.Handle());
        if (!record.Bind(1, id).Bind(2, stream).Bind(3, seq++).Bind(4, d->start).Bind(5, d->end)
                 .Bind(6, d->ToLine()).Run())
            return false;
        longest = std::max<int64_t>(longest, d->end - d->start);
    }
    Statement streams(m_db,
                      "INSERT INTO streams(name, longest) VALUES(?1, ?2) ON CONFLICT(name) DO "
                      "UPDATE SET longest = max(longest, excluded.longest)");
    return streams.Ok() && streams.Bind(1, stream).Bind(2, longest).Run();
}

bool ServiceStore::RemoveFileLocked(int64_t id) {
    Statement records(m_db, "DELETE FROM descriptions WHERE file = ?1");
    Statement file(m_db, "DELETE FROM files WHERE id = ?1");
    return records.Ok() && file.Ok() && records.Bind(1, id).Run() && file.Bind(1, id).Run();
}

bool ServiceStore::AddFile(const std::string& stream, const std::string& name,
                           const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (!OpenLocked()) return false;
    if (!ExecLocked("BEGIN IMMEDIATE")) return false;
    if (!AddFileLocked(stream, name, text, false)) {
        m_error = sqlite3_errmsg(m_db);
        ExecLocked("ROLLBACK");
        return false;
    }
    return ExecLocked("COMMIT");
}

std::optional<std::string> ServiceStore::AddUpload(const std::string& stream,
                                                   const std::string& prefix,
                                                   const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (!OpenLocked() || !ExecLocked("BEGIN IMMEDIATE")) return std::nullopt;
    std::optional<std::string> added;
    bool ok = true;
    for (int n = 0; ok && !added && n < kMaxUploadsPerPrefix; ++n) {
        char number[12];  // room for any int, though the loop stays far below
        std::snprintf(number, sizeof number, "%03d", n);
        std::string name = prefix + number + ".des";
        Statement known(m_db, "SELECT 1 FROM files WHERE stream = ?1 AND name = ?2");
        ok = known.Ok();
        if (!ok) break;
        const int rc = known.Bind(1, stream).Bind(2, name).Step();
        if (rc == SQLITE_ROW) continue;
        ok = rc == SQLITE_DONE && AddFileLocked(stream, name, text, true);
        if (ok) added = std::move(name);
    }
    if (!ok || !added) {
        m_error = ok ? "no free upload name for " + prefix : sqlite3_errmsg(m_db);
        ExecLocked("ROLLBACK");
        return std::nullopt;
    }
    if (!ExecLocked("COMMIT")) return std::nullopt;
    return added;
}

std::optional<std::vector<std::pair<std::string, std::string>>> ServiceStore::Uploads(
    const std::string& stream) {
    std::lock_guard lock(m_mutex);
    if (!OpenLocked()) return std::nullopt;
    Statement s(m_db, "SELECT name, text FROM files WHERE stream = ?1 AND upload = 1 ORDER BY name");
    if (!s.Ok()) return std::nullopt;
    s.Bind(1, stream);
    std::vector<std::pair<std::string, std::string>> uploads;
    int rc = 0;
    while ((rc = s.Step()) == SQLITE_ROW) uploads.emplace_back(s.Text(0), s.Blob(1));
    if (rc != SQLITE_DONE) return std::nullopt;
    return uploads;
}

std::optional<std::map<std::string, int64_t>> ServiceStore::FolderFilesLocked(
    const std::string& stream) {
    // Uploads live here alone: only files taken from the folder go with it.
    // (A folder file named as an upload is passed over when added.)
    Statement files(m_db, "SELECT id, name FROM files WHERE stream = ?1 AND upload = 0");
    if (!files.Ok()) return std::nullopt;
    files.Bind(1, stream);
    std::map<std::string, int64_t> stored;
    int rc = 0;
    while ((rc = files.Step()) == SQLITE_ROW) stored.emplace(files.Text(1), files.Int(0));
    if (rc != SQLITE_DONE) return std::nullopt;
    return stored;
}

bool ServiceStore::SyncFolder(const std::string& stream, const std::string& streamFolder) {
    std::lock_guard lock(m_mutex);
    if (!OpenLocked()) return false;
    const int64_t stamp = FolderStamp(streamFolder);
    const auto known = m_folderStamps.find(stream);
    // A stream without a folder (uploads only) is looked at again once one appears.
    if (known != m_folderStamps.end() && known->second == stamp) return true;

    const std::set<std::string> present =
        stamp >= 0 ? DescriptionFileNames(streamFolder) : std::set<std::string>{};
    const auto differs = [&present](const std::map<std::string, int64_t>& stored) {
        return stored.size() != present.size() ||
               !std::equal(present.begin(), present.end(), stored.begin(),
                           [](const std::string& name, const auto& row) { return name == row.first; });
    };
    // Reading alone first: a folder that changed in nothing the store keeps
    // (its stamp moved, or it is too fresh to be trusted) costs no write.
    auto stored = FolderFilesLocked(stream);
    bool ok = stored.has_value();
    if (ok && differs(*stored)) {
        if (!ExecLocked("BEGIN IMMEDIATE")) return false;
        // Again inside the transaction: another process may have changed it.
        stored = FolderFilesLocked(stream);
        ok = stored.has_value();
        if (ok) {
            for (const auto& [name, id] : *stored)
                if (ok && present.count(name) == 0) ok = RemoveFileLocked(id);
        }
        for (const auto& name : present) {
            if (!ok) break;
            if (stored->count(name) != 0) continue;
            std::string text;
            // A file that vanished or cannot be read is left for the next time.
            if (!ReadWholeFile(streamFolder + name, text)) continue;
            ok = AddFileLocked(stream, name, text, false);
        }
        if (!ok) {
            m_error = sqlite3_errmsg(m_db);
            ExecLocked("ROLLBACK");
            return false;
        }
        if (!ExecLocked("COMMIT")) return false;
    } else if (!ok) {
        m_error = sqlite3_errmsg(m_db);
        return false;
    }
    if (stamp < 0 || NowNs() - stamp > kSettledNs) {
        // Any name a client asks for lands here: keep the map bounded.
        if (m_folderStamps.size() >= kMaxKnownFolders) m_folderStamps.clear();
        m_folderStamps[stream] = stamp;
    } else {
        m_folderStamps.erase(stream);
    }
    return true;
}

std::optional<std::vector<ServiceStore::Source>> ServiceStore::Overlapping(
    const std::string& stream, StreamTime start, StreamTime end) {
    std::lock_guard lock(m_mutex);
    if (!OpenLocked()) return std::nullopt;
    int64_t longest = 0;
    {
        Statement s(m_db, "SELECT longest FROM streams WHERE name = ?1");
        if (!s.Ok()) return std::nullopt;
        s.Bind(1, stream);
        if (s.Step() == SQLITE_ROW) longest = s.Int(0);
    }
    // A record reaching into the stretch starts at most `longest` before it.
    Statement s(m_db,
                "SELECT f.id, f.name, f.trusted, d.line FROM descriptions d "
                "JOIN files f ON f.id = d.file "
                "WHERE d.stream = ?1 AND d.start >= ?2 AND d.start <= ?3 AND d.end >= ?4 "
                "ORDER BY f.trusted DESC, f.name, d.seq");
    if (!s.Ok()) return std::nullopt;
    s.Bind(1, stream).Bind(2, start - longest).Bind(3, end).Bind(4, start);
    std::vector<Source> sources;
    int64_t current = -1;
    int rc = 0;
    while ((rc = s.Step()) == SQLITE_ROW) {
        if (s.Int(0) != current) {
            current = s.Int(0);
            sources.push_back(Source{s.Text(1), s.Int(2) != 0, {}});
        }
        sources.back().records.emplace_back().FromLine(s.Text(3));
    }
    if (rc != SQLITE_DONE) {
        m_error = sqlite3_errmsg(m_db);
        return std::nullopt;
    }
    return sources;
}

bool ServiceStore::Exists() const {
    std::error_code ec;
    return fs::exists(m_folder + kFileName, ec);
}

bool ServiceStore::SetAccounts(const std::vector<std::pair<std::string, std::string>>& loginHashes) {
    std::lock_guard lock(m_mutex);
    if (!OpenLocked() || !ExecLocked("BEGIN IMMEDIATE")) return false;
    bool ok = ExecLocked("INSERT OR REPLACE INTO settings(key, value) VALUES('accounts', 'yes')");
    Statement set(m_db, "INSERT OR REPLACE INTO accounts(login, hash) VALUES(?1, ?2)");
    ok = ok && set.Ok();
    for (const auto& [login, hash] : loginHashes) {
        if (!ok) break;
        sqlite3_reset(set.Handle());
        ok = set.Bind(1, login).Bind(2, hash).Run();
    }
    if (!ok) {
        m_error = sqlite3_errmsg(m_db);
        ExecLocked("ROLLBACK");
        return false;
    }
    return ExecLocked("COMMIT");
}

std::optional<bool> ServiceStore::RemoveAccount(const std::string& login) {
    std::lock_guard lock(m_mutex);
    if (!OpenLocked()) return std::nullopt;
    Statement remove(m_db, "DELETE FROM accounts WHERE login = ?1");
    if (!remove.Ok() || !remove.Bind(1, login).Run()) {
        m_error = sqlite3_errmsg(m_db);
        return std::nullopt;
    }
    return sqlite3_changes(m_db) > 0;
}

std::optional<std::vector<std::string>> ServiceStore::AccountLogins() {
    std::lock_guard lock(m_mutex);
    if (!OpenLocked()) return std::nullopt;
    Statement s(m_db, "SELECT login FROM accounts ORDER BY login");
    if (!s.Ok()) return std::nullopt;
    std::vector<std::string> logins;
    int rc = 0;
    while ((rc = s.Step()) == SQLITE_ROW) logins.push_back(s.Text(0));
    if (rc != SQLITE_DONE) return std::nullopt;
    return logins;
}

std::optional<std::string> ServiceStore::AccountHash(const std::string& login) {
    std::lock_guard lock(m_mutex);
    if (!OpenLocked()) return std::nullopt;
    Statement s(m_db, "SELECT hash FROM accounts WHERE login = ?1");
    if (!s.Ok()) return std::nullopt;
    const int rc = s.Bind(1, login).Step();
    if (rc == SQLITE_ROW) return s.Text(0);
    if (rc == SQLITE_DONE) return std::string();
    return std::nullopt;
}

std::optional<bool> ServiceStore::HasAccounts() {
    std::lock_guard lock(m_mutex);
    if (!OpenLocked()) return std::nullopt;
    Statement s(m_db, "SELECT 1 FROM settings WHERE key = 'accounts'");
    if (!s.Ok()) return std::nullopt;
    const int rc = s.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return std::nullopt;
    return rc == SQLITE_ROW;
}

}  // namespace wk
