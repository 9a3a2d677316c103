#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "streamstore/ChunkName.h"
#include "streamstore/RecordingMarker.h"
#include "streamstore/StreamInfo.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const DateTime kStart(2003, 11, 7, 17, 40, 0);
constexpr StreamTime kS = 1000;

// Writes a chunk as the recorder leaves it: an audio file and its two side
// files, the ".dat" long enough for any chunk here (a byte per 10 ms). The
// contents name the file so that a rename can be traced.
void MakeChunk(const TempDir& dir, const std::string& base, const char* extension = ".mp3",
               size_t datBytes = 100'000, std::optional<std::string> fgp = std::nullopt) {
    WriteFile(dir.File(base + extension), "audio " + base);
    WriteFile(dir.File(base + ".dat"), std::string(datBytes, 'd'));
    WriteFile(dir.File(base + ".fgp"), fgp ? *fgp : "fgp " + base);
}

std::string Base(const DateTime& start, long long duration, long long length, int number) {
    return ChunkBaseName(start, duration, length, number);
}

// Every file in the folder, name to contents.
std::map<std::string, std::string> Snapshot(const TempDir& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
        files[entry.path().filename().string()] = ReadFile(entry.path().string());
    }
    return files;
}

std::vector<std::string> Names(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& [name, bytes] : Snapshot(dir)) names.push_back(name);
    return names;
}

StreamInfo Info(const TempDir& dir) {
    StreamInfo info;
    info.folder = dir.Path();
    UpdateStreamInfo(info);
    return info;
}

struct ParseCase {
    const char* name;
    bool valid;
    long long durationMs = 0;
    long long lengthMs = 0;
    int number = 0;
};

TEST(ParseChunkName, ReadsGoodNamesAndRejectsDamagedOnes) {
    const ParseCase cases[] = {
        {"2003_11_07_17_40_00_1500_300_1.mp3", true, 1'500'000, 300'000, 1},
        {"2004_02_29_23_59_59_1_1_12.ogg", true, 1000, 1000, 12},
        {"2003_11_07_17_40_00_1500_300_2147483647.mp3", false},  // starts past INT_MAX seconds
        {"2003_11_07_17_40_00_3000_1_2147483647.mp3", true, 3'000'000, 1000, 2147483647},
        {"", false},
        {"short.mp3", false},
        {"2003_11_07_17_40_00_1_1", false},
        {"2003_11_07_17_40_00_1500_300_1", false},  // no dot after the number
        {"2003_11_07_17_40_00_1500_300_x.mp3", false},
        {"2003_11_07_17_40_00_1500_300_.mp3", false},
        {"2003_11_07_17_40_00_1500__1.mp3", false},
        {"2003_11_07_17_40_00_-150_300_1.mp3", false},
        {"20a3_11_07_17_40_00_1500_300_1.mp3", false},
        {"2003-11-07-17-40-00_1500_300_1.mp3", false},
        {"2003_11_07_17_40_00_1500_0_1.mp3", false},
        {"2003_11_07_17_40_00_0_300_1.mp3", false},
        {"2003_11_07_17_40_00_1500_300_0.mp3", false},
        {"2003_11_07_17_40_00_1500_300_4294967296.mp3", false},
        {"2003_11_07_17_40_00_1500_1_2147483648.mp3", false},
        {"2003_11_07_17_40_00_99999999999999999999_300_1.mp3", false},
        {"2003_11_07_17_40_00_1500_99999999999999999999_1.mp3", false},
        {"2003_13_07_17_40_00_1500_300_1.mp3", false},
        {"2003_02_30_17_40_00_1500_300_1.mp3", false},
        {"2003_00_07_17_40_00_1500_300_1.mp3", false},
        {"2003_11_07_24_00_00_1500_300_1.mp3", false},
        {"2003_11_07_17_60_00_1500_300_1.mp3", false},
        {"1999_12_31_23_59_59_1500_300_1.mp3", false},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto fields = ParseChunkName(c.name);
        ASSERT_EQ(fields.has_value(), c.valid);
        if (!fields) continue;
        EXPECT_EQ(fields->durationMs, c.durationMs);
        EXPECT_EQ(fields->lengthMs, c.lengthMs);
        EXPECT_EQ(fields->number, c.number);
    }
    const auto fields = ParseChunkName("2003_11_07_17_40_05_1500_300_1.mp3");
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->start, DateTime(2003, 11, 7, 17, 40, 5));
}

