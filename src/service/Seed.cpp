#include "service/Seed.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <span>
#include <system_error>

#include "core/FileUtil.h"
#include "core/Trace.h"
#include "descriptions/DescriptionStore.h"
#include "descriptions/Timeshift.h"
#include "recording/SideFileCalculator.h"
#include "service/ServiceData.h"

namespace wk {

namespace fs = std::filesystem;

namespace {

constexpr int kRenderBlockFrames = 4096;
constexpr int kStepFrames = kSeedSampleRate / 100;  // one .fgp byte
constexpr const char* kDescriptionVersion = "0.9";
constexpr const char* kChannelKindRadio = "One";
constexpr size_t kMaxFileName = 128;

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Field(std::string_view line, size_t index) {
    for (size_t i = 0; i < index; ++i) {
        const size_t tab = line.find('\t');
        if (tab == std::string_view::npos) return {};
        line.remove_prefix(tab + 1);
    }
    return line.substr(0, line.find('\t'));
}

// A plain decimal channel number; 0 for anything else.
int64_t ChannelNumber(std::string_view text) {
    int64_t value = 0;
    if (text.empty() || text.size() > 9) return 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Adds "stream TAB One TAB number" to channels.txt unless the stream is
// listed; the number is one above the highest listed.
bool AddChannel(const std::string& folder, const std::string& stream, bool& added,
                std::string* error) {
    added = false;
    const std::string path = (fs::path(folder) / "channels.txt").string();
    std::error_code ec;
    std::vector<std::string> lines;
    if (fs::exists(path, ec)) {
        auto read = ReadTextLines(path);
        if (!read) {
            if (error) *error = "cannot read " + path;
            return false;
        }
        lines = std::move(*read);
    }
    int64_t highest = 0;
    for (const auto& line : lines) {
        if (line.empty() || line.front() == '#') continue;
        if (SameTextIgnoringCase(Field(line, 0), stream)) return true;
        highest = std::max(highest, ChannelNumber(Field(line, 2)));
    }
    std::string text;
    for (const auto& line : lines) text.append(line).append("\n");
    text.append(stream).append("\t").append(kChannelKindRadio).append("\t");
    text.append(std::to_string(highest + 1)).append("\n");
    if (!ReplaceFileContents(path, text)) {
        if (error) *error = "cannot write " + path;
        return false;
    }
    added = true;
    return true;
}

bool IsSafeFileName(const std::string& name) {
    constexpr std::string_view kExtension = ".des";
    if (name.size() <= kExtension.size() || name.size() > kMaxFileName) return false;
    if (name.compare(name.size() - kExtension.size(), kExtension.size(), kExtension) != 0)
        return false;
    // The same rules as a stream folder name: one plain name inside the folder.
    return ServiceData::IsSafeStreamName(name);
}

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string CheckSeedOptions(const SeedOptions& options) {
    if (options.dataFolder.empty()) return "no data folder";
    if (!ServiceData::IsSafeStreamName(options.stream))
        return "the stream name must be 1 to 128 bytes without '/', '\\', control characters "
               "or a leading '.'";
    if (options.seconds < 1 || options.seconds > kSeedMaxSeconds)
        return "the broadcast described must last from 1 second to a day";
    if (options.start < 0) return "the start must not lie before 01/01/2000";
    if (options.offsetErrorMs < -kSeedMaxOffsetErrorMs ||
        options.offsetErrorMs > kSeedMaxOffsetErrorMs)
        return "the offset error must lie within an hour either way";
    if (options.channels != 1 && options.channels != 2) return "channels must be 1 or 2";
    if (!IsSafeFileName(options.fileName))
        return "the file name must be a plain name ending in \".des\"";
    return {};
}

StreamTime SeedFrameTime(StreamTime start, int64_t frame) {
    // Rounded to the nearest millisecond (frames are never negative here).
    return start + (frame * 1000 + kSeedSampleRate / 2) / kSeedSampleRate;
}

std::vector<SeedTrack> SeedTracks(const SeedOptions& options) {
    const int64_t frames = options.seconds * kSeedSampleRate;
    const int64_t leadFrames = kSeedSnippetLeadMs * kSeedSampleRate / 1000;
    std::vector<SeedTrack> tracks;
    for (const GeneratedTrack& t :
         GeneratedMusic::Layout(options.seed, kSeedSampleRate, frames, options.timing)) {
        if (t.pause || t.endFrame > frames) continue;
        SeedTrack track;
        track.number = t.number;
        track.startFrame = t.startFrame;
        track.endFrame = t.endFrame;
        track.start = SeedFrameTime(options.start, t.startFrame);
        track.end = SeedFrameTime(options.start, t.endFrame);
        track.snippetByte = std::max<int64_t>(0, t.startFrame - leadFrames) / kStepFrames;
        track.snippetTime = options.start + track.snippetByte * kMsPerFingerprintByte;
        tracks.push_back(track);
    }
    return tracks;
}

std::vector<uint8_t> GeneratorFingerprintBytes(uint32_t seed, int channels, int64_t frames,
                                               const GeneratorTiming& timing) {
    GeneratedMusic music(seed, kSeedSampleRate, channels, timing);
    SideFileCalculator side(kSeedSampleRate, channels);
    std::vector<int16_t> block(static_cast<size_t>(kRenderBlockFrames) *
                               static_cast<size_t>(channels));
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(std::max<int64_t>(0, frames) / kStepFrames + 1));
    for (int64_t done = 0; done < frames;) {
        const int64_t n = std::min<int64_t>(kRenderBlockFrames, frames - done);
        music.Render(block.data(), n);
        side.AddBlock(std::span<const int16_t>(block.data(), static_cast<size_t>(n * channels)));
        bytes.insert(bytes.end(), side.Fgp().begin(), side.Fgp().end());
        done += n;
    }
    return bytes;
}

std::vector<Description> SeedDescriptions(const SeedOptions& options) {
    const std::vector<SeedTrack> tracks = SeedTracks(options);
    int64_t bytesNeeded = 0;
    for (const SeedTrack& t : tracks)
        bytesNeeded = std::max<int64_t>(bytesNeeded, t.snippetByte + kSnippetBytes);
    const std::vector<uint8_t> fgp = GeneratorFingerprintBytes(
        options.seed, options.channels, bytesNeeded * kStepFrames, options.timing);

    const std::string seed = std::to_string(options.seed);
    std::vector<Description> records;
    records.reserve(tracks.size());
    for (const SeedTrack& t : tracks) {
        const std::string number = std::to_string(t.number);
        Description d;
        d.artist = "Generator Band " + number;
        d.title = "Track " + number + " of seed " + seed;
        d.album = "Generator seed " + seed;
        const auto n = static_cast<uint32_t>(t.number);
        d.year = std::to_string(1970 + (options.seed % 37 + 7 * n) % 50);
        d.comment = "generator:" + seed + " track " + number;
        d.genre = static_cast<int32_t>((options.seed % 101 + 13 * n) % 126);
        d.start = t.start + options.offsetErrorMs;
        d.end = t.end + options.offsetErrorMs;
        d.fingerprintTime = t.snippetTime + options.offsetErrorMs;
        const auto first = static_cast<size_t>(t.snippetByte);
        d.fingerprint = Base64Encode(std::span<const uint8_t>(fgp).subspan(first, kSnippetBytes));
        records.push_back(std::move(d));
    }
    return records;
}

bool SeedGeneratorBroadcast(const SeedOptions& options, std::string* error, SeedResult* result) {
    if (const std::string why = CheckSeedOptions(options); !why.empty()) {
        if (error) *error = why;
        return false;
    }
    ServiceData data(options.dataFolder);
    const std::string folder = data.StreamFolder(options.stream);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        if (error) *error = "cannot create " + folder + ": " + ec.message();
        return false;
    }

