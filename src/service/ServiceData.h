#pragma once
// The folder a wavkeep-service keeps its data in.
//
// Layout (every file is optional; each request reads the files afresh, so
// the folder can be edited while the service runs):
//   channels.txt   the channel list as served: one channel a line,
//                  name TAB kind ("One" radio, "Two" music TV) TAB service
//                  number [TAB anything]; empty lines and lines starting
//                  with '#' are left out.
//   schedule.txt   recording tasks in schedule.txt layout, times in server
//                  time; the legend line and lines of other kinds are left out.
//   accounts.txt   one account a line: login TAB password, in plain text.
//                  Taken into the database (passwords hashed) at the next
//                  login check or account command, then deleted, with a log
//                  line. While it cannot be read or deleted, no login is
//                  accepted. An "accounts.txt.imported" an earlier version
//                  left (it holds plain passwords) is deleted too. Without
//                  any account ever stored (no file, no "wavkeep-service
//                  account add") every login is accepted.
//   streams/<stream name>/*.des
//                  seeded description files per stream, in server time,
//                  under any name. The stream name is the name the client
//                  sends as srcname.
//   service.db     the database the descriptions are served from
//                  (ServiceStore.h), created at the first request that needs
//                  it. The stream folders are taken into it by file name: a
//                  new file at the next request of its stream, a removed one
//                  drops out; a file is read once, so change a served file by
//                  writing it under a new name. Uploads are kept in it alone,
//                  named "upload_<server time>NNN.des".
//
// Thread safety: every operation may be called from any thread.

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/DateTime.h"
#include "service/ServiceStore.h"

namespace wk {

class ServiceData {
public:
    // `folder` gets a trailing '/' when it lacks one.
    explicit ServiceData(std::string folder);

    const std::string& Folder() const { return m_folder; }
    std::string StreamFolder(const std::string& stream) const;

    // Lines of channels.txt worth serving (at least three TAB fields).
    std::vector<std::string> ChannelLines() const;
    // Every line of schedule.txt, line ends removed.
    std::vector<std::string> ScheduleLines() const;

    bool CheckLogin(const std::string& login, const std::string& password);

    // accounts.txt taken in (see above); true when there is none. `why` gets
    // the reason of a failure.
    bool ImportAccountsFile(std::string* why = nullptr);
    // Adds the account or gives it a new password; false (with `why`) when
    // the login is invalid or the account cannot be stored.
    bool SetAccount(const std::string& login, const std::string& password, std::string* why);
    std::optional<bool> RemoveAccount(const std::string& login) { return m_store.RemoveAccount(login); }
    std::optional<std::vector<std::string>> AccountLogins() { return m_store.AccountLogins(); }

    // A name that stays one folder below streams/: not empty, at most 128
    // bytes, no '/', '\\' or control character, not starting with '.'.
    static bool IsSafeStreamName(std::string_view name);

    // The stream's description files holding a record that overlaps
    // [start, end], trusted ones first, then by name, each with just those
    // records; empty for an unsafe name, nothing when the database fails.
    std::optional<std::vector<ServiceStore::Source>> Overlapping(const std::string& stream,
                                                                 StreamTime start,
                                                                 StreamTime end);

    // Stores `bytes` as a new upload of the stream in the database. Returns
    // its name, or nothing when the stream name is unsafe or the database
    // fails.
    std::optional<std::string> StoreUpload(const std::string& stream, const std::string& bytes,
                                           const DateTime& serverNow);
    // The stream's uploads, name and text (ServiceStore::Uploads).
    std::optional<std::vector<std::pair<std::string, std::string>>> Uploads(const std::string& stream) {
        return m_store.Uploads(stream);
    }

    // Where the notes of taking accounts in go (the service's log); set
    // before use from several threads.
    void SetLog(std::function<void(const std::string&)> log) { m_log = std::move(log); }

private:
    void Note(const std::string& line) const;
    void RemoveOldImportedFile();

    std::string m_folder;
    std::function<void(const std::string&)> m_log;
    std::atomic<bool> m_oldImportedChecked{false};
    std::mutex m_accountsMutex;  // taking accounts.txt in
    ServiceStore m_store;
};

// The lines of a text file without their line ends; nothing when it cannot
// be opened.
std::optional<std::vector<std::string>> ReadTextLines(const std::string& path);

}  // namespace wk
