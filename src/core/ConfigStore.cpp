#include "core/ConfigStore.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <fstream>
#include <string_view>

#include "core/FileLock.h"
#include "core/FileUtil.h"
#include "core/ProgramHome.h"
#include "core/Trace.h"

namespace wk {
namespace {

struct KeyDefault {
    const char* key;
    std::string (*value)();
};

std::string Root() { return kDefaultServiceRoot; }
std::string UploadUrl() { return Root() + "/html/playlists/upload.php3"; }

#define WK_FIXED(text) [] { return std::string(text); }

const KeyDefault kKeyTable[] = {
    {"ExportPath", [] { return ProgramFolder() + "Songs"; }},
    {"StreamPath", [] { return ProgramFolder() + "Streams"; }},
    {"ActiveView", WK_FIXED("Schedule")},
    {"EnableSilenceDet", WK_FIXED("0")},
    {"ScheduleURL", [] { return Root() + "/html/schedule/index.php3"; }},
    {"UploadURL", UploadUrl},
    {"TimeCheckURL", UploadUrl},
    {"URLChanelList",
     [] {
         return Root() +
                "/betatest/html/playlists/index.php3?lang=german&country=49&sourceid1=&sourceid2=9&a=gsl2";
     }},
    {"Encoder", WK_FIXED("Vorbis encoder")},
    {"DefaultURL", Root},
    {"SingleFileLength", WK_FIXED("10")},
    {"DiskSpace", WK_FIXED("100")},
    {"Mode", WK_FIXED("STEREO")},
    {"BitRate", WK_FIXED("128")},
    {"ActiveStream", WK_FIXED("Default")},
    {"ActiveSkin", WK_FIXED("Skins/Default/__default.sdf")},
    {"CountryCode", WK_FIXED("49")},
    {"TraceLevel", WK_FIXED("None")},
    {"DirectXCable", WK_FIXED("3")},
    {"AutoScheduleDownload", WK_FIXED("1")},
    {"AutoPlaylistDownload", WK_FIXED("1")},
    {"FreqSatelliteModeSignal", WK_FIXED("1")},
    {"TVInputAntenna", WK_FIXED("0")},
    {"AutoChannelSwitch", WK_FIXED("0")},
    {"AutoExport", WK_FIXED("1")},
    {"RecordColor", WK_FIXED("")},
    {"WaveColor", WK_FIXED("")},
    {"BckgrdColor", WK_FIXED("")},
    {"AudioMixer", WK_FIXED("-1")},
    {"AudioSource", WK_FIXED("3")},
    {"ConfigRunWizard", WK_FIXED("0")},
};

#undef WK_FIXED

const KeyDefault* FindKnown(std::string_view key) {
    for (const auto& k : kKeyTable)
        if (key == k.key) return &k;
    return nullptr;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

int AtoiValue(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

ConfigStore::ConfigStore() {
    SetDefaults();
}

std::string ConfigStore::FilePath() {
    return ProgramFile("config.ini");
}

const std::vector<std::string>& ConfigStore::KnownKeys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> v;
        for (const auto& k : kKeyTable) v.emplace_back(k.key);
        return v;
    }();
    return keys;
}

bool ConfigStore::IsKnownKey(const std::string& key) {
    return FindKnown(key) != nullptr;
}

std::string ConfigStore::DefaultValue(const std::string& key) {
    const KeyDefault* k = FindKnown(key);
    return k ? k->value() : std::string();
}

void ConfigStore::SetDefaults() {
    for (const auto& k : kKeyTable) Put(k.key, k.value());
}

void ConfigStore::Load() {
    m_entries.clear();
    m_changed.clear();
    SetDefaults();
    std::ifstream in(FilePath(), std::ios::binary);
    if (!in) return;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        Put(line.substr(0, eq), line.substr(eq + 1));
    }
}

bool ConfigStore::Save(std::string* why) {
    const std::string path = FilePath();
    FileLock lock;
    std::string reason;
    if (!lock.AcquireFor(path, FileLock::kDefaultTimeoutMs, &reason)) {
        if (why) *why = reason;
        return false;
    }
    ConfigStore current;
    current.Load();
    for (const std::string& key : m_changed) current.Put(key, GetString(key));
    std::string bytes;
    for (const auto& [key, value] : current.m_entries) {
        bytes += key;
        bytes += '=';
        bytes += value;
        bytes += '\n';
    }
    if (!ReplaceFileContents(path, bytes)) {
        if (why) *why = "cannot write " + path;
        return false;
    }
    m_entries = std::move(current.m_entries);
    m_changed.clear();
    return true;
}

std::string ConfigStore::GetString(const std::string& key) const {
    for (const auto& [k, v] : m_entries)
        if (k == key) return v;
    return kKeyNotFound;
}

void ConfigStore::SetString(const std::string& key, const std::string& value) {
    Put(key, value);
    if (std::find(m_changed.begin(), m_changed.end(), key) == m_changed.end())
        m_changed.push_back(key);
}

void ConfigStore::Put(const std::string& key, const std::string& value) {
    for (auto& [k, v] : m_entries) {
        if (k == key) {
            v = value;
            return;
        }
    }
    m_entries.emplace_back(key, value);
}

bool ConfigStore::HasKey(const std::string& key) const {
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [&](const auto& e) { return e.first == key; });
}

