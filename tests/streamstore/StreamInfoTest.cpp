#include <gmock/gmock.h>

#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "streamstore/ChunkName.h"
#include "streamstore/ChunkStartNote.h"
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
using ::testing::IsEmpty;

const DateTime kStart(2003, 11, 7, 17, 40, 0);
const DateTime kOther(2003, 11, 8, 9, 0, 0);
constexpr StreamTime kS = 1000;

// A chunk file name, "<base><ext>".
std::string Name(const DateTime& start, long long duration, long long length, int n,
                 const char* ext = ".mp3") {
    return ChunkBaseName(start, duration, length, n) + ext;
}

std::string BaseOf(const std::string& name) {
    return name.substr(0, name.size() - 4);
}

// Writes a chunk as the recorder leaves it: an audio file and its two side
// files, the ".dat" long enough for any chunk here (a byte per 10 ms). The
// contents name the chunk so that a rename can be traced.
void MakeChunk(const TempDir& dir, const std::string& name, size_t datBytes = 100'000,
               std::optional<std::string> fgp = std::nullopt) {
    WriteFile(dir.File(name), "audio " + BaseOf(name));
    WriteFile(dir.File(BaseOf(name) + ".dat"), std::string(datBytes, 'd'));
    WriteFile(dir.File(BaseOf(name) + ".fgp"), fgp ? *fgp : "fgp " + BaseOf(name));
}

// Every file in the folder, name to contents.
std::map<std::string, std::string> Snapshot(const TempDir& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir.Path()))
        files[entry.path().filename()] = ReadFile(entry.path());
    return files;
}

StreamInfo Info(const TempDir& dir) {
    StreamInfo info;
    info.folder = dir.Path();
    UpdateStreamInfo(info);
    return info;
}

std::vector<std::pair<StreamTime, StreamTime>> Spans(const MP3SingleSaving& session,
                                                     StreamTime origin) {
    std::vector<std::pair<StreamTime, StreamTime>> spans;
    for (const ChunkSpan& span : session.spans)
        spans.emplace_back(span.start - origin, span.end - origin);
    return spans;
}

TEST(ChunkNameTest, ParseReadsGoodNamesAndRejectsDamagedOnesSessionsMatchWholeFields) {
    struct Case {
        const char* name;
        bool valid;
        long long duration = 0, length = 0;  // ms
        int number = 0;
    } const cases[] = {
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
        {"2003_02_30_17_40_00_1500_300_1.mp3", false},  // the date's own checks: DateTimeTest
        {"2003_11_07_24_00_00_1500_300_1.mp3", false},
        {"1999_12_31_23_59_59_1500_300_1.mp3", false},
    };
    for (const Case& c : cases) {
        const auto fields = ParseChunkName(c.name);
        ASSERT_EQ(fields.has_value(), c.valid) << c.name;
        EXPECT_TRUE(!fields || (fields->durationMs == c.duration && fields->lengthMs == c.length &&
                                fields->number == c.number))
            << c.name;
    }
    EXPECT_EQ(ParseChunkName("2003_11_07_17_40_05_1500_300_1.mp3")->start,
              DateTime(2003, 11, 7, 17, 40, 5));
    const std::string chunk = "2003_11_07_17_40_00_1500_300_1.mp3";
    EXPECT_TRUE(BelongsToSession(chunk, "2003_11_07_17_40_00_1500_300"));
    EXPECT_TRUE(BelongsToSession(chunk, "2003_11_07_17_40_00_"));
    EXPECT_FALSE(
        BelongsToSession("2003_11_07_17_40_00_1500_3000_1.mp3", "2003_11_07_17_40_00_1500_300"));
    EXPECT_FALSE(BelongsToSession(chunk, ""));
}

// Chunks 1 and 2 of a 25-second session of 10-second chunks, chunk 2 the
// last: every closed chunk counts as long as its ".dat" shows, and only the
// newest chunk of a session being recorded (here or in another process, by
// its note in the home) is left out.
class UpdateStreamInfoTest : public test::TempHomeTest {};

