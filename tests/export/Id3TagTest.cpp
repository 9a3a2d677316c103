#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "core/EventLog.h"
#include "descriptions/Description.h"
#include "export/Id3Tag.h"
#include "support/TempHome.h"

namespace wk {
namespace {

Description Track(std::string title, std::string artist, std::string album, std::string year,
                  std::string comment, int genre) {
    Description d;
    d.title = std::move(title);
    d.artist = std::move(artist);
    d.album = std::move(album);
    d.year = std::move(year);
    d.comment = std::move(comment);
    d.genre = genre;
    return d;
}

std::string Padded(std::string s, size_t width) {
    s.resize(width, '\0');
    return s;
}

std::string Bytes(const std::array<uint8_t, 128>& tag) {
    return std::string(tag.begin(), tag.end());
}

// Every field spelled out: "TAG", title 30, artist 30, album 30, year 4,
// comment 30, genre 1, each zero-padded to its width.
TEST(Id3TagTest, LayoutOfEveryField) {
    const std::string t30 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
    struct Case {
        const char* label;
        Description track;
        std::string title, artist, album, year, comment;
        uint8_t genre;
    } const cases[] = {
        {"short texts", Track("Song", "Band", "Album", "1999", "Nice", 17), "Song", "Band", "Album",
         "1999", "Nice", 17},
        {"a full field has no zero", Track("T", t30, "Alb", "", "", 0), "T", t30, "Alb", "", "", 0},
        {"longer texts are cut", Track(t30 + "xyz", "a", t30 + "more", "20011", t30 + "!", 1), t30,
         "a", t30, "2001", t30, 1},
        {"no genre writes 0xFF", Track("t", "a", "", "", "c", -1), "t", "a", "", "", "c", 0xFF},
        {"the last genre", Track("t", "a", "", "", "", 125), "t", "a", "", "", "", 0x7D},
        {"a genre outside the table writes its low byte", Track("t", "a", "", "", "", 0x1234), "t",
         "a", "", "", "", 0x34},
        {"below -1 too", Track("t", "a", "", "", "", -2), "t", "a", "", "", "", 0xFE},
        {"bytes go in unchanged", Track("\xC3\xA9t\xC3\xA9", "Caf\xE9", "", "", "", 4),
         "\xC3\xA9t\xC3\xA9", "Caf\xE9", "", "", "", 4},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Bytes(BuildId3v1Tag(c.track)),
                  "TAG" + Padded(c.title, 30) + Padded(c.artist, 30) + Padded(c.album, 30) +
                      Padded(c.year, 4) + Padded(c.comment, 30) + char(c.genre))
            << c.label;
    }
}

TEST(Id3TagTest, WriteAppendsAtTheEndOfTheFileAndFailsOnAReadOnlyOne) {
    test::TempDir dir;
    std::FILE* f = std::fopen(dir.File("t.mp3").c_str(), "wb+");
    std::fputs("audio", f);
    std::rewind(f);  // the tag still goes after everything there is
    const Description track = Track("Title", "Artist", "", "", "", 9);
    EXPECT_TRUE(WriteId3v1Tag(f, track));
    std::fclose(f);
    EXPECT_EQ(test::ReadFile(dir.File("t.mp3")), "audio" + Bytes(BuildId3v1Tag(track)));

    f = std::fopen(dir.File("t.mp3").c_str(), "rb");
    EXPECT_FALSE(WriteId3v1Tag(f, Description()));
    std::fclose(f);
    EXPECT_EQ(test::ReadFile(dir.File("t.mp3")).size(), 133u);
    EXPECT_FALSE(WriteId3v1Tag(nullptr, Description()));
}

TEST(Id3GenreTableTest, NamesAreDistinctFoundAgainIgnoringCaseAndBounded) {
    std::set<std::string> seen;
    for (int i = 0; i < kGenreCount; ++i) {
        const std::string name = GetGenreName(i);
        EXPECT_FALSE(name.empty()) << i;
        EXPECT_TRUE(seen.insert(name).second) << name;
        EXPECT_EQ(FindGenre(name), i) << name;
    }
    for (int outside : {-1, -2, kGenreCount, 1000}) EXPECT_EQ(GetGenreName(outside), "") << outside;
    const std::pair<std::string, int> cases[] = {
        {"r&b", 14}, {"DANCE HALL", 125}, {"Dance Hall ", -1}, {"Dance", 3},
        {"", -1},    {"Polka!", -1}};
    for (const auto& [name, genre] : cases) EXPECT_EQ(FindGenre(name), genre) << name;
}

class Id3TrackPropertiesTest : public test::TempHomeTest {};

TEST_F(Id3TrackPropertiesTest, FormShowsTheTrackAndLimitsItsFields) {
    const std::string long40(40, 'x');
    TrackProperties form =
        TrackProperties::From(Track(long40, "Artist", "Album", "19999", long40, 33));
    EXPECT_EQ(form.title, long40);
    EXPECT_EQ(form.genre, 33);
    form.Limit();
    EXPECT_EQ(form.title + form.comment, std::string(60, 'x'));
    EXPECT_EQ(form.year, "1999");
    EXPECT_EQ(form.artist + form.album, "ArtistAlbum");
    // A cut never splits a two-byte character: 29 ASCII bytes and an "é".
    std::string title(29, 'a');
    title.append("\xC3\xA9");
    TrackProperties utf = TrackProperties::From(Track(title, "a", "", "", "", -1));
    utf.Limit();
    EXPECT_EQ(utf.title, std::string(29, 'a'));
    // The list has no item for a number outside the table: no genre is shown.
    EXPECT_EQ(TrackProperties::From(Track("", "", "", "", "", 200)).genre, -1);
    EXPECT_EQ(TrackProperties::From(Track("", "", "", "", "", 125)).genre, 125);
}

TEST_F(Id3TrackPropertiesTest, ApplyStoresEveryFieldCutOrRefusesAnEmptyArtist) {
    Description track = Track("old", "old", "old", "1900", "old", 1);
    track.start = 1234;
    TrackProperties form{"New title", std::string(31, 'A'), "New album", "20245", "", 125};
    ASSERT_TRUE(form.ApplyTo(track));
    Description expected = Track("New title", std::string(30, 'A'), "New album", "2024", "", 125);
    expected.start = 1234;
    EXPECT_TRUE(track.SameContent(expected));
    EXPECT_TRUE(EventLog::Instance().ReadLines().empty());

    form.artist.clear();
    form.title = "changed";
    EXPECT_FALSE(form.ApplyTo(track));
    EXPECT_TRUE(track.SameContent(expected));
    const std::vector<std::string> lines = EventLog::Instance().ReadLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Invalid name!"), std::string::npos) << lines[0];
}

}  // namespace
}  // namespace wk
