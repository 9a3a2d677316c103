// Moving description files onto the recording, on streams of random side
// bytes where every snippet has one best place. Recorded music matched
// through the real executable: tests/app DescriptionsCommandTest.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <cmath>
#include <random>

#include "core/Clock.h"
#include "core/EventLog.h"
#include "core/Translation.h"
#include "descriptions/AudibleSpreads.h"
#include "descriptions/CTrackToStreamThread.h"
#include "descriptions/DescriptionStore.h"
#include "descriptions/Timeshift.h"
#include "fixture/SecondStation.h"
#include "core/ProgramHome.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
const DateTime kSessionStart(2024, 3, 1, 12, 0, 0);
const StreamTime s0 = kSessionStart.ToStreamTime();
const std::string kHeader = "# 0.9\r\n# Downloaded\r\n# " + std::string(kTrustedMarker) + "\r\n";

Description Track(StreamTime start, StreamTime end, const std::string& title) {
    Description d;
    d.artist = "Artist";
    d.title = title;
    d.start = start;
    d.end = end;
    return d;
}

void WriteDescriptionFile(const std::string& path, const std::vector<Description>& records,
                          const std::string& header = kHeader) {
    std::string text = header;
    for (const Description& d : records) text += d.ToLine() + "\r\n";
    test::WriteFile(path, text);
}

std::vector<Description> ReadRecords(const std::string& path) {
    DescriptionStore store;
    store.LoadText(test::ReadFile(path));
    std::vector<Description> records;
    for (const auto& d : store.Records()) records.push_back(*d);
    return records;
}

class TimeshiftTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        SetClock(&m_clock);
    }
    void TearDown() override {
        SetFileReplaceOps(nullptr);
        SetClock(nullptr);
        TempHomeTest::TearDown();
    }
    bool Reported(int stringId) const {
        return Events().find(LoadTranslatedString(stringId)) != std::string::npos;
    }
    std::string Events() const {
        std::string all;
        for (const std::string& line : EventLog::Instance().ReadLines()) all += line + "\n";
        return all;
    }
    // A stream of `seconds` of side bytes (random unless given) in 10-second
    // chunks whose audio files stay empty: matching reads only the side files.
    void MakeStream(int seconds, uint32_t seed = 7, const std::vector<uint8_t>& fgp = {}) {
        m_fgp = fgp;
        std::mt19937 random(seed);
        for (size_t i = m_fgp.size(); i < size_t(seconds) * 100; ++i)
            m_fgp.push_back(uint8_t(random() % 111));
        fs::remove_all(HomeFile("stream"));
        fs::create_directories(HomeFile("stream"));
        const int chunks = (seconds + 9) / 10;
        for (int n = 1; n <= chunks; ++n) {
            const std::string base =
                FolderFile(HomeFile("stream"), ChunkBaseName(kSessionStart, chunks * 10, 10, n));
            test::WriteFile(base + ".mp3", "");
            test::WriteFile(base + ".dat", std::string(1000, '\x10'));
            const auto from = m_fgp.begin() + (n - 1) * 1000;
            test::WriteFile(base + ".fgp",
                            std::string(from, from + std::min<long>(1000, m_fgp.end() - from)));
        }
        m_info = StreamInfo();
        m_info.folder = HomeFile("stream");
        UpdateStreamInfo(m_info);
        ASSERT_EQ(m_info.sessions.size(), 1u);
    }
    // Gives `d` the snippet that lies at `at` in the stream, claimed to lie at `claimed`.
    void AttachSnippet(Description& d, StreamTime at, StreamTime claimed) const {
        const auto first = m_fgp.begin() + (at - s0) / 10;
        d.fingerprint = Base64Encode(std::vector<uint8_t>(first, first + kSnippetBytes));
        d.fingerprintTime = claimed;
    }

    ManualClock m_clock{DateTime(2024, 3, 1, 15, 0, 0)};
    StreamInfo m_info;
    std::vector<uint8_t> m_fgp;
};

