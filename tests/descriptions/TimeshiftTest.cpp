#include "descriptions/Timeshift.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include "core/Clock.h"
#include "core/EventLog.h"
#include "core/Translation.h"
#include "descriptions/CTrackToStreamThread.h"
#include "descriptions/DescriptionStore.h"
#include "platform/CaptureDeviceGenerator.h"
#include "recording/EncoderBase.h"
#include "recording/RecordingSession.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"
#include "support/TempHome.h"

namespace wk {
namespace {

const DateTime kSessionStart(2024, 3, 1, 12, 0, 0);
constexpr int kChunkSeconds = 10;
constexpr int kBytesPerChunk = 100 * kChunkSeconds;

StreamTime SessionStart() { return kSessionStart.ToStreamTime(); }

// Chunks of one session holding `fgp` (100 bytes a second); the audio files
// stay empty, matching reads only the side files.
void WriteSyntheticStream(const std::string& folder, const std::vector<uint8_t>& fgp) {
    const int chunks = static_cast<int>((fgp.size() + kBytesPerChunk - 1) / kBytesPerChunk);
    const std::string dat(kBytesPerChunk, '\x10');
    for (int n = 1; n <= chunks; ++n) {
        const std::string base = FolderFile(
            folder, ChunkBaseName(kSessionStart, chunks * kChunkSeconds, kChunkSeconds, n));
        const auto from = fgp.begin() + (n - 1) * kBytesPerChunk;
        const auto to = fgp.begin() + std::min<size_t>(fgp.size(), size_t(n) * kBytesPerChunk);
        test::WriteFile(base + ".mp3", "");
        test::WriteFile(base + ".dat", dat);
        test::WriteFile(base + ".fgp", std::string(from, to));
    }
}

// Loudness-like bytes, different everywhere, so every snippet has one best place.
std::vector<uint8_t> RandomFgp(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> level(0, 110);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(level(random));
    return bytes;
}

Description Track(StreamTime start, StreamTime end, const std::string& title) {
    Description d;
    d.artist = "Artist";
    d.title = title;
    d.start = start;
    d.end = end;
    return d;
}

// Gives `d` the snippet that lies at `at` in `fgp`, claimed to lie at `claimed`.
void AttachSnippet(Description& d, const std::vector<uint8_t>& fgp, StreamTime at,
                   StreamTime claimed) {
    const auto first = fgp.begin() + (at - SessionStart()) / 10;
    d.fingerprint = Base64Encode(std::vector<uint8_t>(first, first + kSnippetBytes));
    d.fingerprintTime = claimed;
}

const std::string kHeader = "# 0.9\r\n# Downloaded\r\n# " + std::string(kTrustedMarker) + "\r\n";

void WriteDescriptionFile(const std::string& path, const std::vector<Description>& records,
                          const std::string& header = kHeader) {
    std::string text = header;
    for (const Description& d : records) {
        text += d.ToLine();
        text += "\r\n";
    }
    test::WriteFile(path, text);
}

std::vector<Description> ReadRecords(const std::string& path) {
    std::vector<Description> records;
    const std::string text = test::ReadFile(path);
    size_t begin = 0;
    for (int line = 0; begin < text.size(); ++line) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        if (line >= 3) {
            Description d;
            d.FromLine(std::string_view(text).substr(begin, end - begin));
            records.push_back(d);
        }
        begin = end + 1;
    }
    return records;
}

class TimeshiftTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        SetClock(&m_clock);
        EventLog::Instance().Close();
    }
    void TearDown() override {
        SetFileReplaceOps(nullptr);
        EventLog::Instance().Close();
        SetClock(nullptr);
        TempHomeTest::TearDown();
    }
    bool Reported(int stringId) const {
        const std::string text = LoadTranslatedString(stringId);
        for (const std::string& line : EventLog::Instance().ReadLines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    int EventCount() const { return static_cast<int>(EventLog::Instance().ReadLines().size()); }

    // A stream of `seconds` random side bytes in a folder of its own.
    void MakeStream(int seconds, uint32_t seed = 7) {
        m_fgp = RandomFgp(size_t(seconds) * 100, seed);
        m_info.folder = m_dir.File("stream");
        std::filesystem::create_directories(m_info.folder);
        WriteSyntheticStream(m_info.folder, m_fgp);
        UpdateStreamInfo(m_info);
        ASSERT_EQ(m_info.sessions.size(), 1u);
    }

    ManualClock m_clock{DateTime(2024, 3, 1, 15, 0, 0)};
    StreamInfo m_info;
    std::vector<uint8_t> m_fgp;
};

TEST(SnippetScoreTest, SpreadAroundTheMeanDifference) {
    struct Case {
        std::vector<uint8_t> a, b;
        double score;
    } const cases[] = {
        {{10, 20, 30, 40}, {10, 20, 30, 40}, 0.0},
        // Another recording level: a constant offset costs nothing.
        {{10, 20, 30, 40}, {15, 25, 35, 45}, 0.0},
        // d = 0,0,0,-4, mean -1.
        {{0, 0, 0, 0}, {0, 0, 0, 4}, 1.5},
        // Bytes count as signed: 200 is -56, so d = -56,0 and the mean -28.
        {{200, 0}, {0, 0}, 28.0},
        // d = 128,127 signed; read unsigned it would be -128,127 and score 127.5.
        {{0, 127}, {128, 0}, 0.5},
        {{}, {}, 0.0},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(SnippetScore(c.a.data(), c.b.data(), int(c.a.size())), c.score)
            << int(c.a.size()) << " bytes";
    }
}

TEST(DecideCorrectionTest, QuorumOfTheVotes) {
    struct Case {
        std::vector<ShiftVote> votes;
        bool identified;
        int64_t correction;
    } const cases[] = {
        {{}, true, 0},
        // One far vote pulls the mean away from all of them.
        {{{1000, 1}, {1200, 1}, {900, 1}, {20000, 1}}, false, 0},
        // All agree: the best score wins, not the vote nearest the mean.
        {{{1000, 5}, {1200, 3}, {900, 4}}, true, 1200},
        // Equal scores: the first one.
        {{{1000, 2}, {1200, 2}, {900, 4}}, true, 1000},
        // Two of three agreeing is not more than two thirds.
        {{{1000, 1}, {1100, 1}, {9000, 1}}, false, 0},
        // Three of four is.
        {{{1000, 3}, {1100, 1}, {1300, 2}, {9000, 0}}, true, 1100},
        {{{-4000, 9}}, true, -4000},
        // The agreement limit is strict: 3000 away does not agree.
        {{{0, 1}, {6000, 1}}, false, 0},
    };
    int row = 0;
    for (const Case& c : cases) {
        const ShiftDecision decision = DecideCorrection(c.votes);
        EXPECT_EQ(decision.identified, c.identified) << "row " << row;
        EXPECT_EQ(decision.correction, c.correction) << "row " << row;
        ++row;
    }
}

TEST_F(TimeshiftTest, MatchFindsTheSnippetWithinItsWindow) {
    MakeStream(200);
    const StreamTime s0 = SessionStart();
    struct Case {
        StreamTime claimed;  // fingerprint time, after the session start
        StreamTime at;       // where the snippet really is
        StreamTime startAfterBound;
        int64_t shift;
    } const cases[] = {
        // 30 s into the session the window shrinks to 29999 ms.
        {30000, 0, 100000, 29999},
        {70000, 10000, 100000, 60000},
        {70000, 70000, 100000, 0},
        {70000, 75000, 100000, -5000},
        {70000, 129000, 100000, -59000},
        // The lower bound 20 s before the start narrows the window to 20 s.
        {70000, 50000, 20000, 20000},
    };
    for (const Case& c : cases) {
        Description d = Track(s0 + c.claimed + 500, s0 + c.claimed + 60000, "t");
        AttachSnippet(d, m_fgp, s0 + c.at, s0 + c.claimed);
        int64_t shift = 0;
        double score = -1;
        ASSERT_TRUE(MatchFingerprint(m_info, d, d.start - c.startAfterBound, shift, score))
            << c.claimed << " " << c.at;
        EXPECT_EQ(shift, c.shift) << c.claimed << " " << c.at;
        EXPECT_EQ(score, 0.0);
    }

    // Outside the window the best place is elsewhere; beyond the stream's end
    // the side bytes run out; before the session there is no session.
    Description d = Track(s0 + 100000, s0 + 160000, "t");
    AttachSnippet(d, m_fgp, s0 + 10000, s0 + 100000);
    int64_t shift = 0;
    double score = 0;
    ASSERT_TRUE(MatchFingerprint(m_info, d, 0, shift, score));
    EXPECT_GT(score, 0.0);
    AttachSnippet(d, m_fgp, s0 + 150000, s0 + 150000);
    EXPECT_FALSE(MatchFingerprint(m_info, d, 0, shift, score));
    AttachSnippet(d, m_fgp, s0, s0 - 1);
    EXPECT_FALSE(MatchFingerprint(m_info, d, 0, shift, score));
    d.fingerprint.clear();
    d.fingerprintTime = s0 + 50000;
    EXPECT_FALSE(MatchFingerprint(m_info, d, 0, shift, score));
}

TEST_F(TimeshiftTest, FastMatcherEqualsTheReference) {
    std::mt19937 random(11);
    for (int round = 0; round < 4; ++round) {
        m_info = StreamInfo();
        std::filesystem::remove_all(m_dir.File("stream"));
        MakeStream(260, 100 + round);
        // Few distinct levels make many equal scores, so ties are exercised too.
        if (round >= 2) {
            for (uint8_t& b : m_fgp) b = static_cast<uint8_t>(b % (round == 2 ? 3 : 2) + 250 * (b & 1));
            std::filesystem::remove_all(m_info.folder);
            std::filesystem::create_directories(m_info.folder);
            WriteSyntheticStream(m_info.folder, m_fgp);
            UpdateStreamInfo(m_info);
        }
        std::uniform_int_distribution<StreamTime> when(1000, 180000);
        std::uniform_int_distribution<int> length(1, 600);
        for (int i = 0; i < 6; ++i) {
            const StreamTime claimed = SessionStart() + when(random);
            Description d = Track(claimed + 2000, claimed + 90000, "r");
            std::vector<uint8_t> snippet(size_t(length(random)));
            for (uint8_t& b : snippet) b = static_cast<uint8_t>(random() % 256);
            if (i % 2 == 0) {
                // A real snippet, disturbed a little.
                const size_t at = size_t(when(random) / 10);
                for (size_t k = 0; k < snippet.size() && at + k < m_fgp.size(); ++k)
                    snippet[k] = static_cast<uint8_t>(m_fgp[at + k] + (k % 7 == 0));
            }
            d.fingerprint = Base64Encode(snippet);
            d.fingerprintTime = claimed;
            int64_t fastShift = 0, refShift = 0;
            double fastScore = 0, refScore = 0;
            const bool fast = MatchFingerprint(m_info, d, 0, fastShift, fastScore);
            const bool ref = MatchFingerprintReference(m_info, d, 0, refShift, refScore);
            ASSERT_EQ(fast, ref) << round << "/" << i;
            EXPECT_EQ(fastShift, refShift) << round << "/" << i;
            EXPECT_EQ(fastScore, refScore) << round << "/" << i;
        }
    }
}

TEST_F(TimeshiftTest, ExtensionAndReadingChecks) {
    const std::string text = kHeader + Track(1000, 2000, "a").ToLine() + "\r\n";
    test::WriteFile(m_dir.File("list.txt"), text);
    EXPECT_FALSE(TimeShiftDescriptionFile(m_info, m_dir.File("list.txt"), 0));
    EXPECT_TRUE(Reported(kStrTimeShiftBadExtension));
    EXPECT_EQ(ShiftedDescriptionText(m_dir.File("list.txt"), 1), "");
    EXPECT_EQ(test::ReadFile(m_dir.File("list.txt")), text);
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("list.txttmp")));

    EXPECT_FALSE(TimeShiftDescriptionFile(m_info, m_dir.File("missing.des"), 0));
    EXPECT_TRUE(Reported(kStrTimeShiftDesMissing));
    EXPECT_FALSE(Reported(kStrTimeShiftTempDesNotCreated));

    // Any case passes, and the records are found under the name as it is spelt.
    test::WriteFile(m_dir.File("LIST.DES"), text);
    const int events = EventCount();
    EXPECT_EQ(ShiftedDescriptionText(m_dir.File("LIST.DES"), 1.0),
              kHeader + Track(2000, 3000, "a").ToLine() + "\r\n");
    ASSERT_TRUE(TimeShiftDescriptionFile(m_info, m_dir.File("LIST.DES"), 1.0));
    EXPECT_EQ(EventCount(), events);
    const auto records = ReadRecords(m_dir.File("LIST.DES"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].start, 0);
}