TEST_F(UpdateStreamInfoTest, TakesEveryClosedChunkAsLongAsItsDatFileShows) {
    // The last chunk's .dat bytes (none: no .dat), who records it ("": none,
    // "here", "note", "stale note"), the ends of the spans.
    const std::tuple<std::optional<size_t>, std::string, std::vector<StreamTime>> cases[] = {
        {500, "", {10 * kS, 15 * kS}},            // a short last chunk
        {1000, "", {10 * kS, 20 * kS}},           // the whole rest of the session
        {0, "", {10 * kS}},                       // an empty side file
        {std::nullopt, "", {10 * kS}},            // no side file
        {500, "here", {10 * kS}},                 // being recorded by this process
        {0, "here", {10 * kS}},                   // being recorded, its side files still empty
        {500, "note", {10 * kS}},                 // being recorded by another process
        {500, "stale note", {10 * kS, 15 * kS}},  // the note of a recorder that died
    };
    const std::string session = ChunkSessionName(kStart, 25, 10);
    for (const auto& [lastDat, recording, ends] : cases) {
        SCOPED_TRACE(testing::Message() << lastDat.value_or(-1) << " " << recording);
        TempDir dir;
        MakeChunk(dir, Name(kStart, 25, 10, 1), 1001);
        MakeChunk(dir, Name(kStart, 25, 10, 2), lastDat.value_or(0));
        if (!lastDat) fs::remove(dir.File(BaseOf(Name(kStart, 25, 10, 2)) + ".dat"));
        RecordingMarker marker;
        if (recording == "here") SetCurrentSessionPrefix(session, dir.Path());
        ASSERT_TRUE(recording != "note" || marker.Publish(dir.Path(), session));
        if (recording == "stale note")
            WriteFile(HomeFile(kRecordingNoteFile),
                      "folder=" + dir.Path() + "\nsession=" + session + "\n");
        const StreamInfo info = Info(dir);
        SetCurrentSessionPrefix("");
        fs::remove(HomeFile(kRecordingNoteFile));
        ASSERT_EQ(info.sessions.size(), 1u);
        std::vector<StreamTime> got;
        for (const auto& span : Spans(info.sessions[0], kStart.ToStreamTime()))
            got.push_back(span.second);
        EXPECT_EQ(got, ends);
    }
    TempDir dir;
    fs::create_directory(dir.File(Name(kStart, 1500, 300, 1)));
    WriteFile(dir.File(BaseOf(Name(kStart, 1500, 300, 1)) + ".dat"), std::string(1000, 'd'));
    EXPECT_THAT(Info(dir).sessions, IsEmpty()) << "a folder is no chunk";
}

TEST(UpdateStreamInfo, LastChunkEndsWithTheSessionSessionsAreToldApartByStart) {
    TempDir dir;
    for (int n = 4; n >= 1; --n) MakeChunk(dir, Name(kStart, 1000, 300, n));
    const StreamInfo info = Info(dir);
    ASSERT_EQ(info.sessions.size(), 1u);
    const MP3SingleSaving& session = info.sessions[0];
    const StreamTime s = kStart.ToStreamTime();
    EXPECT_EQ(session.start, s);
    EXPECT_EQ(session.length, 300 * kS);
    EXPECT_EQ(session.duration, 1000 * kS);
    EXPECT_EQ(session.owner, &info);
    EXPECT_THAT(Spans(session, s),
                ElementsAre(std::pair{0 * kS, 300 * kS}, std::pair{300 * kS, 600 * kS},
                            std::pair{600 * kS, 900 * kS}, std::pair{900 * kS, 1000 * kS}));
    // The first name in byte order ("..._1500_...") sets the duration.
    TempDir two;
    MakeChunk(two, Name(kStart, 1500, 300, 1));
    MakeChunk(two, Name(kStart, 900, 300, 2));
    MakeChunk(two, Name(DateTime(2003, 11, 7, 17, 40, 1), 900, 300, 1));
    const StreamInfo both = Info(two);
    ASSERT_EQ(both.sessions.size(), 2u);
    EXPECT_EQ(both.sessions[0].duration, 1500 * kS);
    EXPECT_EQ(both.sessions[0].spans.size(), 2u);
    EXPECT_LT(both.sessions[0].start, both.sessions[1].start);
}

// A chunk start note is read back as written; a damaged or foreign one is
// no note (the export then cuts by the nominal start).
TEST(ChunkStartNote, ReadsWhatWasWrittenAndRefusesDamagedNotes) {
    test::TempDir dir;
    ASSERT_TRUE(WriteChunkStartNote(dir.File("c_2"), {417, -2664, 44100}));
    const auto note = ReadChunkStartNote(dir.File("c_2.mp3"));
    ASSERT_TRUE(note);
    EXPECT_EQ(note->firstFrameByte, 417);
    EXPECT_EQ(note->firstSample, -2664);
    EXPECT_FALSE(ReadChunkStartNote(dir.File("none.mp3")));
    const char* damaged[] = {"first-frame-byte 3\nfirst-sample 9\n",  // no rate
                             "first-frame-byte x\nfirst-sample 9\nsample-rate 44100\n",
                             "first-frame-byte 3\nfirst-sample 99999999\nsample-rate 44100\n",
                             "first-frame-byte -7\nfirst-sample 9\nsample-rate 44100\n",
                             "first-frame-byte 3\nfirst-sample 9\nsample-rate 0\n", ""};
    for (const char* text : damaged) {
        test::WriteFile(dir.File("d.pos"), text);
        EXPECT_FALSE(ReadChunkStartNote(dir.File("d.ogg"))) << text;
    }
}