TEST(SnippetScoreTest, SpreadAroundTheMeanDifference) {
    const std::tuple<std::vector<uint8_t>, std::vector<uint8_t>, double> cases[] = {
        {{10, 20, 30, 40}, {10, 20, 30, 40}, 0.0},
        {{10, 20, 30, 40}, {15, 25, 35, 45}, 0.0},  // another recording level costs nothing
        {{0, 0, 0, 0}, {0, 0, 0, 4}, 1.5},          // d = 0,0,0,-4, mean -1
        {{200, 0},
         {0, 0},
         28.0},  // bytes count as signed: 200 is -56, so d = -56,0 and the mean -28
        {{0, 127},
         {128, 0},
         0.5},  // d = 128,127 signed; read unsigned it would be -128,127 and score 127.5
        {{}, {}, 0.0},
    };
    for (const auto& [a, b, score] : cases)
        EXPECT_DOUBLE_EQ(SnippetScore(a.data(), b.data(), int(a.size())), score)
            << a.size() << " bytes";
}

TEST(DecideCorrectionTest, QuorumOfTheVotes) {
    const std::tuple<std::vector<ShiftVote>, bool, int64_t> cases[] = {
        {{}, true, 0},
        {{{1000, 1}, {1200, 1}, {900, 1}, {20000, 1}},
         false,
         0},  // one far vote pulls the mean away from all
        {{{1000, 5}, {1200, 3}, {900, 4}},
         true,
         1200},  // all agree: the best score wins, not the nearest the mean
        {{{1000, 2}, {1200, 2}, {900, 4}}, true, 1000},  // equal scores: the first one
        {{{1000, 1}, {1100, 1}, {9000, 1}},
         false,
         0},  // two of three agreeing is not more than two thirds
        {{{1000, 3}, {1100, 1}, {1300, 2}, {9000, 0}}, true, 1100},  // three of four is
        {{{-4000, 9}}, true, -4000},
        {{{0, 1}, {6000, 1}}, false, 0},  // the agreement limit is strict: 3000 away does not agree
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const ShiftDecision decision = DecideCorrection(std::get<0>(cases[i]));
        EXPECT_EQ(decision.identified, std::get<1>(cases[i])) << "row " << i;
        EXPECT_EQ(decision.correction, std::get<2>(cases[i])) << "row " << i;
    }
}