TEST_F(TimeshiftTest, ClockDifferenceOnlyWithoutFingerprints) {
    MakeStream(60);
    const StreamTime t = DateTime(2024, 3, 1, 12, 0, 10).ToStreamTime();
    Description flagged = Track(t + 200000, t + 260000, "b");
    flagged.notIdentified = true;
    // Header lines keep their own line ends, even a bare LF.
    const std::string header = "# 0.9\r\n# from elsewhere\n# x\r\n";
    const std::string path = m_dir.File("plain.des");
    WriteDescriptionFile(path, {Track(t, t + 180000, "a"), flagged}, header);

    const std::string moved = ShiftedDescriptionText(path, 2.0);
    EXPECT_EQ(moved.substr(0, header.size()), header);
    EXPECT_NE(moved.find(DateTime(2024, 3, 1, 12, 0, 12).LongText()), std::string::npos);

    ASSERT_TRUE(TimeShiftDescriptionFile(m_info, path, 2.0));
    const std::string text = test::ReadFile(path);
    EXPECT_EQ(text.substr(0, header.size()), header);
    const auto records = ReadRecords(path);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(DateTime::FromStreamTime(records[0].start).LongText(), "01/03/2024  12:00:08.000");
    EXPECT_EQ(records[0].end, t + 178000);
    EXPECT_EQ(records[1].start, t + 198000);
    EXPECT_FALSE(records[0].notIdentified);
    EXPECT_FALSE(records[1].notIdentified);
    EXPECT_FALSE(std::filesystem::exists(path + "tmp"));
}

