#include "platform/MachineSettings.h"

#include <cstdlib>
#include <fstream>
#include <utility>
#include <vector>

#include "core/FileUtil.h"
#include "core/ProgramHome.h"

namespace wk {
namespace {

const char* kFileName = "machine.ini";

std::vector<std::pair<std::string, std::string>> ReadAll() {
    std::vector<std::pair<std::string, std::string>> entries;
    std::ifstream in(ProgramFile(kFileName), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        entries.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return entries;
}

}  // namespace

std::optional<std::string> MachineSettings::Get(const std::string& key) {
    std::optional<std::string> found;
    for (auto& [k, v] : ReadAll())
        if (k == key) found = v;
    return found;
}

int MachineSettings::GetInt(const std::string& key, int fallback) {
    auto v = Get(key);
    return v ? std::atoi(v->c_str()) : fallback;
}

bool MachineSettings::Set(const std::string& key, const std::string& value) {
    auto entries = ReadAll();
    bool replaced = false;
    for (auto& [k, v] : entries)
        if (k == key) { v = value; replaced = true; }
    if (!replaced) entries.emplace_back(key, value);
    std::string bytes;
    for (auto& [k, v] : entries) bytes.append(k).append("=").append(v).append("\n");
    return ReplaceFileContents(ProgramFile(kFileName), bytes);
}

}  // namespace wk
