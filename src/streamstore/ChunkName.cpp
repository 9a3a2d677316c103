#include "streamstore/ChunkName.h"

#include <climits>
#include <cstdio>
#include <mutex>

namespace wk {
namespace {
std::mutex g_prefixMutex;
std::string g_prefix;
std::string g_prefixFolder;

constexpr size_t kNumbersAt = 20;  // after "YYYY_MM_DD_hh_mm_ss_"

// Exactly `width` digits at `pos`.
std::optional<int32_t> FixedField(std::string_view text, size_t pos, size_t width) {
    int32_t value = 0;
    for (size_t i = pos; i < pos + width; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Decimal digits from `pos` up to `end` (not included), at least one, value
// at most INT_MAX; `pos` moves past `end`.
std::optional<int64_t> NumberUntil(std::string_view text, size_t& pos, char end) {
    const size_t stop = text.find(end, pos);
    if (stop == std::string_view::npos || stop == pos) return std::nullopt;
    int64_t value = 0;
    for (size_t i = pos; i < stop; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > INT_MAX) return std::nullopt;  // leading zeros cannot overflow it either
    }
    pos = stop + 1;
    return value;
}

}  // namespace

std::optional<ChunkNameFields> ParseChunkName(std::string_view name) {
    // The shortest possible name: the date part, "1_1_1" and a dot.
    if (name.size() < kNumbersAt + 6) return std::nullopt;
    for (const size_t sep : {4u, 7u, 10u, 13u, 16u, 19u}) {
        if (name[sep] != '_') return std::nullopt;
    }
    const auto year = FixedField(name, 0, 4);
    const auto month = FixedField(name, 5, 2);
    const auto day = FixedField(name, 8, 2);
    const auto hour = FixedField(name, 11, 2);
    const auto minute = FixedField(name, 14, 2);
    const auto second = FixedField(name, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;

    ChunkNameFields fields;
    fields.start = DateTime(*year, *month, *day, *hour, *minute, *second);
    // Hour 24 is a valid DateTime but no clock names a session with it.
    if (!fields.start.IsValid() || *hour > 23) return std::nullopt;

    size_t pos = kNumbersAt;
    const auto duration = NumberUntil(name, pos, '_');
    if (!duration) return std::nullopt;
    const auto length = NumberUntil(name, pos, '_');
    if (!length) return std::nullopt;
    const auto number = NumberUntil(name, pos, '.');
    if (!number) return std::nullopt;
    // A length of 0 would divide by zero wherever a chunk is located.
    if (*duration < 1 || *length < 1 || *number < 1) return std::nullopt;
    if ((*number - 1) * *length > INT_MAX) return std::nullopt;

    fields.durationMs = *duration * kMsPerSecond;
    fields.lengthMs = *length * kMsPerSecond;
    fields.number = static_cast<int>(*number);
    return fields;
}

bool BelongsToSession(std::string_view name, std::string_view sessionPrefix) {
    if (sessionPrefix.empty() || !name.starts_with(sessionPrefix)) return false;
    return sessionPrefix.back() == '_' || name.size() == sessionPrefix.size() ||
           name[sessionPrefix.size()] == '_';
}

std::string ChunkSessionName(const DateTime& start, long long durationSeconds,
                             long long lengthSeconds) {
    char name[96];
    std::snprintf(name, sizeof name, "%04d_%02d_%02d_%02d_%02d_%02d_%lld_%lld", start.year,
                  start.month, start.day, start.hour, start.minute, start.second, durationSeconds,
                  lengthSeconds);
    return name;
}

std::string ChunkBaseName(const DateTime& start, long long durationSeconds, long long lengthSeconds,
                          int number) {
    return ChunkSessionName(start, durationSeconds, lengthSeconds) + "_" + std::to_string(number);
}

std::string CurrentSessionPrefix(std::string* folder) {
    std::lock_guard lock(g_prefixMutex);
    if (folder != nullptr) *folder = g_prefixFolder;
    return g_prefix;
}

void SetCurrentSessionPrefix(const std::string& prefix, const std::string& folder) {
    std::lock_guard lock(g_prefixMutex);
    g_prefix = prefix;
    g_prefixFolder = prefix.empty() ? std::string() : folder;
}

std::optional<int> ParseChunkSeconds(std::string_view text) {
    size_t pos = 0;
    std::string padded(text);
    padded += '.';
    const auto seconds = NumberUntil(padded, pos, '.');
    if (!seconds || pos != padded.size() || *seconds < 1) return std::nullopt;
    return static_cast<int>(*seconds);
}

std::string ChunkLengthRefusal(std::string_view text) {
    return "not recording: \"SingleFileLength\" is \"" + std::string(text) +
           "\", but a chunk length must be a whole number of seconds from 1 to " +
           std::to_string(INT_MAX) + " (\"wavkeep config set SingleFileLength 10\")";
}

}  // namespace wk
