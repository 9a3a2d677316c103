#include "service/ServiceData.h"

#include "service/Accounts.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace wk {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxStreamName = 128;
// Left by an earlier version next to the database, holding the passwords
// it had taken in.
constexpr const char* kOldImportedName = "accounts.txt.imported";

size_t CountTabFields(const std::string& line) {
    return static_cast<size_t>(std::count(line.begin(), line.end(), '\t')) + 1;
}

}  // namespace

std::optional<std::vector<std::string>> ReadTextLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

namespace {

std::string WithSlash(std::string folder) {
    if (folder.empty()) folder = "./";
    if (folder.back() != '/') folder.push_back('/');
    return folder;
}

}  // namespace

ServiceData::ServiceData(std::string folder)
    : m_folder(WithSlash(std::move(folder))), m_store(m_folder) {}

std::string ServiceData::StreamFolder(const std::string& stream) const {
    return m_folder + "streams/" + stream + "/";
}

std::vector<std::string> ServiceData::ChannelLines() const {
    std::vector<std::string> out;
    for (auto& line : ReadTextLines(m_folder + "channels.txt").value_or(std::vector<std::string>{})) {
        if (line.empty() || line.front() == '#') continue;
        if (CountTabFields(line) < 3) continue;
        out.push_back(std::move(line));
    }
    return out;
}

std::vector<std::string> ServiceData::ScheduleLines() const {
    return ReadTextLines(m_folder + "schedule.txt").value_or(std::vector<std::string>{});
}

void ServiceData::Note(const std::string& line) const {
    if (m_log) m_log(line);
}

void ServiceData::RemoveOldImportedFile() {
    if (m_oldImportedChecked.exchange(true)) return;
    const std::string path = m_folder + kOldImportedName;
    std::error_code ec;
    if (!fs::exists(path, ec)) return;
    if (fs::remove(path, ec))
        Note(std::string(kOldImportedName) + " deleted: it held plain passwords already taken in");
    else
        Note(std::string("cannot delete ") + kOldImportedName + " (it holds plain passwords): " +
             ec.message());
}

bool ServiceData::ImportAccountsFile(std::string* why) {
    RemoveOldImportedFile();
    const std::string path = m_folder + "accounts.txt";
    std::error_code ec;
    if (!fs::exists(path, ec) && !ec) return true;
    std::lock_guard lock(m_accountsMutex);
    if (!fs::exists(path, ec) && !ec) return true;  // another thread took it in
    const auto fail = [why](std::string text) {
        if (why) *why = std::move(text);
        return false;
    };
    const auto lines = ReadTextLines(path);
    if (!lines) return fail("cannot read " + path);
    std::vector<std::pair<std::string, std::string>> accounts;
    for (const auto& line : *lines) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        std::string login = line.substr(0, tab);
        if (!IsValidLogin(login)) continue;
        // The first line of a login counts, as when the file was read live.
        if (std::any_of(accounts.begin(), accounts.end(),
                        [&](const auto& a) { return a.first == login; }))
            continue;
        const auto hash = HashPassword(line.substr(tab + 1));
        if (!hash) return fail("cannot hash the password of " + login);
        accounts.emplace_back(std::move(login), *hash);
    }
    if (!m_store.SetAccounts(accounts)) return fail("cannot store accounts: " + m_store.LastError());
    // The passwords are hashed in the database now; none stays in plain text.
    fs::remove(path, ec);
    if (ec) return fail("cannot delete " + path + " (it holds plain passwords): " + ec.message());
    Note("accounts.txt: " + std::to_string(accounts.size()) +
         " account(s) taken in with hashed passwords; the file is deleted");
    return true;
}

bool ServiceData::SetAccount(const std::string& login, const std::string& password,
                             std::string* why) {
    if (!IsValidLogin(login)) {
        *why = "a login is 1 to 64 characters without control characters";
        return false;
    }
    if (!ImportAccountsFile(why)) return false;
    const auto hash = HashPassword(password);
    if (!hash) {
        *why = "cannot hash the password";
        return false;
    }
    if (!m_store.SetAccounts({{login, *hash}})) {
        *why = "cannot store the account: " + m_store.LastError();
        return false;
    }
    return true;
}

bool ServiceData::CheckLogin(const std::string& login, const std::string& password) {
    if (std::string why; !ImportAccountsFile(&why)) {
        Note("no login accepted: " + why);
        return false;
    }
    if (!m_store.Exists()) return true;
    const auto hasAccounts = m_store.HasAccounts();
    if (!hasAccounts) return false;
    if (!*hasAccounts) return true;
    const auto hash = m_store.AccountHash(login);
    return hash && !hash->empty() && VerifyPassword(password, *hash);
}

bool ServiceData::IsSafeStreamName(std::string_view name) {
    if (name.empty() || name.size() > kMaxStreamName || name.front() == '.') return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return c == '/' || c == '\\' || u < 0x20 || u == 0x7F;
    });
}

std::optional<std::vector<ServiceStore::Source>> ServiceData::Overlapping(
    const std::string& stream, StreamTime start, StreamTime end) {
    if (!IsSafeStreamName(stream)) return std::vector<ServiceStore::Source>{};
    if (!m_store.SyncFolder(stream, StreamFolder(stream))) return std::nullopt;
    return m_store.Overlapping(stream, start, end);
}

std::optional<std::string> ServiceData::StoreUpload(const std::string& stream,
                                                    const std::string& bytes,
                                                    const DateTime& serverNow) {
    if (!IsSafeStreamName(stream)) return std::nullopt;
    // The folder's files first, so an upload never takes the name of one
    // not yet taken in.
    if (!m_store.SyncFolder(stream, StreamFolder(stream))) return std::nullopt;
    return m_store.AddUpload(stream, "upload_" + serverNow.FileNamePrefix(), bytes);
}

}  // namespace wk
