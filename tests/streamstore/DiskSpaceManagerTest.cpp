#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "streamstore/ChunkName.h"
#include "streamstore/DiskSpaceManager.h"
#include "streamstore/StreamNameFile.h"
#include "support/SleeperClock.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint64_t kMiB = DiskSpaceManager::kMiB;
constexpr uint64_t kLotsFree = uint64_t{1} << 40;

class MessageCounter : public MessageReceiver {
public:
    void HandleMessage(Message& m) override {
        ++(m.id == DiskSpaceManager::kMsgDiskSpaceFreed && m.p1 == 0 && m.p2 == 0 ? m_freed
                                                                                  : m_other);
    }
    int m_freed = 0;
    int m_other = 0;
};

// "2003_11_<day>_10_00_00_3600_300_<n>.<ext>": one session per day.
std::string ChunkFileName(int day, int number, const char* ext = "mp3") {
    char name[64];
    std::snprintf(name, sizeof name, "2003_11_%02d_10_00_00_3600_300_%d.%s", day, number, ext);
    return name;
}

std::string SessionOf(int day) {
    return ChunkFileName(day, 0).substr(0, 28);
}

std::string DiskSpaceLine(int mib) {
    return "DiskSpace=" + std::to_string(mib) + "\n";
}

// A chunk of stream 'A' or 'B' in the fixtures below.
struct Chunk {
    char stream;
    int day, number;
    uint64_t mib = 0;
    bool ogg = false;
    std::string Name() const { return ChunkFileName(day, number, ogg ? "ogg" : "mp3"); }
};

class DiskSpaceManagerTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        SetClock(&m_clock);
        SetCurrentSessionPrefix("");
        m_root = HomeFile("Streams/");
        fs::create_directories(m_root);
        WriteConfig("DiskSpace=100\n");
    }
    void TearDown() override {
        SetCurrentSessionPrefix("");
        SetClock(nullptr);
        TempHomeTest::TearDown();
    }
    void WriteConfig(const std::string& extraLines) {
        test::WriteFile(ConfigStore::FilePath(), "StreamPath=" + m_root + "\n" + extraLines);
    }
    // Empties the stream root and the event log.
    void Clean() {
        fs::remove_all(m_root);
        EventLog::Instance().Close();
        fs::remove(HomeFile("events.txt"));
    }
    std::string ConfigText() const { return test::ReadFile(ConfigStore::FilePath()); }
    // A sparse file of `bytes`, one second newer than the file made before, so
    // that its age is its place in the making order whichever time the file
    // system reports.
    void MakeFile(const std::string& path, uint64_t bytes) {
        fs::create_directories(fs::path(path).parent_path());
        { std::ofstream touch(path, std::ios::binary); }
        fs::resize_file(path, bytes);
        const timespec times[2] = {{m_nextSecond, 0}, {m_nextSecond, 0}};
        ++m_nextSecond;
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    }
    // An audio chunk with a 1 MiB ".dat" and a ".fgp" side file.
    void MakeChunk(const std::string& stream, const std::string& name, uint64_t mib) {
        const std::string base = m_root + stream + "/" + name.substr(0, name.size() - 4);
        MakeFile(m_root + stream + "/" + name, mib * kMiB);
        MakeFile(base + ".dat", kMiB);
        MakeFile(base + ".fgp", 4096);
    }
    std::set<std::string> FilesIn(const std::string& stream) const {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(m_root + stream, ec))
            names.insert(entry.path().filename());
        return names;
    }
    static std::set<std::string> WithSideFiles(const std::vector<std::string>& chunks) {
        std::set<std::string> names;
        for (const std::string& chunk : chunks)
            for (const char* ext : {"", ".dat", ".fgp"})
                names.insert(*ext ? chunk.substr(0, chunk.size() - 4) + ext : chunk);
        return names;
    }
    int Events(const std::string& text) const {
        int count = 0;
        for (const std::string& line : EventLog::Instance().ReadLines())
            count += line.find(text) != std::string::npos;
        return count;
    }
    void WriteStreamList(const std::vector<std::string>& names) {
        std::string text;
        for (const std::string& name : names)
            text += name + "\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n";
        test::WriteFile(m_root + StreamNameFile::kFileName, text);
    }
    static DiskSpaceManager::FreeSpaceFunction FreeBytes(std::optional<uint64_t> bytes) {
        return [bytes](const std::string&) { return bytes; };
    }

    test::SleeperClock m_clock;
    std::string m_root;
    time_t m_nextSecond = 1'000'000'000;
};