TEST_F(TimeshiftTest, ClockDifferenceComesOffBeforeMatching) {
    MakeStream(300);
    const StreamTime s0 = SessionStart();
    // In the file's clock every time is 2 s late, and the descriptions
    // themselves 0.7 s late on top.
    std::vector<Description> records;
    for (int i = 0; i < 3; ++i) {
        const StreamTime truth = s0 + 70000 + i * 50000;
        Description d = Track(truth + 2700, truth + 40000 + 2700, "m" + std::to_string(i));
        AttachSnippet(d, m_fgp, truth + 3000, truth + 3000 + 2700);
        records.push_back(d);
    }
    // A fingerprint-free record moves with them.
    records.push_back(Track(s0 + 250000 + 2700, s0 + 260000 + 2700, "plain"));
    const std::string path = m_dir.File("drift.des");
    WriteDescriptionFile(path, records);

    ASSERT_TRUE(TimeShiftDescriptionFile(m_info, path, 2.0));
    const auto shifted = ReadRecords(path);
    ASSERT_EQ(shifted.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(shifted[i].start, s0 + 70000 + i * 50000) << i;
        EXPECT_EQ(shifted[i].fingerprintTime, s0 + 73000 + i * 50000) << i;
        EXPECT_FALSE(shifted[i].notIdentified);
    }
    EXPECT_EQ(shifted[3].start, s0 + 250000);
    EXPECT_EQ(shifted[3].end, s0 + 260000);
}