int ConfigStore::GetInt(const std::string& key) const {
    return HasKey(key) ? AtoiValue(GetString(key)) : 0;
}

void ConfigStore::SetInt(const std::string& key, int value) {
    SetString(key, std::to_string(value));
}

bool ConfigStore::GetBool(const std::string& key) const {
    return HasKey(key) && GetString(key) == "1";
}

void ConfigStore::SetBool(const std::string& key, bool value) {
    SetString(key, value ? "1" : "0");
}

void ConfigStore::ResetToDefault(const std::string& key) {
    if (const KeyDefault* k = FindKnown(key)) SetString(key, k->value());
}

void ConfigStore::ReadRecordingSettings(RecordingSettings& settings) {
    auto number = [this](const char* key, int32_t& field) {
        if (!HasKey(key)) ResetToDefault(key);
        field = GetInt(key);
    };
    number("BitRate", settings.bitRate);
    number("SingleFileLength", settings.chunkSeconds);
    number("DiskSpace", settings.diskSpaceMb);
    if (!HasKey("Mode")) {
        ResetToDefault("Mode");
        settings.mode = kModeStereo;
        return;
    }
    const std::string mode = GetString("Mode");
    if (mode == "STEREO") settings.mode = kModeStereo;
    else if (mode == "DUALCHANNEL") settings.mode = kModeDualChannel;
    else if (mode == "MONO") settings.mode = kModeMono;
}

int ConfigStore::GetTvInputKind() const {
    const std::string v = GetString("DirectXCable");
    if (v == "1") return 1;
    if (v == "2") return 2;
    if (v == "4") return 4;
    return 3;
}

bool ConfigStore::IsTvCableInput() const {
    const int kind = GetTvInputKind();
    return kind == 1 || kind == 2;
}

bool ConfigStore::IsTvAntennaInput() const {
    return GetTvInputKind() == 1 && GetString("TVInputAntenna") != "1";
}

RgbColor ConfigStore::GetColor(const std::string& key) const {
    RgbColor builtIn{};
    if (key == "RecordColor") builtIn = {185, 0, 0};
    else if (key == "WaveColor") builtIn = {40, 40, 50};
    else if (key == "BckgrdColor") builtIn = {154, 232, 252};
    if (!HasKey(key)) return builtIn;
    const std::string v = GetString(key);
    auto first = v.find(',');
    auto second = first == std::string::npos ? std::string::npos : v.find(',', first + 1);
    if (second == std::string::npos) return builtIn;
    return {AtoiValue(v.substr(0, first)), AtoiValue(v.substr(first + 1, second - first - 1)),
            AtoiValue(v.substr(second + 1))};
}

int TraceLevelNumberFromName(const std::string& name) {
    static const std::pair<const char*, int> kLevels[] = {
        {"None", 0}, {"Error", 10}, {"Info", 20}, {"Debug", 30}, {"Detail", 40}};
    for (const auto& [levelName, number] : kLevels)
        if (EqualsNoCase(name, levelName)) return number;
    return 0;
}

int GetTraceLevelNumber() {
    ConfigStore local;
    local.Load();
    if (!local.HasKey("TraceLevel")) return 0;
    return TraceLevelNumberFromName(local.GetString("TraceLevel"));
}

}  // namespace wk
