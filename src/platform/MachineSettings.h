#pragma once
// The few per-machine values that other platforms keep in a registry (the
// capture device number, the description-file folder), stored as "key=value"
// lines in "machine.ini" in the program home. Read afresh on every Get; Set
// rewrites the file at once. Not meant for concurrent writers.

#include <optional>
#include <string>

namespace wk {

class MachineSettings {
public:
    // Keys in use.
    static constexpr const char* kLastSelectedMixer = "nLastSelectedMixer";
    static constexpr const char* kDescriptionFolder = "DefaultDir";

    static std::optional<std::string> Get(const std::string& key);
    static int GetInt(const std::string& key, int fallback);
    // False when the file cannot be written.
    static bool Set(const std::string& key, const std::string& value);
};

}  // namespace wk