TEST_F(TimeshiftTest, FailuresLeaveTheFileAsItWas) {
    const std::string path = m_dir.File("keep.des");
    const std::string text = kHeader + Track(5000, 9000, "k").ToLine() + "\r\n";
    test::WriteFile(path, text);

    // The temporary file's name is taken by a folder.
    std::filesystem::create_directories(path + "tmp");
    EXPECT_FALSE(TimeShiftDescriptionFile(m_info, path, 1.0));
    EXPECT_TRUE(Reported(kStrTimeShiftTempDesNotCreated));
    EXPECT_EQ(test::ReadFile(path), text);
    std::filesystem::remove(path + "tmp");

    static const FileReplaceOps refuseDelete{
        [](const char*) { return -1; },
        [](const char* from, const char* to) { return std::rename(from, to); }};
    SetFileReplaceOps(&refuseDelete);
    EXPECT_FALSE(TimeShiftDescriptionFile(m_info, path, 1.0));
    EXPECT_TRUE(Reported(kStrTimeShiftDeleteDesFailed));
    EXPECT_EQ(test::ReadFile(path), text);
    EXPECT_EQ(ReadRecords(path + "tmp").at(0).start, 4000);
    std::filesystem::remove(path + "tmp");

    static const FileReplaceOps refuseRename{[](const char* p) { return std::remove(p); },
                                             [](const char*, const char*) { return -1; }};
    SetFileReplaceOps(&refuseRename);
    EXPECT_FALSE(TimeShiftDescriptionFile(m_info, path, 1.0));
    EXPECT_TRUE(Reported(kStrTimeShiftRenameBakFailed));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(ReadRecords(path + "tmp").at(0).start, 4000);
}

