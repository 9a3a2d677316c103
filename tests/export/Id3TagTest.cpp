#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "core/EventLog.h"
#include "descriptions/Description.h"
#include "export/Id3Tag.h"
#include "support/TempHome.h"

namespace wk {
namespace {

std::string Bytes(const std::array<uint8_t, 128>& tag, size_t at, size_t n) {
    return std::string(reinterpret_cast<const char*>(tag.data()) + at, n);
}

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

// Every field of the expected tag spelled out: offset, width and content
// (zero-padded to the width).
struct FieldCase {
    const char* label;
    Description track;
    std::string title, artist, album, year, comment;
    uint8_t genre;
};

std::string Padded(const std::string& s, size_t width) {
    std::string out = s;
    out.resize(width, '\0');
    return out;
}

TEST(Id3TagTest, LayoutOfEveryField) {
    const std::string thirty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";  // 30 characters
    ASSERT_EQ(thirty.size(), 30u);
    const std::vector<FieldCase> cases = {
        {"short texts", Track("Song", "Band", "Album", "1999", "Nice", 17), "Song", "Band", "Album",
         "1999", "Nice", 17},
        {"a 30-character artist fills 33..62 without a zero; the album follows at 63",
         Track("T", thirty, "Alb", "", "", 0), "T", thirty, "Alb", "", "", 0},
        {"longer texts are cut at the field width",
         Track(thirty + "xyz", "a", thirty + "more", "2001", thirty + "!", 1), thirty, "a", thirty,
         "2001", thirty, 1},
        {"a five-character year writes its first four", Track("t", "a", "", "20011", "", 2), "t",
         "a", "", "2001", "", 2},
        {"an empty year writes zeros", Track("t", "a", "", "", "c", 3), "t", "a", "", "", "c", 3},
        {"no genre writes 0xFF", Track("t", "a", "", "", "", -1), "t", "a", "", "", "", 0xFF},
        {"the last genre writes 0x7D", Track("t", "a", "", "", "", 125), "t", "a", "", "", "",
         0x7D},
        {"a genre outside the table writes its low byte", Track("t", "a", "", "", "", 0x1234), "t",
         "a", "", "", "", 0x34},
        {"a negative genre below -1 writes its low byte", Track("t", "a", "", "", "", -2), "t", "a",
         "", "", "", 0xFE},
        {"no comment writes 30 zeros at 97..126", Track("t", "a", "b", "1990", "", 5), "t", "a",
         "b", "1990", "", 5},
        {"bytes go in unchanged", Track("\xC3\xA9t\xC3\xA9", "Caf\xE9", "", "", "", 4),
         "\xC3\xA9t\xC3\xA9", "Caf\xE9", "", "", "", 4},
    };
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(c.label);
        const std::array<uint8_t, 128> tag = BuildId3v1Tag(c.track);
        EXPECT_EQ(Bytes(tag, 0, 3), "TAG");
        EXPECT_EQ(Bytes(tag, 3, 30), Padded(c.title, 30));
        EXPECT_EQ(Bytes(tag, 33, 30), Padded(c.artist, 30));
        EXPECT_EQ(Bytes(tag, 63, 30), Padded(c.album, 30));
        EXPECT_EQ(Bytes(tag, 93, 4), Padded(c.year, 4));
        EXPECT_EQ(Bytes(tag, 97, 30), Padded(c.comment, 30));
        EXPECT_EQ(tag[127], c.genre);
    }
}

TEST(Id3TagTest, WriteAppendsAtTheEndOfTheFile) {
    test::TempDir dir;
    const std::string path = dir.File("t.mp3");
    std::FILE* f = std::fopen(path.c_str(), "wb+");
    ASSERT_NE(f, nullptr);
    std::fputs("audio", f);
    std::rewind(f);  // the tag still goes after everything there is
    const Description track = Track("Title", "Artist", "", "", "", 9);
    EXPECT_TRUE(WriteId3v1Tag(f, track));
    std::fclose(f);
    const std::string bytes = test::ReadFile(path);
    ASSERT_EQ(bytes.size(), 5u + 128u);
    EXPECT_EQ(bytes.substr(0, 5), "audio");
    const std::array<uint8_t, 128> tag = BuildId3v1Tag(track);
    EXPECT_EQ(bytes.substr(5), std::string(reinterpret_cast<const char*>(tag.data()), 128));
}

TEST(Id3TagTest, WriteToAReadOnlyStreamFails) {
    test::TempDir dir;
    const std::string path = dir.File("r.mp3");
    test::WriteFile(path, "x");
    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(WriteId3v1Tag(f, Description()));
    std::fclose(f);
    EXPECT_EQ(test::ReadFile(path), "x");
    EXPECT_FALSE(WriteId3v1Tag(nullptr, Description()));
}

TEST(Id3GenreTableTest, NamesByIndex) {
    const std::vector<std::pair<int, std::string>> cases = {
        {0, "Blues"},
        {1, "Classic Rock"},
        {14, "R&B"},
        {29, "Jazz+Funk"},
        {40, "AlternRock"},
        {60, "Top 40"},
        {62, "Pop/Funk"},
        {64, "Native American"},
        {67, "Psychadelic"},
        {78, "Rock & Roll"},
        {79, "Hard Rock"},
        {80, "Folk"},
        {85, "Bebob"},
        {90, "Avantgarde"},
        {93, "Psychedelic Rock"},
        {123, "Acapella"},
        {124, "Euro-House"},
        {125, "Dance Hall"},
        {-1, ""},
        {126, ""},
        {-2, ""},
        {1000, ""},
    };
    for (const auto& [genre, name] : cases) EXPECT_EQ(GetGenreName(genre), name) << genre;
}

TEST(Id3GenreTableTest, EveryNameIsDistinctAndFoundAgain) {
    std::set<std::string> seen;
    for (int i = 0; i < kGenreCount; ++i) {
        const std::string name = GetGenreName(i);
        EXPECT_FALSE(name.empty()) << i;
        EXPECT_TRUE(seen.insert(name).second) << name;
        EXPECT_EQ(FindGenre(name), i) << name;
    }
}

TEST(Id3GenreTableTest, FindIgnoresCaseOnly) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"r&b", 14}, {"DANCE HALL", 125}, {"blues", 0}, {"Dance Hall ", -1}, {"Dance", 3},
        {"", -1},    {"Polka!", -1},
    };
    for (const auto& [name, genre] : cases) EXPECT_EQ(FindGenre(name), genre) << name;
}

