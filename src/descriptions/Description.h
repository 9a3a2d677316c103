#pragma once
// One description: which track a stream played from when to when.
//
// Line format (fields separated by one TAB, no quoting; written with CR LF):
//   0 start, 1 end: "DD/MM/YYYY  hh:mm:ss.mmm" (read at fixed positions)
//   2 artist, 3 title, 4 album, 5 year, 6 comment: text
//   7 genre: decimal, empty for -1
//   8 fingerprint: empty, or "<start - fingerprint time>:<base64 snippet>"
//   9 not identified: "1" or "0" (optional; "1" after trimming sets it)
// A line with fewer than nine fields yields a blank record (times 0, genre
// -1, no fingerprint); fields after the tenth are ignored.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/DateTime.h"

namespace wk {

inline constexpr int kCoverageComplete = 0;
inline constexpr int kCoveragePartial = 1;
inline constexpr int kCoverageMissing = 2;

struct Description {
    std::string artist;
    std::string title;
    std::string album;
    std::string year;
    std::string comment;
    int32_t genre = -1;
    std::string fingerprint;         // base64, empty for none
    StreamTime fingerprintTime = 0;  // stream time of the snippet's first byte
    bool notIdentified = false;
    StreamTime start = 0;
    StreamTime end = 0;
    int32_t coverage = kCoverageMissing;  // not stored in the file

    virtual ~Description() = default;
    // Replaces every field by those of the line.
    virtual void FromLine(std::string_view line);
    // The line without its line end.
    virtual std::string ToLine() const;

    // Equal in every stored field (coverage does not count).
    bool SameContent(const Description& other) const;
    // The decoded snippet (empty when there is none).
    std::vector<uint8_t> FingerprintBytes() const;
};

// Standard base64 with "=" padding. The decoder skips every character outside
// the alphabet and stops at the first group that ends in padding.
std::string Base64Encode(std::span<const uint8_t> bytes);
std::vector<uint8_t> Base64Decode(std::string_view text);

}  // namespace wk