    DescriptionStore store(folder, options.fileName);
    store.header[0] = kDescriptionVersion;
    store.header[1] = options.stream;
    store.header[2] = kTrustedMarker;
    std::vector<Description> records = SeedDescriptions(options);
    for (const Description& d : records) store.Add(d);
    if (!store.Save()) {
        if (error) *error = "cannot write " + store.FilePath();
        return false;
    }
    Trace(kTraceInfo, "Seed: %zu descriptions of generator seed %u written to %s", records.size(),
          options.seed, store.FilePath().c_str());

    bool added = false;
    if (!AddChannel(data.Folder(), options.stream, added, error)) return false;
    if (result) {
        result->path = store.FilePath();
        result->records = std::move(records);
        result->channelAdded = added;
    }
    return true;
}

std::optional<StreamTime> ParseSeedTime(std::string_view text) {
    // DD/MM/YYYY, one or two blanks, hh:mm:ss, optionally .mmm
    if (text.size() < 19) return std::nullopt;
    const std::string_view date = text.substr(0, 10);
    text.remove_prefix(10);
    if (text.front() != ' ') return std::nullopt;
    text.remove_prefix(text.size() > 1 && text[1] == ' ' ? 2 : 1);
    if (text.size() != 8 && text.size() != 12) return std::nullopt;
    const bool dateShape = date[2] == '/' && date[5] == '/' && AllDigits(date.substr(0, 2)) &&
                           AllDigits(date.substr(3, 2)) && AllDigits(date.substr(6, 4));
    const bool timeShape = text[2] == ':' && text[5] == ':' && AllDigits(text.substr(0, 2)) &&
                           AllDigits(text.substr(3, 2)) && AllDigits(text.substr(6, 2)) &&
                           (text.size() == 8 || (text[8] == '.' && AllDigits(text.substr(9, 3))));
    if (!dateShape || !timeShape) return std::nullopt;
    std::string normal(date);
    normal.append("  ").append(text);
    if (text.size() == 8) normal.append(".000");
    const DateTime t = DateTime::ParseLongText(normal);
    if (!t.IsValid() || t.hour > 23) return std::nullopt;
    return t.ToStreamTime();
}

}  // namespace wk
