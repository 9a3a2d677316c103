#pragma once
// config.ini: every user setting of the program.
//
// Byte layout: 8-bit text, one "key=value" line per entry, "\n" line ends
// written, "\r\n" read alike. No sections, comments, quoting or trimming: the
// first "=" splits a line, blanks belong to key or value, a line without "="
// is skipped, a later duplicate wins. Known keys are written first in the key
// table's order, then unknown keys in the order they were first read or set.
//
// Several processes (the daemon, commands run from a shell) and threads
// write the file: Save writes only the keys this instance set, onto the file
// as it is at that moment, under the file's lock (FileLock.h), so nobody's
// change is lost to another's stale copy.
//
// Threading: no lock inside an instance. The main thread keeps one shared
// instance and saves it after every change; any other thread builds a
// short-lived instance, Loads it and reads.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace wk {

inline constexpr const char* kKeyNotFound = "RETURN_KEY_NOT_FOUND";

// The service's web server that the defaults point at (the reference service
// listens there by default).
inline constexpr const char* kDefaultServiceRoot = "http://localhost:8470";

// Channel modes as the MP3 encoder numbers them.
inline constexpr int32_t kModeStereo = 0;
inline constexpr int32_t kModeDualChannel = 2;
inline constexpr int32_t kModeMono = 3;

struct RecordingSettings {
    int32_t bitRate = 128;      // kbit/s
    int32_t mode = kModeStereo;
    int32_t chunkSeconds = 10;  // length of one chunk file
    int32_t diskSpaceMb = 100;  // budget of the streams
};

struct RgbColor {
    int red = 0;
    int green = 0;
    int blue = 0;
    bool operator==(const RgbColor&) const = default;
};

class ConfigStore {
public:
    ConfigStore();
    virtual ~ConfigStore() = default;

    void SetDefaults();
    // Defaults, then "config.ini" of the program home on top. A missing or
    // unreadable file leaves the defaults.
    void Load();
    // Under the file's lock: reads the file afresh, puts in the values of the
    // keys set on this instance (SetString and what builds on it) since it
    // was made or last saved, writes the file, and takes the result as this
    // instance's entries. Returns false (the file on disk untouched, the
    // reason in `why`) when the lock cannot be had or the file cannot be
    // written.
    bool Save(std::string* why = nullptr);

    std::string GetString(const std::string& key) const;  // kKeyNotFound if missing
    void SetString(const std::string& key, const std::string& value);
    bool HasKey(const std::string& key) const;
    int GetInt(const std::string& key) const;  // atoi rules; 0 if missing
    void SetInt(const std::string& key, int value);
    bool GetBool(const std::string& key) const;  // only "1" is true
    void SetBool(const std::string& key, bool value);
    void ResetToDefault(const std::string& key);

    // Fills the record from "BitRate", "Mode", "SingleFileLength" and
    // "DiskSpace"; missing keys get their defaults in memory (not on disk).
    // An unrecognised "Mode" text leaves settings.mode as it was.
    void ReadRecordingSettings(RecordingSettings& settings);

    int GetTvInputKind() const;  // 1..4 from "DirectXCable"
    bool IsTvCableInput() const;
    bool IsTvAntennaInput() const;

    // "r,g,b" of a colour key; the built-in colour for an empty value or one
    // with fewer than two commas.
    RgbColor GetColor(const std::string& key) const;

    const std::vector<std::pair<std::string, std::string>>& Entries() const { return m_entries; }

    // The key table, in order.
    static const std::vector<std::string>& KnownKeys();
    static bool IsKnownKey(const std::string& key);
    static std::string DefaultValue(const std::string& key);  // "" for unknown keys

    static std::string FilePath();  // program home + "config.ini"

private:
    void Put(const std::string& key, const std::string& value);

    std::vector<std::pair<std::string, std::string>> m_entries;
    std::vector<std::string> m_changed;  // keys set since made, loaded or saved
};

// "TraceLevel" of config.ini as a trace threshold: None 0, Error 10, Info 20,
// Debug 30, Detail 40, names compared without case; 0 when missing or unknown.
int GetTraceLevelNumber();
int TraceLevelNumberFromName(const std::string& name);

// atoi on a value that may hold any bytes: optional blanks and sign, leading
// digits, 0 if none; clamped to the int range instead of overflowing.
int AtoiValue(const std::string& text);

}  // namespace wk