class Id3TrackPropertiesTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        EventLog::Instance().Close();
    }
    void TearDown() override {
        EventLog::Instance().Close();
        TempHomeTest::TearDown();
    }
};

TEST_F(Id3TrackPropertiesTest, FormShowsTheTrackAndLimitsItsFields) {
    const std::string long40(40, 'x');
    Description track = Track(long40, "Artist", "Album", "19999", long40, 33);
    TrackProperties form = TrackProperties::From(track);
    EXPECT_EQ(form.title, long40);
    EXPECT_EQ(form.artist, "Artist");
    EXPECT_EQ(form.genre, 33);
    form.Limit();
    EXPECT_EQ(form.title, std::string(30, 'x'));
    EXPECT_EQ(form.comment, std::string(30, 'x'));
    EXPECT_EQ(form.year, "1999");
    EXPECT_EQ(form.album, "Album");

    // A cut never splits a two-byte character: 29 ASCII bytes and an "é".
    TrackProperties utf =
        TrackProperties::From(Track(std::string(29, 'a') + "\xC3\xA9", "a", "", "", "", -1));
    utf.Limit();
    EXPECT_EQ(utf.title, std::string(29, 'a'));

    // The list has no item for a number outside the table: no genre is shown.
    EXPECT_EQ(TrackProperties::From(Track("", "", "", "", "", 200)).genre, -1);
    EXPECT_EQ(TrackProperties::From(Track("", "", "", "", "", 125)).genre, 125);
}

TEST_F(Id3TrackPropertiesTest, ApplyStoresEveryFieldCutToItsLimit) {
    Description track = Track("old", "old", "old", "1900", "old", 1);
    track.start = 1234;
    TrackProperties form;
    form.title = "New title";
    form.artist = std::string(31, 'A');
    form.album = "New album";
    form.year = "20245";
    form.comment = "";
    form.genre = 125;
    ASSERT_TRUE(form.ApplyTo(track));
    EXPECT_EQ(track.title, "New title");
    EXPECT_EQ(track.artist, std::string(30, 'A'));
    EXPECT_EQ(track.album, "New album");
    EXPECT_EQ(track.year, "2024");
    EXPECT_EQ(track.comment, "");
    EXPECT_EQ(track.genre, 125);
    EXPECT_EQ(track.start, 1234);
    EXPECT_TRUE(EventLog::Instance().ReadLines().empty());
}

TEST_F(Id3TrackPropertiesTest, EmptyArtistIsRefusedWithAnEvent) {
    Description track = Track("t", "Artist", "al", "1999", "c", 7);
    const Description before = track;
    TrackProperties form = TrackProperties::From(track);
    form.artist.clear();
    form.title = "changed";
    EXPECT_FALSE(form.ApplyTo(track));
    EXPECT_TRUE(track.SameContent(before));
    const std::vector<std::string> lines = EventLog::Instance().ReadLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Invalid name!"), std::string::npos) << lines[0];
}

}  // namespace
}  // namespace wk