// The centre of the agreeing votes weighted by confidence, and a
// description's own shift where it is confident and a little off the centre.
TEST(DecideCorrectionTest, ConfidentCentreAndOwnShifts) {
    const std::tuple<std::vector<ShiftVote>, bool, int64_t, std::vector<int64_t>> cases[] = {
        // The lowest score (1200) is the least confident; 1050 is 50 ms off and sure of it.
        {{{1000, 5, 0.9}, {1200, 3, 0.1}, {1050, 4, 0.8}}, true, 1000, {1000, 1000, 1050}},
        {{{1000, 1, 1}, {1200, 1, 1}, {900, 1, 1}, {20000, 1, 1}}, false, 0, {}},
        {{{1000, 1, 0}, {1100, 1, 0}, {1300, 1, 0}}, true, 1100, {1100, 1100, 1100}},
        // Within a step of the centre, or far from it: the centre.
        {{{1000, 1, 1}, {1010, 1, 1}, {1400, 1, 1}}, true, 1010, {1010, 1010, 1010}},
        {{}, true, 0, {}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const ShiftDecision decision = DecideConfidentCorrection(std::get<0>(cases[i]));
        EXPECT_EQ(decision.identified, std::get<1>(cases[i])) << "row " << i;
        EXPECT_EQ(decision.correction, std::get<2>(cases[i])) << "row " << i;
        EXPECT_EQ(decision.moves, std::get<3>(cases[i])) << "row " << i;
    }
}

// A second station hears the broadcast later, at another level, band-limited
// and with a noise floor: every description of the first station's playlist
// lands within 15 ms of its song's true start on the second recording,
// whatever the join before the song; on an identical copy exactly.
TEST(SecondStationMatchTest, EveryDescriptionLandsOnItsSong) {
    test::TempDir dir;
    SetProgramHome(dir.Path());
    struct Row {
        double delay, gainDb, lowPassHz, noiseDbfs;
    };
    // An identical copy on the 10 ms grid; then the longest delay a step
    // short of 10 s, louder, and a delay between steps, quieter; both
    // band-limited and noisy (the demo and the bench hear 2.3 s, -4 dB).
    const Row rows[] = {{4.56, 0, 0, -200}, {9.96, 6, 7000, -45}, {5.117, -6, 7000, -45}};
    const DateTime start(2024, 5, 1, 10, 0, 0);
    StationRecordings r;
    for (size_t row = 0; row < std::size(rows); ++row) {
        SecondStationOptions o;
        o.seed = 5;
        o.songs = 3;
        o.songSeconds = 8;
        o.delaySeconds = rows[row].delay;
        o.gainDb = rows[row].gainDb;
        o.lowPassHz = rows[row].lowPassHz;
        o.noiseDbfs = rows[row].noiseDbfs;
        const std::string second = dir.File("second" + std::to_string(row));
        std::string why;
        ASSERT_TRUE(row == 0 ? RecordStations(o, start, dir.File("first"), second,
                                              dir.File("first.des"), r, &why)
                             : RecordSecondStation(o, start, second, r, &why))
            << why;
        const std::string copy = dir.File("matched" + std::to_string(row) + ".des");
        fs::copy_file(r.descriptionFile, copy);
        StreamInfo info;
        info.folder = second;
        UpdateStreamInfo(info);
        ASSERT_TRUE(TimeShiftDescriptionFile(info, copy, 0));
        const auto matched = ReadRecords(copy);
        ASSERT_EQ(matched.size(), r.described.size());
        const bool identical = rows[row].gainDb == 0 && rows[row].noiseDbfs <= -120;
        for (size_t i = 0; i < matched.size(); ++i) {
            SCOPED_TRACE("row " + std::to_string(row) + ", " + matched[i].title + " after a " +
                         matched[i].comment);
            EXPECT_FALSE(matched[i].notIdentified);
            if (identical && std::fmod(rows[row].delay * 100, 1) == 0) {
                EXPECT_EQ(matched[i].start, r.described[i].start + std::llround(rows[row].delay * 1000));
            } else {
                EXPECT_NEAR(double(matched[i].start), r.secondTruth[i], 15.0);
            }
        }
    }
    SetProgramHome("");
}

TEST_F(TimeshiftTest, MatchFindsTheSnippetWithinItsWindow) {
    MakeStream(200);
    // The fingerprint time and where the snippet really is (after the session
    // start), the lower bound before the description's start, the shift.
    const std::tuple<StreamTime, StreamTime, StreamTime, int64_t> cases[] = {
        {30000, 0, 100000, 29999},  // 30 s into the session the window shrinks to 29999 ms
        {70000, 10000, 100000, 60000}, {70000, 70000, 100000, 0},
        {70000, 75000, 100000, -5000}, {70000, 129000, 100000, -59000},
        {70000, 50000, 20000, 20000},  // the lower bound 20 s before the start narrows the window
                                       // to 20 s
    };
    for (const auto& [claimed, at, startAfterBound, expected] : cases) {
        Description d = Track(s0 + claimed + 500, s0 + claimed + 60000, "t");
        AttachSnippet(d, s0 + at, s0 + claimed);
        int64_t shift = 0;
        double score = -1;
        ASSERT_TRUE(MatchFingerprint(m_info, d, d.start - startAfterBound, shift, score))
            << claimed << " " << at;
        EXPECT_EQ(shift, expected) << claimed << " " << at;
        EXPECT_EQ(score, 0.0);
    }
    // Outside the window the best place is elsewhere; beyond the stream's end
    // the side bytes run out; before the session there is no session.
    Description d = Track(s0 + 100000, s0 + 160000, "t");
    AttachSnippet(d, s0 + 10000, s0 + 100000);
    int64_t shift = 0;
    double score = 0;
    ASSERT_TRUE(MatchFingerprint(m_info, d, 0, shift, score));
    EXPECT_GT(score, 0.0);
    AttachSnippet(d, s0 + 150000, s0 + 150000);
    EXPECT_FALSE(MatchFingerprint(m_info, d, 0, shift, score));
    AttachSnippet(d, s0, s0 - 1);
    EXPECT_FALSE(MatchFingerprint(m_info, d, 0, shift, score));
    d.fingerprint.clear();
    d.fingerprintTime = s0 + 50000;
    EXPECT_FALSE(MatchFingerprint(m_info, d, 0, shift, score));
}

TEST_F(TimeshiftTest, FastMatcherEqualsTheReference) {
    std::mt19937 random(11);
    for (int round = 0; round < 4; ++round) {
        // Few distinct levels make many equal scores, so ties are exercised too.
        std::vector<uint8_t> levels;
        std::mt19937 other(100 + round);
        for (int i = 0; round >= 2 && i < 26000; ++i)
            levels.push_back(uint8_t(other() % (round == 2 ? 3 : 2) * 125));
        MakeStream(260, 100 + round, levels);
        std::uniform_int_distribution<StreamTime> when(1000, 180000);
        std::uniform_int_distribution<int> length(1, 600);
        for (int i = 0; i < 6; ++i) {
            const StreamTime claimed = s0 + when(random);
            Description d = Track(claimed + 2000, claimed + 90000, "r");
            std::vector<uint8_t> snippet(size_t(length(random)));
            for (uint8_t& b : snippet) b = static_cast<uint8_t>(random() % 256);
            const size_t at = size_t(when(random) / 10);
            for (size_t k = 0; i % 2 == 0 && k < snippet.size() && at + k < m_fgp.size(); ++k)
                snippet[k] = static_cast<uint8_t>(
                    m_fgp[at + k] + (k % 7 == 0));  // a real snippet, disturbed a little
            d.fingerprint = Base64Encode(snippet);
            d.fingerprintTime = claimed;
            int64_t fastShift = 0, refShift = 0;
            double fastScore = 0, refScore = 0;
            ASSERT_EQ(MatchFingerprint(m_info, d, 0, fastShift, fastScore),
                      MatchFingerprintReference(m_info, d, 0, refShift, refScore))
                << round << "/" << i;
            EXPECT_EQ(fastShift, refShift) << round << "/" << i;
            EXPECT_EQ(fastScore, refScore) << round << "/" << i;
        }
    }
}

// The vector loops give the plain formula's costs to the bit: snippets of
// every length around a vector's eight bytes, levels all audible (the quick
// path) or partly below the floor, extremes of the signed bytes.
TEST(AudibleSpreadsTest, EqualTheReference) {
    std::mt19937 random(3);
    const auto bytes = [&](size_t count, int kind) {
        std::vector<uint8_t> v(count);
        for (size_t i = 0; i < count; ++i) {
            switch (kind) {
            case 0: v[i] = uint8_t(1 + random() % 127); break;             // all audible
            case 1: v[i] = uint8_t(random() % 256); break;                  // half below the floor
            case 2: v[i] = uint8_t(i / 37 % 5 == 0 ? 0 : 60 + random() % 40); break;  // pauses
            default: v[i] = uint8_t(random() % 2 ? 127 : 128); break;       // extremes
            }
        }
        return v;
    };
    const std::tuple<int, int, int, int> cases[] = {
        // snippet bytes, side bytes, snippet kind, side kind
        {400, 3000, 0, 0}, {400, 3000, 0, 2}, {400, 3000, 2, 0}, {400, 3000, 1, 1},
        {7, 500, 0, 1}, {8, 500, 1, 0}, {9, 500, 2, 2}, {1, 40, 1, 1}, {13, 13, 0, 0},
        {400, 1200, 3, 3}, {400, 1200, 0, 3}, {250, 900, 3, 2},
    };
    for (const auto& [n, count, snippetKind, sideKind] : cases) {
        const std::vector<uint8_t> snippet = bytes(size_t(n), snippetKind);
        std::vector<uint8_t> side = bytes(size_t(count), sideKind);
        // A copy of the snippet in the side bytes, so that one place is exact.
        std::copy(snippet.begin(), snippet.end(), side.begin() + (count - n) / 2);
        const auto fast = AudibleSpreads(snippet.data(), n, side.data(), count);
        const auto reference = AudibleSpreadsReference(snippet.data(), n, side.data(), count);
        ASSERT_EQ(fast.size(), size_t(std::max(1, count - n))) << n << "/" << count;
        EXPECT_EQ(fast, reference) << n << "/" << count << " kinds " << snippetKind << sideKind;
        EXPECT_EQ(fast[size_t((count - n) / 2)], 0.0) << n << "/" << count;
    }
    const uint8_t one = 5;
    EXPECT_TRUE(AudibleSpreads(&one, 0, &one, 1).empty());
    EXPECT_TRUE(AudibleSpreads(&one, 2, &one, 1).empty());
}

TEST_F(TimeshiftTest, ExtensionAndReadingChecks) {
    const std::string text = kHeader + Track(1000, 2000, "a").ToLine() + "\r\n";
    test::WriteFile(HomeFile("list.txt"), text);
    EXPECT_FALSE(TimeShiftDescriptionFile(m_info, HomeFile("list.txt"), 0));
    EXPECT_TRUE(Reported(kStrTimeShiftBadExtension));
    EXPECT_EQ(ShiftedDescriptionText(HomeFile("list.txt"), 1), "");
    EXPECT_EQ(test::ReadFile(HomeFile("list.txt")), text);
    EXPECT_FALSE(fs::exists(HomeFile("list.txttmp")));
    EXPECT_FALSE(TimeShiftDescriptionFile(m_info, HomeFile("missing.des"), 0));
    EXPECT_TRUE(Reported(kStrTimeShiftDesMissing));
    EXPECT_FALSE(Reported(kStrTimeShiftTempDesNotCreated));
    // Any case passes, and the records are found under the name as it is spelt.
    test::WriteFile(HomeFile("LIST.DES"), text);
    const std::string events = Events();
    EXPECT_EQ(ShiftedDescriptionText(HomeFile("LIST.DES"), 1.0),
              kHeader + Track(2000, 3000, "a").ToLine() + "\r\n");
    ASSERT_TRUE(TimeShiftDescriptionFile(m_info, HomeFile("LIST.DES"), 1.0));
    EXPECT_EQ(Events(), events);
    EXPECT_EQ(ReadRecords(HomeFile("LIST.DES")).at(0).start, 0);
}

// In the file's clock every time is 2 s late, and the descriptions
// themselves late on top: by 0.7 s each (they agree: all move onto the
// recording) or by amounts 7 s apart (they do not: all are marked not
// identified and move by the clock difference alone). A fingerprint-free
// record, marked not identified, moves with them and takes their mark.
TEST_F(TimeshiftTest, ClockDifferenceComesOffBeforeMatching) {
    MakeStream(300);
    // Header lines keep their own line ends, even a bare LF.
    const std::string header = "# 0.9\r\n# from elsewhere\n# x\r\n", path = HomeFile("drift.des");
    for (const bool agree : {true, false}) {
        SCOPED_TRACE(agree ? "agreeing" : "disagreeing");
        std::vector<Description> records;
        for (int i = 0; i < 3; ++i) {
            const StreamTime truth = s0 + 70000 + i * 50000,
                             late = 2000 + (agree ? 700 : 700 + 7000 * (i - 1));
            Description d = Track(truth + late, truth + 40000 + late, "m" + std::to_string(i));
            AttachSnippet(d, truth + 3000, truth + 3000 + late);
            records.push_back(d);
        }
        records.push_back(Track(s0 + 252700, s0 + 262700, "plain"));
        records.back().notIdentified = true;
        WriteDescriptionFile(path, records, header);
        ASSERT_TRUE(TimeShiftDescriptionFile(m_info, path, 2.0));
        EXPECT_TRUE(test::ReadFile(path).starts_with(header));
        EXPECT_FALSE(fs::exists(path + "tmp"));
        const auto shifted = ReadRecords(path);
        ASSERT_EQ(shifted.size(), 4u);
        for (int i = 0; i < 4; ++i) {
            const int64_t by = agree ? 2700 : 2000;
            EXPECT_EQ(shifted[i].start, records[i].start - by) << i;
            EXPECT_EQ(shifted[i].end, records[i].end - by) << i;
            EXPECT_EQ(shifted[i].fingerprintTime, i < 3 ? records[i].fingerprintTime - by : 0) << i;
            EXPECT_EQ(shifted[i].notIdentified, !agree) << i;
        }
        EXPECT_EQ(Events().find("could not be successfully identified") != std::string::npos,
                  !agree);
    }
}

TEST_F(TimeshiftTest, FailuresLeaveTheFileAsItWas) {
    const std::string path = HomeFile("keep.des");
    const std::string text = kHeader + Track(5000, 9000, "k").ToLine() + "\r\n";
    test::WriteFile(path, text);
    // The temporary file's name is taken by a folder.
    fs::create_directories(path + "tmp");
    EXPECT_FALSE(TimeShiftDescriptionFile(m_info, path, 1.0));
    EXPECT_TRUE(Reported(kStrTimeShiftTempDesNotCreated));
    EXPECT_EQ(test::ReadFile(path), text);
    fs::remove(path + "tmp");
    static const FileReplaceOps refuseDelete{
        [](const char*) { return -1; },
        [](const char* from, const char* to) { return std::rename(from, to); }};
    SetFileReplaceOps(&refuseDelete);
    EXPECT_FALSE(TimeShiftDescriptionFile(m_info, path, 1.0));
    EXPECT_TRUE(Reported(kStrTimeShiftDeleteDesFailed));
    EXPECT_EQ(test::ReadFile(path), text);
    EXPECT_EQ(ReadRecords(path + "tmp").at(0).start, 4000);
    fs::remove(path + "tmp");
    static const FileReplaceOps refuseRename{[](const char* p) { return std::remove(p); },
                                             [](const char*, const char*) { return -1; }};
    SetFileReplaceOps(&refuseRename);
    EXPECT_FALSE(TimeShiftDescriptionFile(m_info, path, 1.0));
    EXPECT_TRUE(Reported(kStrTimeShiftRenameBakFailed));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(ReadRecords(path + "tmp").at(0).start, 4000);
}

TEST_F(TimeshiftTest, WorkerMergesTheShiftedFileIntoTheDocument) {
    const std::string path = HomeFile("incoming.des");
    WriteDescriptionFile(path, {Track(s0 + 5000, s0 + 60000, "new")});
    DescriptionStore document(HomeFile(""), "desc");
    document.Add(Track(s0 + 1000, s0 + 50000, "old"));
    CTrackToStreamThread worker("", document, m_info, path, 1.0);
    ASSERT_EQ(worker.Create(), 0);
    worker.Start();
    ASSERT_TRUE(worker.WaitForEnd(10000));
    EXPECT_EQ(worker.ExitCode(), 0);
    ASSERT_EQ(document.Size(), 1u);
    EXPECT_EQ(document.Records()[0]->title, "new");
    EXPECT_EQ(document.Records()[0]->start, s0 + 4000);
    DescriptionStore saved(HomeFile(""), "desc");
    saved.Load();
    ASSERT_EQ(saved.Size(), 1u);
    EXPECT_EQ(saved.Records()[0]->start, s0 + 4000);
    EXPECT_FALSE(CTrackToStreamThread::RunNow("", document, m_info, HomeFile("x.txt"), 0));
    EXPECT_EQ(document.Size(), 1u);
}

}  // namespace
}  // namespace wk
