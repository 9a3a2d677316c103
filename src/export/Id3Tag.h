#pragma once
// The ID3v1.0 tag appended to exported MP3 files, and the genre table.
//
// Layout (128 bytes): "TAG", title 30, artist 30, album 30, year 4,
// comment 30, genre 1 (low byte of the index; no genre, -1, gives 0xFF).
// Texts are copied byte for byte, cut at the field width, zero-padded; a
// text as long as the field fills it without a terminating zero.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

namespace wk {

struct Description;

inline constexpr int kGenreCount = 126;

std::array<uint8_t, 128> BuildId3v1Tag(const Description& track);
// Appends the tag at the current position; false when writing fails.
bool WriteId3v1Tag(std::FILE* file, const Description& track);

// The name of genre 0..125; "" for -1 and anything outside the table.
std::string GetGenreName(int genre);
// The genre whose name equals `name` (case-insensitive), -1 when none.
int FindGenre(const std::string& name);

// The track-properties form: field limits and its check on OK.
struct TrackProperties {
    static constexpr size_t kTextLimit = 30;  // title, artist, album, comment
    static constexpr size_t kYearLimit = 4;
    std::string title, artist, album, year, comment;
    int genre = -1;

    static TrackProperties From(const Description& track);
    // Cuts every field to its limit.
    void Limit();
    // An empty artist reports "Invalid name!" to the event log and returns
    // false with `track` unchanged; otherwise stores every field.
    bool ApplyTo(Description& track) const;
};

}  // namespace wk