TEST_F(DiskSpaceManagerTest, CheckDeletesOldestSessionsFirstUntilATenthOfTheAllowanceIsFree) {
    struct Case {
        const char* title;
        std::vector<Chunk> files;  // made in this order, oldest first
        std::vector<Chunk> kept;
        uint64_t freedMib;
    };
    const std::vector<Case> cases = {
        // Stream B holds .ogg chunks: they are counted and pruned alike. The
        // order within and across sessions (.mp3 before .ogg, the session
        // being recorded last) is DeletionOrder's, tested below.
        {"two streams: 130 of 100 MiB frees 40, session by session from chunk 1",
         {{'A', 1, 1, 10},
          {'A', 1, 2, 10},
          {'B', 2, 1, 10, true},
          {'B', 2, 2, 10, true},
          {'B', 2, 3, 10, true},
          {'A', 3, 1, 40},
          {'B', 4, 1, 40, true}},
         {{'B', 2, 3, 0, true}, {'A', 3, 1}, {'B', 4, 1, 0, true}},
         40},
        {"within the allowance nothing goes",
         {{'A', 1, 1, 60}, {'A', 1, 2, 30}},
         {{'A', 1, 1}, {'A', 1, 2}},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        Clean();
        uint64_t usedMib = 0;
        for (const Chunk& f : c.files)
            MakeChunk(std::string(1, f.stream), f.Name(), f.mib), usedMib += f.mib;
        // Neither other files nor sub-folders count or go.
        MakeFile(m_root + "A/notes.txt", 7 * kMiB);
        fs::create_directories(m_root + "B/old.mp3");
        EventLoop loop(&m_clock);
        MessageCounter counter;
        ReceiverSlot slot(loop, &counter);
        DiskSpaceManager manager(m_root);
        manager.SetFreeSpaceFunction(FreeBytes(kLotsFree));
        manager.SetNotifyReceiver(&loop, slot.Id());
        const DiskCheckResult result = manager.CheckOnce({"A", "B"});
        EXPECT_EQ(result.usage.used, usedMib * kMiB);
        EXPECT_EQ(result.usage.allowance, 100 * kMiB);
        EXPECT_EQ(result.wanted, usedMib > 100 ? (usedMib - 90) * kMiB : 0);
        EXPECT_EQ(result.freed, c.freedMib * kMiB);
        for (const char stream : {'A', 'B'}) {
            std::vector<std::string> kept;
            for (const Chunk& f : c.kept)
                if (f.stream == stream) kept.push_back(f.Name());
            std::set<std::string> expected = WithSideFiles(kept);
            expected.insert(stream == 'A' ? "notes.txt" : "old.mp3");
            EXPECT_EQ(FilesIn(std::string(1, stream)), expected) << stream;
        }
        loop.ProcessPending();
        EXPECT_EQ(counter.m_freed, c.freedMib > 0 ? 1 : 0);
        EXPECT_EQ(counter.m_other, 0);
        EXPECT_EQ(Events("Error: Disk space reduced!"), 0);
        EXPECT_EQ(result.reducedAllowanceMb, 0);
    }
}

// The newest chunk of the session being recorded stays whatever the
// allowance: the event about it comes once, and again only after a check
// met the allowance.
TEST_F(DiskSpaceManagerTest, AnAllowanceOutOfReachIsReportedOnceUntilMet) {
    SetCurrentSessionPrefix(SessionOf(1));
    DiskSpaceManager manager(m_root);
    manager.SetFreeSpaceFunction(FreeBytes(kLotsFree));
    std::vector<bool> met;
    manager.SetCheckObserver([&met](const DiskCheckResult& r) { met.push_back(r.Met()); });
    MakeChunk("A", ChunkFileName(1, 1), 150);
    // The size of chunk 1 of the recording, the events about it so far.
    for (const auto& [newestMib, events] : {std::pair{150, 1}, {150, 1}, {50, 1}, {150, 2}}) {
        fs::resize_file(m_root + "A/" + ChunkFileName(1, 1), newestMib * kMiB);
        const DiskCheckResult result = manager.CheckOnce({"A"});
        EXPECT_EQ(result.freed, 0u);
        EXPECT_EQ(result.Met(), newestMib <= 100);
        EXPECT_EQ(Events("only the chunks being recorded are left"), events) << newestMib;
        ASSERT_TRUE(manager.LastCheck());
        EXPECT_EQ(manager.LastCheck()->Met(), result.Met());
    }
    EXPECT_EQ(met, (std::vector<bool>{false, false, true, false}));
    EXPECT_EQ(FilesIn("A"), WithSideFiles({ChunkFileName(1, 1)}));
}

TEST_F(DiskSpaceManagerTest, MissingOrUnusableAllowanceBecomesTheDefaultAndIsStoredByACheckOnly) {
    WriteConfig("");
    EXPECT_EQ(DiskSpaceManager::MeasureDiskUsage(m_root, {"A"}, FreeBytes(5)).allowance,
              100 * kMiB);
    EXPECT_THAT(ConfigText(), Not(HasSubstr("DiskSpace")));  // measuring writes nothing
    const std::pair<const char*, int> cases[] = {{"", 100},
                                                 {"DiskSpace=0\n", 100},
                                                 {"DiskSpace=-5\n", 100},
                                                 {"DiskSpace=lots\n", 100},
                                                 {"DiskSpace=250\n", 250}};
    for (const auto& [line, mib] : cases) {
        WriteConfig(line);
        DiskSpaceManager manager(m_root);
        manager.SetFreeSpaceFunction(FreeBytes(kLotsFree));
        EXPECT_EQ(manager.CheckOnce({"A"}).usage.allowance, mib * kMiB) << line;
        EXPECT_THAT(ConfigText(), HasSubstr(DiskSpaceLine(mib))) << line;
    }
}

TEST_F(DiskSpaceManagerTest, AllowanceShrinksToWhatTheDiskCanHold) {
    // MiB used, MiB free (none: unknown), "DiskSpace" before and after, MiB freed
    const std::tuple<uint64_t, std::optional<uint64_t>, int, int, uint64_t> cases[] = {
        {50, 60, 100, 80, 0},  // 110 - 20 < 100: 110 - 30
        {50, 69, 100, 89, 0},
        {50, 70, 100, 100, 0},            // exactly 20 MiB of room left: unchanged
        {110, 0, 100, 80, 20},            // deletes, and judges the room as first measured
        {5, 10, 100, 1, 0},               // less than 30 MiB in all: the 1 MiB floor
        {0, 0, 1, 1, 0},                  // already at the floor: no new event
        {50, std::nullopt, 100, 100, 0},  // unknown free space is not "none"
    };
    for (const auto& [usedMib, freeMib, before, after, freedMib] : cases) {
        SCOPED_TRACE(::testing::Message() << usedMib << " MiB used, allowance " << before);
        Clean();
        WriteConfig(DiskSpaceLine(before));
        int day = 1;
        for (uint64_t left = usedMib; left > 0; left -= std::min<uint64_t>(left, 10))
            MakeChunk("A", ChunkFileName(day++, 1), std::min<uint64_t>(left, 10));
        DiskSpaceManager manager(m_root);
        manager.SetFreeSpaceFunction(
            FreeBytes(freeMib ? std::optional(*freeMib * kMiB) : std::nullopt));
        const DiskCheckResult result = manager.CheckOnce({"A"});
        EXPECT_EQ(result.reducedAllowanceMb, after != before ? after : 0);
        EXPECT_THAT(ConfigText(), HasSubstr(DiskSpaceLine(after)));
        EXPECT_EQ(Events("Error: Disk space reduced!"), after != before ? 1 : 0);
        EXPECT_EQ(result.freed, freedMib * kMiB);
    }
}

TEST_F(DiskSpaceManagerTest, UsedSpaceCountsOnlyTheAudioChunksOfEachStreamFolderOnce) {
    MakeChunk("A", "x.mp3", 3);  // its 1 MiB side file does not count
    MakeFile(m_root + "A/y.ogg", 2 * kMiB);
    for (const char* other : {"A/readme.txt", "A/z.MP3", "A/.mp3", "A/sub.mp3/deep.mp3"})
        MakeFile(m_root + other, 9 * kMiB);
    fs::create_symlink(m_root + "A/x.mp3", m_root + "A/link.mp3");
    MakeFile(m_root + "B/z.ogg", 5 * kMiB);
    MakeFile(m_root + "top.mp3", 50 * kMiB);
    MakeFile(HomeFile("outside.mp3"), 64 * kMiB);  // what ".." would reach
    const std::vector<std::string> names = {"A", "B", "A", "..", ".", "", "Missing"};
    const DiskUsage usage = DiskSpaceManager::MeasureDiskUsage(m_root, names, FreeBytes(123));
    EXPECT_EQ(usage.used, 10 * kMiB);
    EXPECT_EQ(usage.free, 123u);
    EXPECT_TRUE(usage.freeKnown);
    // The root given without its trailing slash reaches the same folders.
    EXPECT_EQ(DiskSpaceManager::MeasureUsedSpace(m_root.substr(0, m_root.size() - 1), names),
              10 * kMiB);
    EXPECT_TRUE(DiskSpaceManager::SystemFreeSpace(m_root).has_value());
    EXPECT_FALSE(DiskSpaceManager::SystemFreeSpace(m_root + "Missing/").has_value());
}

// The order of deletion, with ages the file system could not give.
TEST(DiskSpaceDeletionOrderTest, SessionsGoByTheirOldestFileThenMp3BeforeOggByAge) {
    const std::string s1 = ChunkFileName(1, 0).substr(0, 29),
                      s2 = ChunkFileName(2, 0).substr(0, 29),
                      s3 = ChunkFileName(3, 0).substr(0, 29);
    struct Case {
        const char* title;
        std::vector<ChunkFile> files;       // stream, name, size, age
        std::string recorded;               // in stream 0
        std::vector<std::string> expected;  // "stream:name"
    };
    const std::vector<Case> cases = {
        {"age decides across streams, not the name",
         {{0, s2 + "1.mp3", 1, 100}, {1, s1 + "1.mp3", 1, 200}, {0, s2 + "2.mp3", 1, 300}},
         "",
         {"0:" + s2 + "1.mp3", "0:" + s2 + "2.mp3", "1:" + s1 + "1.mp3"}},
        {"a session stays together even when another's files are older than its later ones",
         {{0, s1 + "1.mp3", 1, 10},
          {1, s2 + "1.mp3", 1, 20},
          {0, s1 + "2.mp3", 1, 30},
          {1, s2 + "2.mp3", 1, 40}},
         "",
         {"0:" + s1 + "1.mp3", "0:" + s1 + "2.mp3", "1:" + s2 + "1.mp3", "1:" + s2 + "2.mp3"}},
        {"an old .ogg places its session but goes after the session's .mp3",
         {{0, s2 + "1.mp3", 1, 50},
          {1, s3 + "1.ogg", 1, 10},
          {1, s3 + "2.mp3", 1, 90},
          {1, s3 + "1.mp3", 1, 80}},
         "",
         {"1:" + s3 + "1.mp3", "1:" + s3 + "2.mp3", "1:" + s3 + "1.ogg", "0:" + s2 + "1.mp3"}},
        {"equal ages go by name with numbers by value, the same session in two streams by stream",
         {{1, s1 + "2.mp3", 1, 7},
          {1, s1 + "10.mp3", 1, 7},
          {0, s1 + "1.mp3", 1, 7},
          {1, s1 + "1.mp3", 1, 7}},
         "",
         {"0:" + s1 + "1.mp3", "1:" + s1 + "1.mp3", "1:" + s1 + "2.mp3", "1:" + s1 + "10.mp3"}},
        {"the session being recorded goes last, by age, without its highest number",
         {{0, s1 + "1.mp3", 1, 1},
          {0, s2 + "1.mp3", 1, 2},
          {0, s1 + "3.mp3", 1, 3},
          {1, s1 + "1.mp3", 1, 4},
          {0, s1 + "2.mp3", 1, 5}},
         SessionOf(1),
         {"0:" + s2 + "1.mp3", "1:" + s1 + "1.mp3", "0:" + s1 + "1.mp3", "0:" + s1 + "2.mp3"}},
        {"names shorter than a session key are sessions of their own",
         {{0, "b.mp3", 1, 5}, {0, "a.ogg", 1, 5}, {0, s1 + "1.mp3", 1, 6}},
         "",
         {"0:a.ogg", "0:b.mp3", "0:" + s1 + "1.mp3"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> order;
        for (const ChunkFile& f : DiskSpaceManager::DeletionOrder(c.files, {c.recorded}))
            order.push_back(std::to_string(f.stream) + ":" + f.name);
        EXPECT_THAT(order, ElementsAreArray(c.expected)) << c.title;
    }
}

TEST_F(DiskSpaceManagerTest, ThreadChecksEveryThreeMinutesOfClockTimeAfterStart) {
    constexpr int64_t kPeriod = DiskSpaceManager::kCheckPeriodMs;
    WriteStreamList({"A"});
    for (int n = 1; n <= 3; ++n) MakeChunk("A", ChunkFileName(1, n), 10);
    std::vector<std::string> after;
    for (int n = 1; n <= 10; ++n) {
        MakeChunk("A", ChunkFileName(2, n), 10);
        if (n > 1) after.push_back(ChunkFileName(2, n));
    }
    const std::set<std::string> before = FilesIn("A");
    { DiskSpaceManager idle(m_root); }  // never started: ends at once
    EventLoop loop(&m_clock);
    MessageCounter counter;
    ReceiverSlot slot(loop, &counter);
    DiskSpaceManager manager(m_root);
    manager.SetFreeSpaceFunction(FreeBytes(kLotsFree));
    manager.SetNotifyReceiver(&loop, slot.Id());
    m_clock.Advance(10 * kPeriod);  // time before Start does not count
    manager.Start();
    // Each step: the clock moved while the thread slept, the checks done by the
    // time it sleeps again. A second Start does not restart the period; a
    // jump over several periods makes one check, not a burst, and the rhythm
    // restarts from there.
    const std::pair<int64_t, uint64_t> steps[] = {
        {kPeriod - 1, 0}, {1, 1}, {kPeriod, 2}, {5 * kPeriod + 500, 3}, {kPeriod - 1, 3}, {1, 4}};
    for (size_t i = 0; i < std::size(steps); ++i) {
        if (i == 1) manager.Start();
        ASSERT_TRUE(m_clock.AdvanceWhenAsleep(steps[i].first));
        ASSERT_TRUE(m_clock.WaitAsleep());
        EXPECT_EQ(manager.ChecksDone(), steps[i].second) << i;
        EXPECT_EQ(FilesIn("A"), i == 0 ? before : WithSideFiles(after))
            << i;  // 130 of 100 MiB: 40 freed
    }
    // Stop wakes the sleeping thread; the clock never reaches the next check.
    manager.Stop();
    EXPECT_EQ(manager.ChecksDone(), 4u);
    loop.ProcessPending();
    EXPECT_EQ(counter.m_freed, 1);
}

TEST_F(DiskSpaceManagerTest, ThreadKeepsTheRootAndStreamListItHadAtStart) {
    WriteStreamList({"A"});
    MakeChunk("A", ChunkFileName(1, 1), 60);
    MakeChunk("A", ChunkFileName(2, 1), 60);
    const std::string otherRoot = HomeFile("Elsewhere/");
    fs::create_directories(otherRoot);
    DiskSpaceManager manager(otherRoot);
    manager.SetFreeSpaceFunction(FreeBytes(kLotsFree));
    manager.SetStreamRoot(m_root);  // before Start: the thread uses it
    manager.Start();
    ASSERT_TRUE(m_clock.WaitAsleep());
    manager.SetStreamRoot(otherRoot);  // after Start: only CheckOnce sees it
    WriteStreamList({"A", "B"});       // read once, at Start
    MakeChunk("B", ChunkFileName(3, 1), 200);
    ASSERT_TRUE(m_clock.AdvanceWhenAsleep(DiskSpaceManager::kCheckPeriodMs));
    ASSERT_TRUE(m_clock.WaitAsleep());
    manager.Stop();
    EXPECT_EQ(manager.ChecksDone(), 1u);
    EXPECT_EQ(FilesIn("A"), WithSideFiles({ChunkFileName(2, 1)}));
    EXPECT_EQ(FilesIn("B"), WithSideFiles({ChunkFileName(3, 1)}));
    EXPECT_EQ(manager.StreamRoot(), otherRoot);
}

}  // namespace
}  // namespace wk