TEST_F(TimeshiftTest, WorkerMergesTheShiftedFileIntoTheDocument) {
    const StreamTime t = SessionStart();
    const std::string path = m_dir.File("incoming.des");
    WriteDescriptionFile(path, {Track(t + 5000, t + 60000, "new")});
    DescriptionStore document(m_dir.Path(), "desc");
    document.Add(Track(t + 1000, t + 50000, "old"));

    CTrackToStreamThread worker("", document, m_info, path, 1.0);
    ASSERT_EQ(worker.Create(), 0);
    worker.Start();
    ASSERT_TRUE(worker.WaitForEnd(10000));
    EXPECT_EQ(worker.ExitCode(), 0);
    ASSERT_EQ(document.Size(), 1u);
    EXPECT_EQ(document.Records()[0]->title, "new");
    EXPECT_EQ(document.Records()[0]->start, t + 4000);
    DescriptionStore saved(m_dir.Path(), "desc");
    saved.Load();
    ASSERT_EQ(saved.Size(), 1u);
    EXPECT_EQ(saved.Records()[0]->start, t + 4000);

    EXPECT_FALSE(CTrackToStreamThread::RunNow("", document, m_info, m_dir.File("x.txt"), 0));
    EXPECT_EQ(document.Size(), 1u);
}

