#include "streamstore/StreamNameFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <sys/stat.h>

#include "core/ConfigStore.h"
#include "core/FileUtil.h"
#include "core/ProgramHome.h"
#include "core/SystemInfo.h"
#include "core/Trace.h"

namespace wk {
namespace {

constexpr std::string_view kBlanks = " \t\r\n\v\f";
constexpr size_t kFieldsRequired = 9;
constexpr size_t kServiceFieldsRequired = 3;

std::string Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(kBlanks);
    return std::string(text.substr(first, last - first + 1));
}

std::vector<std::string> SplitAtTabs(std::string_view line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) {
            fields.push_back(Trimmed(line.substr(start)));
            return fields;
        }
        fields.push_back(Trimmed(line.substr(start, tab - start)));
        start = tab + 1;
    }
}

// atoll rules without overflow: the value saturates at the int64 range.
int64_t AtoiValue64(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? static_cast<uint64_t>(INT64_MAX) + 1 : INT64_MAX;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const auto digit = static_cast<uint64_t>(text[i] - '0');
        magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
    }
    if (!negative) return static_cast<int64_t>(magnitude);
    return magnitude == static_cast<uint64_t>(INT64_MAX) + 1 ? INT64_MIN
                                                             : -static_cast<int64_t>(magnitude);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

StreamRecord DefaultRecord() {
    StreamRecord r;
    r.name = StreamNameFile::kDefaultStream;
    r.sourceType = kSourceRadio;
    r.tunerChannel = 1;
    r.silenceMinimum = 3;
    r.silenceSensitivity = 15;
    r.shortestTrack = 120;
    r.longestTrack = 360;
    r.serviceNumber = 0;
    r.active = 1;
    r.coveredUntil = 0;
    return r;
}

// The longest folder name the file systems we write to take, in bytes.
constexpr size_t kMaxFolderNameBytes = 255;

bool FitsOneFolder(const std::string& name) {
    return StreamNameFile::IsSafeFolderName(name) && name.size() <= kMaxFolderNameBytes;
}

bool IsControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
}

// One line for `skipped` and the trace.
void Skip(const char* where, const std::string& name, const std::string& why,
          std::vector<std::string>* skipped) {
    std::string line = "\"";
    line += StreamNameFile::ShownName(name);
    line += "\": ";
    line += why;
    Trace(kTraceError, "In StreamNameFile::%s, skipping the stream %s", where, line.c_str());
    if (skipped) skipped->push_back(std::move(line));
}

// Reads the records of a list file, nothing else. Returns whether the file
// could be opened.
bool ReadListFile(const std::string& path, std::vector<StreamRecord>& records) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::vector<std::string> f = SplitAtTabs(line);
        if (f.size() < kFieldsRequired) {
            Trace(kTraceError, "In StreamNameFile::load(), an invalid line was detected, skipping it: \"%s\"",
                  line.c_str());
            continue;
        }
        if (!f[0].empty() && f[0][0] == '/') {
            Trace(kTraceDebug, "In StreamNameFile::load(), comment line found, skipping it");
            continue;
        }
        // Such a name was never usable (no folder could be made for it) and
        // would point outside the stream root if it were.
        if (!f[0].empty() && !FitsOneFolder(f[0])) {
            Trace(kTraceError, "In StreamNameFile::load(), the stream name \"%s\" cannot be a folder name, skipping it",
                  StreamNameFile::ShownName(f[0]).c_str());
            continue;
        }
        StreamRecord r;
        r.name = f[0];
        r.sourceType = EqualsNoCase(f[1], "One") ? kSourceRadio : kSourceMusicTv;
        r.silenceMinimum = AtoiValue(f[2]);
        r.shortestTrack = AtoiValue(f[3]);
        r.longestTrack = AtoiValue(f[4]);
        r.silenceSensitivity = AtoiValue(f[5]);
        r.tunerChannel = AtoiValue(f[6]);
        r.serviceNumber = AtoiValue(f[7]);
        r.active = AtoiValue(f[8]);
        r.coveredUntil = f.size() > kFieldsRequired ? AtoiValue64(f[9]) : 0;
        records.push_back(std::move(r));
    }
    return true;
}

