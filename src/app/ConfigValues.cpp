#include "app/ConfigValues.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>

#include "core/ConfigStore.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

// Digits only, after an optional minus, within [low, high].
std::optional<long long> WholeNumber(std::string_view text, long long low, long long high) {
    if (text.empty() || text.size() > 12) return std::nullopt;
    size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return std::nullopt;
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    if (text[0] == '-') value = -value;
    if (value < low || value > high) return std::nullopt;
    return value;
}

template <size_t N>
bool OneOf(const std::string& value, const char* const (&names)[N], bool anyCase = false) {
    return std::any_of(std::begin(names), std::end(names), [&](const char* name) {
        const std::string_view n = name;
        if (!anyCase) return value == n;
        return value.size() == n.size() &&
               std::equal(n.begin(), n.end(), value.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
               });
    });
}

template <size_t N>
std::string Listed(const char* const (&names)[N]) {
    std::string text;
    for (size_t i = 0; i < N; ++i) text += (i == 0 ? "\"" : i + 1 == N ? " or \"" : ", \"") + std::string(names[i]) + "\"";
    return text;
}

std::string FolderProblem(const std::string& value) {
    if (value.empty() || value[0] != '/') return "a folder is given from the root, starting with \"/\"";
    struct stat st {};
    if (::stat(value.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return "\"" + value + "\" is a file, not a folder";
    return {};
}

std::string UrlProblem(const std::string& value) {
    const size_t scheme = value.find("://");
    const std::string name = scheme == std::string::npos ? std::string() : value.substr(0, scheme);
    const size_t hostEnd = scheme == std::string::npos ? 0 : value.find_first_of("/?#", scheme + 3);
    const std::string host = scheme == std::string::npos ? std::string() : value.substr(scheme + 3, hostEnd - scheme - 3);
    if ((name != "http" && name != "https") || host.empty() || host[0] == ':')
        return "an address starts with http:// or https:// and a host name";
    if (std::any_of(value.begin(), value.end(), [](char c) { return c == ' ' || static_cast<unsigned char>(c) < 0x20; }))
        return "an address holds no blanks or control characters (write a blank as %20)";
    return {};
}

std::string ColorProblem(const std::string& value) {
    if (value.empty()) return {};  // the built-in colour
    const std::string why = "a colour is empty (the built-in one) or red,green,blue from 0 to 255, such as 185,0,0";
    std::string_view rest = value;
    for (int part = 0; part < 3; ++part) {
        const size_t comma = rest.find(',');
        if ((part < 2) == (comma == std::string_view::npos)) return why;
        if (!WholeNumber(rest.substr(0, comma), 0, 255) || rest[0] == '-') return why;
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return {};
}

std::string FlagProblem(const std::string& key, const std::string& value) {
    // The options dialog of old wrote an undecided check box of the
    // automation flags as "2"; it reads as off.
    const bool triState = key == "AutoScheduleDownload" || key == "AutoPlaylistDownload" || key == "AutoExport";
    if (value == "0" || value == "1" || (triState && value == "2")) return {};
    return triState ? "a switch is 1 (on) or 0 (off; 2 also reads as off)" : "a switch is 1 (on) or 0 (off)";
}

}  // namespace

std::string ConfigValueProblem(const std::string& key, const std::string& value) {
    if (!ConfigStore::IsKnownKey(key)) return {};
    if (key == "ExportPath" || key == "StreamPath") return FolderProblem(value);
    if (key == "DefaultURL" || key == "ScheduleURL" || key == "UploadURL" || key == "TimeCheckURL" ||
        key == "URLChanelList")
        return UrlProblem(value);
    if (key == "RecordColor" || key == "WaveColor" || key == "BckgrdColor") return ColorProblem(value);
    if (key == "EnableSilenceDet" || key == "AutoScheduleDownload" || key == "AutoPlaylistDownload" ||
        key == "TVInputAntenna" || key == "AutoChannelSwitch" || key == "AutoExport" || key == "ConfigRunWizard")
        return FlagProblem(key, value);
    if (key == "ActiveView") {
        static const char* const kViews[] = {"Schedule", "Player", "Description"};
        return OneOf(value, kViews) ? std::string() : "the view at start is " + Listed(kViews);
    }
    if (key == "Encoder")
        return OneOf(value, kEncoderNames) ? std::string() : "the encoder is " + Listed(kEncoderNames);
    if (key == "Mode") return OneOf(value, kModeNames) ? std::string() : "the mode is " + Listed(kModeNames);
    if (key == "TraceLevel")
        return OneOf(value, kTraceLevelNames, true) ? std::string() : "the trace level is " + Listed(kTraceLevelNames);
    if (key == "BitRate") {
        const auto rate = WholeNumber(value, 0, 1000);
        if (rate && std::find(std::begin(kBitRates), std::end(kBitRates), *rate) != std::end(kBitRates)) return {};
        std::string rates;
        for (int r : kBitRates) rates += (rates.empty() ? "" : ", ") + std::to_string(r);
        return "a bit rate is one of " + rates + " kbit/s";
    }
    if (key == "SingleFileLength") {
        const auto seconds = ParseChunkSeconds(value);
        return seconds && *seconds <= kMaxChunkSeconds
                   ? std::string()
                   : "a chunk length is a whole number of seconds from 1 to " + std::to_string(kMaxChunkSeconds);
    }
    if (key == "DiskSpace")
        return WholeNumber(value, 1, kMaxDiskSpaceMb) ? std::string()
                                                      : "the disk allowance is a whole number of megabytes from 1 to " +
                                                            std::to_string(kMaxDiskSpaceMb);
    if (key == "DirectXCable")
        return WholeNumber(value, 1, 4) ? std::string() : "the TV input kind is 1, 2, 3 or 4";
    if (key == "CountryCode")
        return WholeNumber(value, 1, 9999) ? std::string() : "a country code is a number from 1 to 9999, such as 49";
    if (key == "FreqSatelliteModeSignal")
        return WholeNumber(value, 0, 0x7fffffff) ? std::string() : "a tuner channel is a whole number from 0 up";
    if (key == "AudioMixer")
        return WholeNumber(value, -1, 255) ? std::string() : "a mixer is a card number from 0 to 255, or -1 for the first";
    if (key == "AudioSource")
        return WholeNumber(value, 0, 1023) ? std::string() : "a recording source is a number from 0 to 1023";
    if (key == "ActiveStream")
        return StreamNameFile::IsSafeFolderName(value)
                   ? std::string()
                   : "a stream name is one folder name: not empty, \".\" or \"..\", and without \"/\"";
    return {};  // ActiveSkin: the skin chooser says whether a skin loads
}

}  // namespace wk