// Generator music recorded through a real session: the snippets cut from
// the recording's own side files must bring a late file back to the truth.
TEST_F(TimeshiftTest, RecordedMusicIsMatched) {
    constexpr uint32_t kSeed = 5;
    constexpr int kRate = 44100;
    constexpr int64_t kSeconds = 240;
    const GeneratorTiming timing{20, 35, 1, 2};
    m_info.folder = m_dir.File("radio");
    std::filesystem::create_directories(m_info.folder);
    {
        RecordingSession session;
        auto device = std::make_unique<CaptureDeviceGenerator>(kSeed, false, timing);
        device->SetFrameLimit(kSeconds * kRate);
        session.SetDevice(std::move(device));
        session.Configure(kEngineLame, 64, 3, kChunkSeconds,
                          FolderFile(m_info.folder, ChunkSessionName(kSessionStart, 3600, kChunkSeconds)));
        session.Open();
        session.Start();
        for (int i = 0; i < 60000 && !session.HasEndedByItself(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(session.HasEndedByItself());
        session.Stop();
        session.Close();
    }
    UpdateStreamInfo(m_info);
    ASSERT_EQ(m_info.sessions.size(), 1u);
    const StreamTime s0 = SessionStart();
    std::vector<uint8_t> fgp(size_t(kSeconds) * 100);
    ASSERT_EQ(ReadSideBytes(m_info, s0, fgp.data(), int(fgp.size())), int(fgp.size()));

    // The file is in server time, 5 s ahead, and its descriptions 2.37 s late.
    constexpr StreamTime kLate = 2370;
    constexpr double kClockDifference = 5.0;
    const StreamTime moved = kLate + 5000;
    std::vector<StreamTime> truth;
    std::vector<Description> agreeing, disagreeing;
    for (const GeneratedTrack& track : CaptureDeviceGenerator::Layout(kSeed, kRate, kSeconds * kRate, timing)) {
        if (track.pause || track.endFrame > kSeconds * kRate) continue;
        const StreamTime start = s0 + track.startFrame * 1000 / kRate;
        const StreamTime end = s0 + track.endFrame * 1000 / kRate;
        // Across the pause into the track: inside it the looped phrase
        // repeats its loudness every few seconds.
        const StreamTime lead = std::max(s0, start - 1000);
        const StreamTime snippet = lead - (lead - s0) % 10;
        Description d = Track(start + moved, end + moved, "track " + std::to_string(track.number));
        AttachSnippet(d, fgp, snippet, snippet + moved);
        agreeing.push_back(d);
        truth.push_back(start);
        // Each record late by its own amount, 7 s apart.
        const StreamTime own = 5000 + 7000 * (track.number % 5) - 14000;
        Description odd = Track(start + own, end + own, d.title);
        AttachSnippet(odd, fgp, snippet, snippet + own);
        disagreeing.push_back(odd);
    }
    ASSERT_GE(truth.size(), 5u);

    const std::string path = m_dir.File("server.des");
    WriteDescriptionFile(path, agreeing);
    ASSERT_TRUE(TimeShiftDescriptionFile(m_info, path, kClockDifference));
    const auto shifted = ReadRecords(path);
    ASSERT_EQ(shifted.size(), truth.size());
    for (size_t i = 0; i < truth.size(); ++i) {
        EXPECT_NEAR(double(shifted[i].start), double(truth[i]), 20.0) << shifted[i].title;
        EXPECT_FALSE(shifted[i].notIdentified);
    }

    const std::string oddPath = m_dir.File("odd.des");
    WriteDescriptionFile(oddPath, disagreeing);
    ASSERT_TRUE(TimeShiftDescriptionFile(m_info, oddPath, kClockDifference));
    const auto flagged = ReadRecords(oddPath);
    ASSERT_EQ(flagged.size(), disagreeing.size());
    for (size_t i = 0; i < flagged.size(); ++i) {
        EXPECT_TRUE(flagged[i].notIdentified);
        EXPECT_EQ(flagged[i].start, disagreeing[i].start - 5000);
        EXPECT_EQ(flagged[i].fingerprintTime, disagreeing[i].fingerprintTime - 5000);
    }
    const auto events = EventLog::Instance().ReadLines();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const std::string& line) {
        return line.find("could not be successfully identified") != std::string::npos;
    }));
}

}  // namespace
}  // namespace wk