// A name with a TAB or a line end would split its line when read back.
std::string NameForFile(const std::string& name) {
    std::string safe = name;
    for (char& c : safe)
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    return safe;
}

std::string ListText(const std::vector<std::unique_ptr<StreamRecord>>& records) {
    std::string text;
    for (const auto& r : records) {
        if (r->name.empty()) continue;
        text += NameForFile(r->name);
        text += '\t';
        text += r->sourceType == kSourceMusicTv ? "Two" : "One";
        for (const int64_t value :
             {int64_t{r->silenceMinimum}, int64_t{r->shortestTrack}, int64_t{r->longestTrack},
              int64_t{r->silenceSensitivity}, int64_t{r->tunerChannel}, int64_t{r->serviceNumber},
              int64_t{r->active}, r->coveredUntil}) {
            text += '\t';
            text += std::to_string(value);
        }
        text += "\r\n";
    }
    return text;
}

// Makes `root` + `name` as one folder; unsafe names never leave the root.
bool MakeStreamFolder(const std::string& root, const std::string& name) {
    if (!StreamNameFile::IsSafeFolderName(name)) {
        Trace(kTraceError, "In StreamNameFile, the stream name \"%s\" cannot be a folder name, no folder made",
              name.c_str());
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    if (EnsureDirectory(root + name)) return true;
    Trace(kTraceError, "In StreamNameFile, cannot create the folder \"%s%s\" (errno %d)", root.c_str(),
          name.c_str(), errno);
    return false;
}

}  // namespace

std::string StreamNameFile::StreamRoot() {
    ConfigStore config;
    config.Load();
    std::string root = config.GetString("StreamPath");
    if (root.empty() || root == kKeyNotFound) return ProgramFolder();
    if (root.back() != '/') root += '/';
    return root;
}

std::string StreamNameFile::FilePath() {
    return StreamRoot() + kFileName;
}

bool StreamNameFile::FileExists() {
    struct stat st {};
    return ::stat(FilePath().c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool StreamNameFile::IsSafeFolderName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

bool StreamNameFile::load(const std::string& path) {
    m_records.clear();
    const std::string root = StreamRoot();
    std::vector<StreamRecord> read;
    const bool opened = ReadListFile(path.empty() ? root + kFileName : path, read);
    for (StreamRecord& r : read) {
        MakeStreamFolder(root, r.name);
        m_records.push_back(std::make_unique<StreamRecord>(std::move(r)));
    }
    const bool hasDefault = std::any_of(m_records.begin(), m_records.end(),
                                        [](const auto& r) { return r->name == kDefaultStream; });
    if (!hasDefault) {
        m_records.push_back(std::make_unique<StreamRecord>(DefaultRecord()));
        // The active stream may have named a stream that is gone.
        ConfigStore config;
        config.Load();
        config.ResetToDefault("ActiveStream");
        config.Save();
        MakeStreamFolder(root, kDefaultStream);
    }
    return opened;
}

bool StreamNameFile::save() const {
    const std::string root = StreamRoot();
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    return ReplaceFileContents(root + kFileName, ListText(m_records));
}

bool StreamNameFile::loadFromBuffer(const std::string& text, std::vector<std::string>* skipped) {
    bool accepted = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + pos, end - pos);
        pos = end;
        if (pos < text.size() && text[pos] == '\r') ++pos;
        if (pos < text.size() && text[pos] == '\n') ++pos;

        const std::vector<std::string> f = SplitAtTabs(line);
        if (f.size() < kServiceFieldsRequired) {
            Trace(kTraceError, "WARNING, invalid line found in StreamNameFile::loadFromBuffer()");
            continue;
        }
        const std::string& name = f[0];
        // Trimming already removed the outer blanks.
        std::string problem = NameProblem(name);
        if (problem.empty() && name.find_first_of("<>\\") != std::string::npos)
            problem = "holds '<', '>' or '\\'";
        if (!problem.empty()) {
            Skip("loadFromBuffer()", name, problem, skipped);
            continue;
        }
        accepted = true;
        if (Contains(name)) continue;
        // A channel from the service gets the Default stream's silence values,
        // no tuner channel, and stays inactive until the user activates it.
        StreamRecord r = DefaultRecord();
        r.name = name;
        r.sourceType = f[1] == "One" ? kSourceRadio : kSourceMusicTv;
        r.serviceNumber = AtoiValue(f[2]);
        r.tunerChannel = 0;
        r.active = 0;
        m_records.push_back(std::make_unique<StreamRecord>(std::move(r)));
    }
    return accepted;
}

