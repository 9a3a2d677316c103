#include "export/Id3Tag.h"

#include <sys/types.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "core/EventLog.h"
#include "descriptions/Description.h"

namespace wk {
namespace {

// The ID3v1 genre list with its common extension to 126 names, spelled as
// every tagger spells them.
// clang-format off
constexpr std::array<std::string_view, kGenreCount> kGenres = {
    /*   0 */ "Blues", "Classic Rock", "Country", "Dance",
    /*   4 */ "Disco", "Funk", "Grunge", "Hip-Hop",
    /*   8 */ "Jazz", "Metal", "New Age", "Oldies",
    /*  12 */ "Other", "Pop", "R&B", "Rap",
    /*  16 */ "Reggae", "Rock", "Techno", "Industrial",
    /*  20 */ "Alternative", "Ska", "Death Metal", "Pranks",
    /*  24 */ "Soundtrack", "Euro-Techno", "Ambient", "Trip-Hop",
    /*  28 */ "Vocal", "Jazz+Funk", "Fusion", "Trance",
    /*  32 */ "Classical", "Instrumental", "Acid", "House",
    /*  36 */ "Game", "Sound Clip", "Gospel", "Noise",
    /*  40 */ "AlternRock", "Bass", "Soul", "Punk",
    /*  44 */ "Space", "Meditative", "Instrumental Pop", "Instrumental Rock",
    /*  48 */ "Ethnic", "Gothic", "Darkwave", "Techno-Industrial",
    /*  52 */ "Electronic", "Pop-Folk", "Eurodance", "Dream",
    /*  56 */ "Southern Rock", "Comedy", "Cult", "Gangsta",
    /*  60 */ "Top 40", "Christian Rap", "Pop/Funk", "Jungle",
    /*  64 */ "Native American", "Cabaret", "New Wave", "Psychadelic",
    /*  68 */ "Rave", "Showtunes", "Trailer", "Lo-Fi",
    /*  72 */ "Tribal", "Acid Punk", "Acid Jazz", "Polka",
    /*  76 */ "Retro", "Musical", "Rock & Roll", "Hard Rock",
    /*  80 */ "Folk", "Folk-Rock", "National Folk", "Swing",
    /*  84 */ "Fast Fusion", "Bebob", "Latin", "Revival",
    /*  88 */ "Celtic", "Bluegrass", "Avantgarde", "Gothic Rock",
    /*  92 */ "Progressive Rock", "Psychedelic Rock", "Symphonic Rock", "Slow Rock",
    /*  96 */ "Big Band", "Chorus", "Easy Listening", "Acoustic",
    /* 100 */ "Humour", "Speech", "Chanson", "Opera",
    /* 104 */ "Chamber Music", "Sonata", "Symphony", "Booty Bass",
    /* 108 */ "Primus", "Porn Groove", "Satire", "Slow Jam",
    /* 112 */ "Club", "Tango", "Samba", "Folklore",
    /* 116 */ "Ballad", "Power Ballad", "Rhythmic Soul", "Freestyle",
    /* 120 */ "Duet", "Punk Rock", "Drum Solo", "Acapella",
    /* 124 */ "Euro-House", "Dance Hall",
};
// clang-format on

// Offsets and widths of the text fields.
constexpr size_t kTitleAt = 3;
constexpr size_t kArtistAt = 33;
constexpr size_t kAlbumAt = 63;
constexpr size_t kYearAt = 93;
constexpr size_t kCommentAt = 97;
constexpr size_t kGenreAt = 127;
constexpr size_t kTextWidth = 30;
constexpr size_t kYearWidth = 4;

void PutField(std::array<uint8_t, 128>& tag, size_t at, size_t width, const std::string& text) {
    const size_t n = std::min(width, text.size());
    std::memcpy(tag.data() + at, text.data(), n);
}

// `text` cut to at most `limit` bytes, never inside a UTF-8 sequence: a cut
// that would fall on a continuation byte moves back to the sequence's start.
std::string CutText(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t cut = limit;
    while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

}  // namespace

std::array<uint8_t, 128> BuildId3v1Tag(const Description& track) {
    std::array<uint8_t, 128> tag{};
    tag[0] = 'T';
    tag[1] = 'A';
    tag[2] = 'G';
    PutField(tag, kTitleAt, kTextWidth, track.title);
    PutField(tag, kArtistAt, kTextWidth, track.artist);
    PutField(tag, kAlbumAt, kTextWidth, track.album);
    PutField(tag, kYearAt, kYearWidth, track.year);
    PutField(tag, kCommentAt, kTextWidth, track.comment);
    tag[kGenreAt] = static_cast<uint8_t>(static_cast<uint32_t>(track.genre) & 0xFF);
    return tag;
}

bool WriteId3v1Tag(std::FILE* file, const Description& track) {
    if (file == nullptr) return false;
    const std::array<uint8_t, 128> tag = BuildId3v1Tag(track);
    if (::fseeko(file, 0, SEEK_END) != 0) return false;
    return std::fwrite(tag.data(), 1, tag.size(), file) == tag.size() && std::ferror(file) == 0;
}

std::string GetGenreName(int genre) {
    if (genre < 0 || genre >= kGenreCount) return {};
    return std::string(kGenres[static_cast<size_t>(genre)]);
}

int FindGenre(const std::string& name) {
    const auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    for (int i = 0; i < kGenreCount; ++i) {
        const std::string_view g = kGenres[static_cast<size_t>(i)];
        if (g.size() == name.size() &&
            std::equal(g.begin(), g.end(), name.begin(),
                       [&](char a, char b) { return lower(a) == lower(b); })) {
            return i;
        }
    }
    return -1;
}

TrackProperties TrackProperties::From(const Description& track) {
    TrackProperties p;
    p.title = track.title;
    p.artist = track.artist;
    p.album = track.album;
    p.year = track.year;
    p.comment = track.comment;
    // The genre list has no item for a number outside the table: the form
    // shows "no genre" for it, and that is what it stores unless changed.
    p.genre = (track.genre >= 0 && track.genre < kGenreCount) ? track.genre : -1;
    return p;
}

void TrackProperties::Limit() {
    title = CutText(title, kTextLimit);
    artist = CutText(artist, kTextLimit);
    album = CutText(album, kTextLimit);
    year = CutText(year, kYearLimit);
    comment = CutText(comment, kTextLimit);
    if (genre < -1 || genre >= kGenreCount) genre = -1;
}

bool TrackProperties::ApplyTo(Description& track) const {
    if (artist.empty()) {
        Report("Invalid name!", 0);
        return false;
    }
    // The form's fields never hold more than their limits.
    TrackProperties limited = *this;
    limited.Limit();
    track.title = limited.title;
    track.artist = limited.artist;
    track.album = limited.album;
    track.year = limited.year;
    track.comment = limited.comment;
    track.genre = limited.genre;
    return true;
}

}  // namespace wk
