#include "player/TimeLineScene.h"

#include <cctype>
#include <optional>
#include <string_view>

#include "core/PrintableText.h"
#include "core/Trace.h"

namespace wk {
namespace {

std::optional<int> ColorPart(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.empty() || text.size() > 3) return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > 255) return std::nullopt;
    return value;
}

}  // namespace

RgbColor ReadColorKey(const ConfigStore& config, const std::string& key) {
    // A store without the key answers with the built-in colour.
    const RgbColor builtIn = ConfigStore().GetColor(key);
    if (!config.HasKey(key)) return builtIn;
    const std::string value = config.GetString(key);
    if (value.empty()) return builtIn;
    const size_t first = value.find(',');
    const size_t second = first == std::string::npos ? first : value.find(',', first + 1);
    if (second != std::string::npos && value.find(',', second + 1) == std::string::npos) {
        const std::string_view v = value;
        const auto r = ColorPart(v.substr(0, first));
        const auto g = ColorPart(v.substr(first + 1, second - first - 1));
        const auto b = ColorPart(v.substr(second + 1));
        if (r && g && b) return {*r, *g, *b};
    }
    Trace(kTraceInfo, "config.ini: %s \"%s\" is no colour (r,g,b from 0 to 255); the built-in one is used",
          key.c_str(), PrintableText(value).c_str());
    return builtIn;
}

TimeLineColors ReadTimeLineColors(const ConfigStore& config) {
    return {ReadColorKey(config, "RecordColor"), ReadColorKey(config, "WaveColor"),
            ReadColorKey(config, "BckgrdColor")};
}

}  // namespace wk