bool StreamNameFile::Contains(const std::string& name) const {
    return Find(name) != nullptr;
}

StreamRecord* StreamNameFile::Find(const std::string& name) {
    for (const auto& r : m_records)
        if (EqualsNoCase(r->name, name)) return r.get();
    return nullptr;
}

const StreamRecord* StreamNameFile::Find(const std::string& name) const {
    return const_cast<StreamNameFile*>(this)->Find(name);
}

StreamRecord& StreamNameFile::AddCopy(const StreamRecord& record) {
    m_records.push_back(std::make_unique<StreamRecord>(record));
    return *m_records.back();
}

bool StreamNameFile::Remove(const StreamRecord* record) {
    const auto it = std::find_if(m_records.begin(), m_records.end(),
                                 [record](const auto& r) { return r.get() == record; });
    if (it == m_records.end()) return false;
    m_records.erase(it);
    return true;
}

bool StreamNameFile::CreateFolders() const {
    const std::string root = StreamRoot();
    bool all = true;
    for (const auto& r : m_records) {
        // A record without a name is never written: it is no stream.
        if (!r->name.empty()) all = MakeStreamFolder(root, r->name) && all;
    }
    return all;
}

int StreamNameFile::ImportFrom(const std::string& path, std::vector<std::string>* skipped) {
    std::vector<StreamRecord> other;
    ReadListFile(path, other);
    const std::string root = StreamRoot();
    int added = 0;
    for (const StreamRecord& r : other) {
        if (r.name.empty()) continue;
        const bool known = std::any_of(m_records.begin(), m_records.end(),
                                       [&r](const auto& mine) { return mine->name == r.name; });
        if (known) continue;
        if (const std::string problem = NewNameProblem(r.name); !problem.empty()) {
            Skip("ImportFrom()", r.name, problem, skipped);
            continue;
        }
        m_records.push_back(std::make_unique<StreamRecord>(r));
        MakeStreamFolder(root, r.name);
        ++added;
    }
    return added;
}

std::string StreamNameFile::NameProblem(const std::string& name) {
    if (name.empty()) return "an empty name";
    if (name == "." || name == "..") return "cannot name a folder";
    if (name.find('/') != std::string::npos) return "holds a '/'";
    if (std::any_of(name.begin(), name.end(), IsControl)) return "holds a control character";
    if (name.front() == ' ' || name.back() == ' ') return "begins or ends with a blank";
    if (name.size() > kMaxNewNameBytes)
        return "longer than " + std::to_string(kMaxNewNameBytes) + " bytes";
    return {};
}

std::string StreamNameFile::NewNameProblem(const std::string& name) const {
    std::string problem = NameProblem(name);
    if (!problem.empty()) return problem;
    const StreamRecord* twin = Find(name);
    if (!twin || twin->name == name) return {};
    problem = "the list has it as \"";
    problem += ShownName(twin->name);
    problem += '"';
    return problem;
}

std::string StreamNameFile::ShownName(const std::string& name) {
    constexpr size_t kShown = 60;
    std::string shown;
    for (const char c : name) {
        if (shown.size() >= kShown) {
            // Not within a UTF-8 sequence.
            while (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0xC0) == 0x80)
                shown.pop_back();
            if (!shown.empty() && static_cast<unsigned char>(shown.back()) >= 0xC0) shown.pop_back();
            shown += "...";
            break;
        }
        shown.push_back(IsControl(c) ? '?' : c);
    }
    return shown;
}

}  // namespace wk