TEST(BelongsToSession, MatchesWholeFieldsOnly) {
    EXPECT_TRUE(
        BelongsToSession("2003_11_07_17_40_00_1500_300_1.mp3", "2003_11_07_17_40_00_1500_300"));
    EXPECT_TRUE(BelongsToSession("2003_11_07_17_40_00_1500_300_1.mp3", "2003_11_07_17_40_00_"));
    EXPECT_FALSE(
        BelongsToSession("2003_11_07_17_40_00_1500_3000_1.mp3", "2003_11_07_17_40_00_1500_300"));
    EXPECT_FALSE(BelongsToSession("2003_11_07_17_40_00_1500_300_1.mp3", ""));
}

// Chunks 1 and 2 of a 25-second session of 10-second chunks, chunk 2 the
// last: every closed chunk counts as long as its ".dat" shows, and only the
// newest chunk of a session being recorded (here or in another process, by
// its note in the home) is left out.
class UpdateStreamInfoTest : public test::TempHomeTest {};

TEST_F(UpdateStreamInfoTest, TakesEveryClosedChunkAsLongAsItsDatFileShows) {
    struct Case {
        const char* what;
        std::optional<size_t> lastDat;  // nullopt: no .dat at all
        const char* recording;          // "": none, "here", "note", "stale note"
        std::vector<StreamTime> ends;   // of the spans, from the start
    };
    const Case cases[] = {
        {"a short last chunk", 500, "", {10 * kS, 15 * kS}},
        {"the whole rest of the session", 1000, "", {10 * kS, 20 * kS}},
        {"an empty side file", 0, "", {10 * kS}},
        {"no side file", std::nullopt, "", {10 * kS}},
        {"being recorded by this process", 500, "here", {10 * kS}},
        {"being recorded, its side files still empty", 0, "here", {10 * kS}},
        {"being recorded by another process", 500, "note", {10 * kS}},
        {"the note of a recorder that died", 500, "stale note", {10 * kS, 15 * kS}},
    };
    const std::string session = ChunkSessionName(kStart, 25, 10);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        MakeChunk(dir, Base(kStart, 25, 10, 1), ".mp3", 1001);
        const std::string last = Base(kStart, 25, 10, 2);
        MakeChunk(dir, last, ".mp3", c.lastDat.value_or(0));
        if (!c.lastDat) fs::remove(dir.File(last + ".dat"));
        RecordingMarker marker;
        const std::string how = c.recording;
        if (how == "here") SetCurrentSessionPrefix(session, dir.Path());
        if (how == "note") {
            ASSERT_TRUE(marker.Publish(dir.Path(), session));
        }
        if (how == "stale note")
            WriteFile(HomeFile(kRecordingNoteFile), "folder=" + dir.Path() + "\nsession=" + session + "\n");
        const StreamInfo info = Info(dir);
        SetCurrentSessionPrefix("");
        ASSERT_EQ(info.sessions.size(), 1u);
        std::vector<StreamTime> ends;
        for (const ChunkSpan& span : info.sessions[0].spans) ends.push_back(span.end - kStart.ToStreamTime());
        EXPECT_EQ(ends, c.ends);
        fs::remove(HomeFile(kRecordingNoteFile));
    }
    TempDir dir;
    fs::create_directory(dir.File(Base(kStart, 1500, 300, 1) + ".mp3"));
    WriteFile(dir.File(Base(kStart, 1500, 300, 1) + ".dat"), std::string(1000, 'd'));
    EXPECT_THAT(Info(dir).sessions, IsEmpty()) << "a folder is no chunk";
}

TEST(UpdateStreamInfo, LastChunkEndsWithTheSession) {
    TempDir dir;
    for (int n = 4; n >= 1; --n) MakeChunk(dir, Base(kStart, 1000, 300, n));
    const StreamInfo info = Info(dir);
    ASSERT_EQ(info.sessions.size(), 1u);
    const MP3SingleSaving& session = info.sessions[0];
    const StreamTime s = kStart.ToStreamTime();
    EXPECT_EQ(session.start, s);
    EXPECT_EQ(session.length, 300 * kS);
    EXPECT_EQ(session.duration, 1000 * kS);
    EXPECT_EQ(session.owner, &info);
    std::vector<std::pair<StreamTime, StreamTime>> spans;
    for (const ChunkSpan& span : session.spans) spans.emplace_back(span.start - s, span.end - s);
    EXPECT_THAT(spans, ElementsAre(std::pair{0 * kS, 300 * kS}, std::pair{300 * kS, 600 * kS},
                                   std::pair{600 * kS, 900 * kS}, std::pair{900 * kS, 1000 * kS}));

    std::vector<RecordedRange> ranges;
    std::vector<int> codes;
    GetRecordedRanges(info, ranges, codes);
    EXPECT_THAT(ranges, ElementsAre(RecordedRange{s, s + 1000 * kS}));
    EXPECT_THAT(codes, ElementsAre(kRecordedRangeCode));
}

