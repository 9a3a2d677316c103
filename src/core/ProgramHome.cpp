#include "core/ProgramHome.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>

namespace wk {
namespace {

std::mutex g_homeMutex;
std::string g_explicitHome;

std::string WithSlash(std::string path) {
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

std::string FromEnvironment() {
    if (const char* home = std::getenv("WAVKEEP_HOME"); home && *home) return home;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        return std::string(xdg) + "/wavkeep";
    if (const char* user = std::getenv("HOME"); user && *user)
        return std::string(user) + "/.local/share/wavkeep";
    return "./wavkeep";
}

}  // namespace

void SetProgramHome(const std::string& folder) {
    std::lock_guard lock(g_homeMutex);
    g_explicitHome = folder;
}

std::string ProgramFolder() {
    std::lock_guard lock(g_homeMutex);
    return WithSlash(g_explicitHome.empty() ? FromEnvironment() : g_explicitHome);
}

std::string ProgramFile(const std::string& name) {
    return ProgramFolder() + name;
}

bool PrepareProgramHome(std::string* error) {
    const std::string folder = ProgramFolder();
    std::error_code ec;
    // A home made here is private (it holds the account and the traces); its
    // parents are made as any program would, and a home that exists keeps the
    // mode its owner gave it.
    if (!std::filesystem::exists(folder, ec)) {
        const std::filesystem::path path = std::filesystem::path(folder).parent_path();
        if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
        if (!ec && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            ec = std::error_code(errno, std::generic_category());
    }
    if (ec) {
        if (error) *error = "cannot create the program home " + folder + ": " + ec.message();
        return false;
    }
    if (!std::filesystem::is_directory(folder, ec)) {
        if (error) *error = "the program home " + folder + " is not a folder";
        return false;
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        if (error)
            *error = "the program home " + folder + " is not writable: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool HomeOptionUsable(bool given, const std::string& value, const char* program, std::ostream& err) {
    if (!given || !value.empty()) return true;
    err << program << ": --home wants a folder; an empty name names none\n";
    return false;
}

}  // namespace wk