TEST(ChunkIndexAt, CountsFromOneInsideTheSessionAndThePathPrefersMp3) {
    TempDir dir;
    StreamInfo info;
    info.folder = dir.Path().substr(0, dir.Path().size() - 1);  // without the trailing '/'
    const MP3SingleSaving session{kStart.ToStreamTime(), 300 * kS, 1000 * kS, &info, {}};
    const std::pair<StreamTime, int> cases[] = {
        {-1, -1}, {0, 1}, {300 * kS - 1, 1}, {300 * kS, 2}, {1000 * kS - 1, 4}, {1000 * kS, -1}};
    for (const auto& [offset, index] : cases)
        EXPECT_EQ(ChunkIndexAt(session, session.start + offset), index) << offset;
    const std::string base = dir.File(ChunkBaseName(kStart, 1000, 300, 2));
    EXPECT_EQ(ChunkPath(session, 2), base + ".ogg");
    WriteFile(base + ".mp3", "");
    EXPECT_EQ(ChunkPath(session, 2), base + ".mp3");
}

// Sessions overlap after the clock steps back; the earliest one that holds a
// time wins. Checked against a plain scan over every half minute of the day.
TEST(FindSession, AgreesWithAScanOfEverySession) {
    TempDir dir;
    const DateTime ten(2003, 11, 7, 10, 0, 0);
    for (int n : {1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12}) MakeChunk(dir, Name(ten, 3600, 300, n));
    for (int n : {2, 3}) MakeChunk(dir, Name(DateTime(2003, 11, 7, 10, 20, 0), 1800, 300, n));
    for (int n = 1; n <= 3; ++n)
        MakeChunk(dir, Name(DateTime(2003, 11, 7, 10, 50, 0), 900, 300, n));
    for (int n = 1; n <= 2; ++n) MakeChunk(dir, Name(DateTime(2003, 11, 7, 13, 0, 0), 600, 300, n));
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
    // Before the 10:20 session's first chunk (its chunk 1 is missing), the
    // 10:00 one still holds 10:22.
    EXPECT_EQ(FindSession(info, DateTime(2003, 11, 7, 10, 55, 0).ToStreamTime()),
              &info.sessions[0]);
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
        MakeChunk(dir, Name(kStart, 30, 10, n), 1000, fgp[n - 1]);
    }
    const StreamInfo info = Info(dir);
    const StreamTime s = kStart.ToStreamTime();
    const std::tuple<StreamTime, int, std::string> cases[] = {
        {9'500, 100, fgp[0].substr(950) + fgp[1].substr(0, 50)},
        {0, 10, fgp[0].substr(0, 10)},
        {10'000, 5, fgp[1].substr(0, 5)},
        {25'000, 2000, fgp[2].substr(500)},  // stops after the last chunk
        {9'990, 1010, fgp[0].substr(999) + fgp[1] + fgp[2].substr(0, 9)},
        {0, 0, ""},
        {-1, 10, ""},
        {30'000, 10, ""},
    };
    for (const auto& [offset, count, expected] : cases) {
        std::vector<uint8_t> buffer(static_cast<size_t>(std::max(count, 1)), 0);
        const int got = ReadSideBytes(info, s + offset, buffer.data(), count);
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + std::max(got, 0)), expected)
            << offset;
    }
    // A missing side file ends the reading.
    fs::remove(dir.File(ChunkBaseName(kStart, 30, 10, 2) + ".fgp"));
    uint8_t buffer[100];
    EXPECT_EQ(ReadSideBytes(info, s + 9'500, buffer, 100), 50);
}

TEST(GetRecordedRanges, JoinsTouchingSpansAcrossSessionsAndSortsByStart) {
    TempDir dir;
    for (int n : {1, 2, 5}) MakeChunk(dir, Name(kStart, 1000, 200, n));
    // Overlaps the first session (a clock step); the third continues it.
    for (int n : {1, 2}) MakeChunk(dir, Name(DateTime(2003, 11, 7, 17, 45, 0), 600, 300, n));
    MakeChunk(dir, Name(DateTime(2003, 11, 7, 17, 55, 0), 600, 300, 1));
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

// Every run of chunks becomes a session of its own, named after its first
// chunk's time; the files made and expected are listed in the same order,
// so that each expected chunk holds the audio and side files of its made one.
TEST(ReloadStream, RenumbersEveryRunOfChunksAsASessionOfItsOwn) {
    const auto chunks = [](const DateTime& start, long long duration, std::vector<int> ns,
                           const char* ext = ".mp3") {
        std::vector<std::string> names;
        for (int n : ns) names.push_back(Name(start, duration, 300, n, ext));
        return names;
    };
    const auto join = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::set<std::string> only1400 = {ChunkSessionName(kStart, 1400, 300)};
    struct Case {
        const char* what;
        std::vector<std::string> made, expected;
        const std::set<std::string>* sessions;  // the sessions to renumber; all when none
        std::string current;                    // the session being recorded
    };
    const std::vector<Case> cases = {
        {"first two deleted", chunks(kStart, 1500, {3, 4, 5}),
         chunks(DateTime(2003, 11, 7, 17, 50, 0), 900, {1, 2, 3}), nullptr, ""},
        {"third deleted", chunks(kStart, 1500, {1, 2, 4, 5}),
         join(chunks(kStart, 600, {1, 2}), chunks(DateTime(2003, 11, 7, 17, 55, 0), 600, {1, 2})),
         nullptr, ""},
        {"complete", chunks(kStart, 1500, {1, 2, 3, 4, 5}), chunks(kStart, 1500, {1, 2, 3, 4, 5}),
         nullptr, ""},
        {"the same start with another duration is another run",
         join(chunks(kStart, 900, {1}), chunks(kStart, 1500, {1, 2})),
         join(chunks(kStart, 300, {1}), chunks(kStart, 600, {1, 2})), nullptr, ""},
        // A run that holds a session's planned end ends there, not after a whole chunk.
        {"only the sessions given",
         join(chunks(kStart, 1400, {2, 3, 4, 5}), chunks(kOther, 1500, {1, 3}, ".ogg")),
         join(chunks(DateTime(2003, 11, 7, 17, 45, 0), 1100, {1, 2, 3, 4}),
              chunks(kOther, 1500, {1, 3}, ".ogg")),
         &only1400, ""},
        {".ogg chunks wait while there are .mp3 chunks",
         join(chunks(kStart, 1500, {2}), chunks(kOther, 1500, {2}, ".ogg")),
         join(chunks(DateTime(2003, 11, 7, 17, 45, 0), 300, {1}),
              chunks(kOther, 1500, {2}, ".ogg")),
         nullptr, ""},
        {"the current session stays", chunks(kStart, 1500, {2, 3}), chunks(kStart, 1500, {2, 3}),
         nullptr, ChunkSessionName(kStart, 1500, 300)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        for (const std::string& name : c.made) MakeChunk(dir, name);
        SetCurrentSessionPrefix(c.current);
        EXPECT_NO_THROW(ReloadStream(dir.Path(), c.sessions));
        std::map<std::string, std::string> expected;
        for (size_t i = 0; i < c.expected.size(); ++i) {
            expected[c.expected[i]] = "audio " + BaseOf(c.made[i]);
            expected[BaseOf(c.expected[i]) + ".dat"] = std::string(100'000, 'd');
            expected[BaseOf(c.expected[i]) + ".fgp"] = "fgp " + BaseOf(c.made[i]);
        }
        EXPECT_EQ(Snapshot(dir), expected);
        ReloadStream(dir.Path(), c.sessions);  // a second reload finds nothing left to do
        EXPECT_EQ(Snapshot(dir), expected);
        SetCurrentSessionPrefix("");
    }
    // Once the .mp3 chunks are gone the .ogg ones have their turn.
    TempDir dir;
    MakeChunk(dir, Name(kOther, 1500, 300, 2, ".ogg"));
    ReloadStream(dir.Path());
    EXPECT_TRUE(fs::exists(dir.File("2003_11_08_09_05_00_300_300_1.ogg")));
    EXPECT_TRUE(fs::exists(dir.File("2003_11_08_09_05_00_300_300_1.fgp")));
}

TEST(ReloadStream, DamagedNamesArePassedOver) {
    TempDir dir;
    // Names the parser refuses (every kind: ChunkNameTest), and two it reads.
    const char* garbage[] = {
        "x.mp3",
        "2003_11_07_17_40_00_1500_0_2.mp3",
        "2003_02_30_17_40_00_1500_300_2.mp3",
        "2003_11_07_17_40_00_01500_300_2.mp3",
        "2003_11_07_17_40_00_1500_300_2.bak.mp3",
    };
    for (const char* name : garbage) {
        WriteFile(dir.File(name), "junk");
        WriteFile(dir.File(BaseOf(name) + ".dat"), std::string(1000, 'd'));
    }
    MakeChunk(dir, Name(kStart, 1500, 300, 2));
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
// Move error and every file is still there under one of its names; a
// missing side file is a Move error too.
TEST(ReloadStream, CollisionOrMissingSideFileIsAMoveErrorAndLosesNothing) {
    for (const char* ext : {".mp3", ".dat", ".fgp"}) {
        TempDir dir;
        for (int n : {1, 2}) MakeChunk(dir, Name(kStart, 1500, 300, n));
        // What the first chunk would be renamed to is taken already.
        WriteFile(dir.File(std::string("2003_11_07_17_40_00_600_300_1") + ext), "in the way");
        std::multiset<std::string> contents, after;
        for (const auto& [name, bytes] : Snapshot(dir)) contents.insert(bytes);
        EXPECT_THROW(ReloadStream(dir.Path()), MoveError) << ext;
        for (const auto& [name, bytes] : Snapshot(dir)) after.insert(bytes);
        EXPECT_EQ(after, contents) << ext;
        EXPECT_EQ(ReadFile(dir.File(std::string("2003_11_07_17_40_00_600_300_1") + ext)),
                  "in the way");
    }
    EXPECT_STREQ(MoveError().what(), "Move error");
    TempDir dir;
    MakeChunk(dir, Name(kStart, 1500, 300, 2));
    fs::remove(dir.File(ChunkBaseName(kStart, 1500, 300, 2) + ".fgp"));
    EXPECT_THROW(CheckSession(dir.Path(), kStart, 1500, 300, 2, 2), MoveError);
    EXPECT_TRUE(fs::exists(dir.File("2003_11_07_17_45_00_300_300_1.mp3")));
    EXPECT_TRUE(fs::exists(dir.File("2003_11_07_17_45_00_300_300_1.dat")));
}


// An Ogg page: its granule position and body (the checksum is not checked).
std::string OggPage(uint64_t granule, const std::string& body) {
    std::string page = "OggS";
    page += '\0';
    page += '\2';
    for (int i = 0; i < 8; ++i) page += static_cast<char>((granule >> (8 * i)) & 0xFF);
    page += std::string(12, '\0');  // serial, sequence, checksum
    std::string lacing(body.size() / 255, '\xFF');
    lacing += static_cast<char>(body.size() % 255);
    page += static_cast<char>(lacing.size());
    return page + lacing + body;
}

// The chunks of a recorder that died: those without a whole MP3 frame or Ogg
// audio page go, with their side files, when the next recorder starts.
TEST_F(UpdateStreamInfoTest, ADeadRecordersChunksWithoutAudioAreRemovedByTheNext) {
    std::string frame = "\xFF\xFB\x90\x64";  // MPEG-1 Layer III, 128 kbit/s, 44.1 kHz: 417 bytes
    frame.resize(417, '\x55');
    const std::string headers = OggPage(0, std::string(30, 'i')) + OggPage(0, std::string(600, 's'));
    const std::string audio = OggPage(4096, std::string(300, 'a'));
    const std::tuple<const char*, std::string, bool> cases[] = {
        {".mp3", frame.substr(0, 200), false},                 // torn first frame
        {".mp3", frame + frame.substr(0, 10), true},
        {".ogg", headers.substr(0, 40), false},                // torn first page
        {".ogg", headers, false},                              // headers, no audio
        {".ogg", headers + audio.substr(0, 100), false},       // torn audio page
        {".ogg", headers + audio, true},
        {".ogg", headers + std::string(70'000, 'x'), true},    // more than is looked at
    };
    const std::string session = ChunkSessionName(kStart, 25, 10);
    for (const auto& [ext, bytes, kept] : cases) {
        SCOPED_TRACE(testing::Message() << ext << " of " << bytes.size() << " bytes");
        TempDir dir;
        const std::string name = Name(kStart, 25, 10, 1, ext);
        MakeChunk(dir, name, 0);
        WriteFile(dir.File(name), bytes);
        WriteFile(HomeFile(kRecordingNoteFile), "folder=" + dir.Path() + "\nsession=" + session + "\n");
        RecordingMarker marker;
        ASSERT_TRUE(marker.Publish(dir.Path(), ChunkSessionName(kOther, 25, 10)));
        marker.Withdraw();
        EXPECT_EQ(fs::exists(dir.File(name)), kept);
        EXPECT_EQ(fs::exists(dir.File(BaseOf(name) + ".dat")), kept);
    }
}

}  // namespace
}  // namespace wk