TEST(UpdateStreamInfo, SessionsAreToldApartByStartAlone) {
    TempDir dir;
    MakeChunk(dir, Base(kStart, 1500, 300, 1));
    MakeChunk(dir, Base(kStart, 900, 300, 2));
    MakeChunk(dir, Base(DateTime(2003, 11, 7, 17, 40, 1), 900, 300, 1));
    const StreamInfo info = Info(dir);
    ASSERT_EQ(info.sessions.size(), 2u);
    // The first name in byte order ("..._1500_...") sets the duration.
    EXPECT_EQ(info.sessions[0].duration, 1500 * kS);
    EXPECT_EQ(info.sessions[0].spans.size(), 2u);
    EXPECT_LT(info.sessions[0].start, info.sessions[1].start);
}

TEST(ChunkIndexAt, CountsFromOneInsideTheSession) {
    MP3SingleSaving session;
    session.start = kStart.ToStreamTime();
    session.length = 300 * kS;
    session.duration = 1000 * kS;
    const struct {
        StreamTime offset;
        int index;
    } cases[] = {{-1, -1},           {0, 1},         {300 * kS - 1, 1}, {300 * kS, 2},
                 {1000 * kS - 1, 4}, {1000 * kS, -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(ChunkIndexAt(session, session.start + c.offset), c.index) << c.offset;
    }
}

TEST(ChunkPath, PrefersMp3AndFallsBackToOgg) {
    TempDir dir;
    StreamInfo info;
    info.folder = dir.Path().substr(0, dir.Path().size() - 1);  // without the trailing '/'
    MP3SingleSaving session{kStart.ToStreamTime(), 300 * kS, 1500 * kS, &info, {}};
    const std::string base = dir.File(Base(kStart, 1500, 300, 2));
    EXPECT_EQ(ChunkPath(session, 2), base + ".ogg");
    WriteFile(base + ".mp3", "");
    EXPECT_EQ(ChunkPath(session, 2), base + ".mp3");
}

// Sessions overlap after the clock steps back; the earliest one that holds a
// time wins. Checked against a plain scan over every minute of the day.
TEST(FindSession, AgreesWithAScanOfEverySession) {
    TempDir dir;
    const DateTime ten(2003, 11, 7, 10, 0, 0);
    for (int n : {1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12}) MakeChunk(dir, Base(ten, 3600, 300, n));
    for (int n : {2, 3}) MakeChunk(dir, Base(DateTime(2003, 11, 7, 10, 20, 0), 1800, 300, n));
    for (int n = 1; n <= 3; ++n)
        MakeChunk(dir, Base(DateTime(2003, 11, 7, 10, 50, 0), 900, 300, n));
    for (int n = 1; n <= 2; ++n) MakeChunk(dir, Base(DateTime(2003, 11, 7, 13, 0, 0), 600, 300, n));
    const StreamInfo info = Info(dir);
    ASSERT_EQ(info.sessions.size(), 4u);
    StreamInfo unindexed = info;
    unindexed.maxReach = -1;

    const StreamTime dayStart = DateTime(2003, 11, 7).ToStreamTime();
    int found = 0;
    for (StreamTime t = dayStart; t < dayStart + 24 * kMsPerHour; t += 30 * kS) {
        const MP3SingleSaving* expected = nullptr;
        for (const MP3SingleSaving& s : info.sessions) {
            if (s.start <= t && t < s.start + s.duration && s.spans.front().start <= t &&
                t <= s.spans.back().end) {
                expected = &s;
                break;
            }
        }
        ASSERT_EQ(FindSession(info, t), expected) << DateTime::FromStreamTime(t).LongText();
        const MP3SingleSaving* slow = FindSession(unindexed, t);
        ASSERT_EQ(slow ? slow - unindexed.sessions.data() : -1,
                  expected ? expected - info.sessions.data() : -1);
        found += expected != nullptr;
    }
    EXPECT_GT(found, 0);
    // 10:55 lies in the 10:00 session and in the 10:50 one: the first wins.
    EXPECT_EQ(FindSession(info, DateTime(2003, 11, 7, 10, 55, 0).ToStreamTime()),
              &info.sessions[0]);
    // Before the 10:20 session's first chunk (its chunk 1 is missing), the
    // 10:00 one still holds 10:22.
    EXPECT_EQ(FindSession(info, DateTime(2003, 11, 7, 10, 22, 0).ToStreamTime()),
              &info.sessions[0]);
    EXPECT_EQ(FindSession(info, DateTime(2003, 11, 7, 13, 10, 0).ToStreamTime()), nullptr);
}

TEST(ReadSideBytes, ContinuesAtTheStartOfTheNextChunk) {
    TempDir dir;
    // Ten-second chunks with 1000 bytes of side data each (one per 10 ms).
    std::string fgp[3];
    for (int n = 1; n <= 3; ++n) {
        for (int i = 0; i < 1000; ++i) fgp[n - 1] += static_cast<char>(n * 64 + i % 61);
        MakeChunk(dir, Base(kStart, 30, 10, n), ".mp3", 1000, fgp[n - 1]);
    }
    const StreamInfo info = Info(dir);
    const StreamTime s = kStart.ToStreamTime();
    const struct {
        StreamTime offset;
        int count;
        std::string expected;
    } cases[] = {
        {9'500, 100, fgp[0].substr(950) + fgp[1].substr(0, 50)},
        {0, 10, fgp[0].substr(0, 10)},
        {10'000, 5, fgp[1].substr(0, 5)},
        {25'000, 2000, fgp[2].substr(500)},  // stops after the last chunk
        {9'990, 1010, fgp[0].substr(999) + fgp[1] + fgp[2].substr(0, 9)},
        {0, 0, ""},
        {-1, 10, ""},
        {30'000, 10, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        std::vector<uint8_t> buffer(static_cast<size_t>(std::max(c.count, 1)), 0);
        const int got = ReadSideBytes(info, s + c.offset, buffer.data(), c.count);
        ASSERT_EQ(got, static_cast<int>(c.expected.size()));
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + got), c.expected);
    }
    // A missing side file ends the reading.
    fs::remove(dir.File(Base(kStart, 30, 10, 2) + ".fgp"));
    uint8_t buffer[100];
    EXPECT_EQ(ReadSideBytes(info, s + 9'500, buffer, 100), 50);
}

TEST(GetRecordedRanges, JoinsTouchingSpansAcrossSessionsAndSortsByStart) {
    TempDir dir;
    for (int n : {1, 2, 5}) MakeChunk(dir, Base(kStart, 1000, 200, n));
    // Overlaps the first session (a clock step); the third continues it.
    for (int n : {1, 2}) MakeChunk(dir, Base(DateTime(2003, 11, 7, 17, 45, 0), 600, 300, n));
    MakeChunk(dir, Base(DateTime(2003, 11, 7, 17, 55, 0), 600, 300, 1));
    const StreamInfo info = Info(dir);
    ASSERT_EQ(info.sessions.size(), 3u);
    std::vector<RecordedRange> ranges;
    std::vector<int> codes{7, 7, 7, 7, 7};
    GetRecordedRanges(info, ranges, codes);
    const StreamTime s = kStart.ToStreamTime();
    EXPECT_THAT(ranges, ElementsAre(RecordedRange{s, s + 400 * kS},
                                    RecordedRange{s + 300 * kS, s + 1200 * kS},
                                    RecordedRange{s + 800 * kS, s + 1000 * kS}));
    EXPECT_THAT(codes, ElementsAre(kRecordedRangeCode, kRecordedRangeCode, kRecordedRangeCode));
}

// What is left of a session of five 300-second chunks (duration 1500)
// begun at 17:40:00, and the names the renumbering gives it.
TEST(ReloadStream, RenumbersEveryRunOfChunksAsASessionOfItsOwn) {
    const DateTime start = kStart;
    const struct {
        const char* what;
        std::vector<int> present;
        std::vector<std::string> expected;  // base names after the reload
    } cases[] = {
        {"first two deleted",
         {3, 4, 5},
         {"2003_11_07_17_50_00_900_300_1", "2003_11_07_17_50_00_900_300_2",
          "2003_11_07_17_50_00_900_300_3"}},
        {"third deleted",
         {1, 2, 4, 5},
         {"2003_11_07_17_40_00_600_300_1", "2003_11_07_17_40_00_600_300_2",
          "2003_11_07_17_55_00_600_300_1", "2003_11_07_17_55_00_600_300_2"}},
        {"complete",
         {1, 2, 3, 4, 5},
         {"2003_11_07_17_40_00_1500_300_1", "2003_11_07_17_40_00_1500_300_2",
          "2003_11_07_17_40_00_1500_300_3", "2003_11_07_17_40_00_1500_300_4",
          "2003_11_07_17_40_00_1500_300_5"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::vector<std::string> contents;
        for (int n : c.present) {
            MakeChunk(dir, Base(start, 1500, 300, n));
            contents.push_back(ReadFile(dir.File(Base(start, 1500, 300, n) + ".mp3")));
        }
        ReloadStream(dir.Path());
        std::vector<std::string> expectedFiles;
        for (const std::string& base : c.expected) {
            for (const char* ext : {".dat", ".fgp", ".mp3"}) expectedFiles.push_back(base + ext);
        }
        std::sort(expectedFiles.begin(), expectedFiles.end());
        EXPECT_THAT(Names(dir), ElementsAreArray(expectedFiles));
        // Each chunk keeps its own audio and side files, in order.
        for (size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(ReadFile(dir.File(c.expected[i] + ".mp3")), contents[i]);
            EXPECT_EQ(ReadFile(dir.File(c.expected[i] + ".fgp")),
                      "fgp " + Base(start, 1500, 300, c.present[i]));
        }
        // A second reload finds nothing left to do.
        const auto before = Snapshot(dir);
        ReloadStream(dir.Path());
        EXPECT_EQ(Snapshot(dir), before);
    }
}

// Only the sessions named are renumbered; a run that holds a session's
// planned end ends there, not after a whole chunk.
TEST(ReloadStream, RenumbersOnlyTheSessionsItIsGiven) {
    TempDir dir;
    const DateTime other(2003, 11, 8, 9, 0, 0);
    for (int n : {2, 3, 4, 5}) MakeChunk(dir, Base(kStart, 1400, 300, n));
    for (int n : {1, 3}) MakeChunk(dir, Base(other, 1500, 300, n), ".ogg");
    const std::set<std::string> sessions = {ChunkSessionName(kStart, 1400, 300)};
    ReloadStream(dir.Path(), &sessions);
    std::vector<std::string> expected;
    for (int n = 1; n <= 4; ++n)
        for (const char* ext : {".dat", ".fgp", ".mp3"}) expected.push_back("2003_11_07_17_45_00_1100_300_" + std::to_string(n) + ext);
    for (int n : {1, 3})
        for (const char* ext : {".dat", ".fgp", ".ogg"}) expected.push_back(Base(other, 1500, 300, n) + ext);
    EXPECT_THAT(Names(dir), ElementsAreArray(expected));
}

TEST(ReloadStream, SameStartWithAnotherDurationIsAnotherRun) {
    TempDir dir;
    MakeChunk(dir, Base(kStart, 1500, 300, 1));
    MakeChunk(dir, Base(kStart, 1500, 300, 2));
    MakeChunk(dir, Base(kStart, 900, 300, 1));
    EXPECT_EQ(Info(dir).sessions.size(), 1u);
    ReloadStream(dir.Path());
    EXPECT_THAT(
        Names(dir),
        ElementsAre("2003_11_07_17_40_00_300_300_1.dat", "2003_11_07_17_40_00_300_300_1.fgp",
                    "2003_11_07_17_40_00_300_300_1.mp3", "2003_11_07_17_40_00_600_300_1.dat",
                    "2003_11_07_17_40_00_600_300_1.fgp", "2003_11_07_17_40_00_600_300_1.mp3",
                    "2003_11_07_17_40_00_600_300_2.dat", "2003_11_07_17_40_00_600_300_2.fgp",
                    "2003_11_07_17_40_00_600_300_2.mp3"));
}

TEST(ReloadStream, OggChunksWaitWhileThereAreMp3Chunks) {
    TempDir dir;
    MakeChunk(dir, Base(kStart, 1500, 300, 2), ".mp3");
    const DateTime later(2003, 11, 8, 9, 0, 0);
    MakeChunk(dir, Base(later, 1500, 300, 2), ".ogg");
    ReloadStream(dir.Path());
    EXPECT_TRUE(fs::exists(dir.File("2003_11_07_17_45_00_300_300_1.mp3")));
    EXPECT_TRUE(fs::exists(dir.File(Base(later, 1500, 300, 2) + ".ogg")));
    fs::remove(dir.File("2003_11_07_17_45_00_300_300_1.mp3"));
    ReloadStream(dir.Path());
    EXPECT_TRUE(fs::exists(dir.File("2003_11_08_09_05_00_300_300_1.ogg")));
    EXPECT_TRUE(fs::exists(dir.File("2003_11_08_09_05_00_300_300_1.fgp")));
}

TEST(ReloadStream, LeavesTheCurrentSessionAlone) {
    TempDir dir;
    for (int n : {2, 3}) MakeChunk(dir, Base(kStart, 1500, 300, n));
    SetCurrentSessionPrefix(ChunkSessionName(kStart, 1500, 300));
    const auto before = Snapshot(dir);
    EXPECT_NO_THROW(ReloadStream(dir.Path()));
    SetCurrentSessionPrefix("");
    EXPECT_EQ(Snapshot(dir), before);
}

TEST(ReloadStream, DamagedNamesArePassedOver) {
    TempDir dir;
    const char* garbage[] = {
        "x.mp3",
        "2003_11_07_17_40_00_1500_300_x.mp3",
        "2003_11_07_17_40_00_1500_0_2.mp3",
        "2003_11_07_17_40_00_1500_300_0.mp3",
        "2003_11_07_17_40_00_1500_300_4294967296.mp3",
        "2003_13_07_17_40_00_1500_300_2.mp3",
        "2003_02_30_17_40_00_1500_300_2.mp3",
        "2003_11_07_17_40_00_01500_300_2.mp3",
        "2003_11_07_17_40_00_1500_300_2.bak.mp3",
    };
    for (const char* name : garbage) {
        WriteFile(dir.File(name), "junk");
        const std::string_view view(name);
        WriteFile(dir.File(std::string(view.substr(0, view.size() - 4)) + ".dat"),
                  std::string(1000, 'd'));
    }
    MakeChunk(dir, Base(kStart, 1500, 300, 2));
    const StreamInfo info = Info(dir);
    ASSERT_EQ(info.sessions.size(), 1u);
    // The zero-padded and the ".bak" names read as chunk 2 as well; only the
    // renumbering, which rebuilds names, has to pass them over.
    EXPECT_EQ(info.sessions[0].spans.size(), 3u);
    ASSERT_NO_THROW(ReloadStream(dir.Path()));
    for (const char* name : garbage) EXPECT_TRUE(fs::exists(dir.File(name))) << name;
    EXPECT_TRUE(fs::exists(dir.File("2003_11_07_17_45_00_300_300_1.mp3")));
}

// A rename never replaces a file: on a collision the reload stops with a
// Move error and every file is still there under one of its names.
TEST(ReloadStream, CollisionIsAMoveErrorAndLosesNothing) {
    for (const char* ext : {".mp3", ".dat", ".fgp"}) {
        SCOPED_TRACE(ext);
        TempDir dir;
        for (int n : {1, 2}) MakeChunk(dir, Base(kStart, 1500, 300, n));
        // What the first chunk would be renamed to is taken already.
        WriteFile(dir.File(std::string("2003_11_07_17_40_00_600_300_1") + ext), "in the way");
        std::multiset<std::string> contents;
        for (const auto& [name, bytes] : Snapshot(dir)) contents.insert(bytes);

        EXPECT_THROW(ReloadStream(dir.Path()), MoveError);

        std::multiset<std::string> after;
        for (const auto& [name, bytes] : Snapshot(dir)) after.insert(bytes);
        EXPECT_EQ(after, contents);
        EXPECT_EQ(ReadFile(dir.File(std::string("2003_11_07_17_40_00_600_300_1") + ext)),
                  "in the way");
    }
    try {
        throw MoveError();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Move error");
    }
}

TEST(CheckSession, MissingSideFileIsAMoveError) {
    TempDir dir;
    MakeChunk(dir, Base(kStart, 1500, 300, 2));
    fs::remove(dir.File(Base(kStart, 1500, 300, 2) + ".fgp"));
    EXPECT_THROW(CheckSession(dir.Path(), kStart, 1500, 300, 2, 2), MoveError);
    EXPECT_TRUE(fs::exists(dir.File("2003_11_07_17_45_00_300_300_1.mp3")));
    EXPECT_TRUE(fs::exists(dir.File("2003_11_07_17_45_00_300_300_1.dat")));
}

}  // namespace
}  // namespace wk
