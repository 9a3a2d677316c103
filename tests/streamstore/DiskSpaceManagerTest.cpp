#include "streamstore/DiskSpaceManager.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gmock/gmock.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/EventLoop.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamNameFile.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint64_t kMiB = DiskSpaceManager::kMiB;
constexpr uint64_t kLotsFree = uint64_t{1} << 40;

// A ManualClock that shows who sleeps on it. The test moves the clock only
// while the worker sleeps: an advance falling between the worker reading the
// time and starting to sleep would make it sleep from the later time and miss
// its moment.
class SleeperClock : public ManualClock {
public:
    bool SleepFor(int64_t ms, const std::atomic<int>* cancel) override {
        std::unique_lock lock(m_mutex);
        const auto it = m_sleepers.insert(Ticks() + std::max<int64_t>(ms, 0));
        m_changed.notify_all();
        bool passed = true;
        while (Ticks() < *it) {
            if (cancel != nullptr && cancel->load() != 0) {
                passed = false;
                break;
            }
            m_changed.wait_for(lock, std::chrono::milliseconds(1));
        }
        m_sleepers.erase(it);
        m_changed.notify_all();
        return passed;
    }

    void WakeSleepers() override {
        std::lock_guard lock(m_mutex);
        m_changed.notify_all();
    }

    // Waits until a thread sleeps towards a time not yet reached; false after
    // ten seconds of real time (a hung worker).
    bool WaitAsleep() {
        std::unique_lock lock(m_mutex);
        return WaitAsleepLocked(lock);
    }

    bool AdvanceWhenAsleep(int64_t ms) {
        std::unique_lock lock(m_mutex);
        if (!WaitAsleepLocked(lock)) return false;
        Advance(ms);
        m_changed.notify_all();
        return true;
    }

private:
    bool WaitAsleepLocked(std::unique_lock<std::mutex>& lock) {
        return m_changed.wait_for(lock, std::chrono::seconds(10), [this] {
            return !m_sleepers.empty() && *m_sleepers.rbegin() > Ticks();
        });
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::multiset<int64_t> m_sleepers;
};

class MessageCounter : public MessageReceiver {
public:
    void HandleMessage(Message& message) override {
        if (message.id == DiskSpaceManager::kMsgDiskSpaceFreed && message.p1 == 0 && message.p2 == 0) ++m_freed;
        else ++m_other;
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
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "2003_11_%02d_10_00_00_3600_300", day);
    return prefix;
}

std::string DiskSpaceLine(int mib) {
    std::string line = "DiskSpace=";
    line += std::to_string(mib);
    line += '\n';
    return line;
}

struct FixtureFile {
    std::string stream;
    std::string name;
    uint64_t mib;
};

class DiskSpaceManagerTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        SetClock(&m_clock);
        EventLog::Instance().Close();
        SetCurrentSessionPrefix("");
        m_root = HomeFile("Streams/");
        fs::create_directories(m_root);
        WriteConfig("DiskSpace=100\n");
    }

    void TearDown() override {
        EventLog::Instance().Close();
        SetCurrentSessionPrefix("");
        SetClock(nullptr);
        TempHomeTest::TearDown();
    }

    void WriteConfig(const std::string& extraLines) {
        std::string text = "StreamPath=";
        text += m_root;
        text += '\n';
        text += extraLines;
        test::WriteFile(ConfigStore::FilePath(), text);
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
        for (const auto& entry : fs::directory_iterator(m_root + stream, ec)) names.insert(entry.path().filename());
        return names;
    }

    static std::set<std::string> WithSideFiles(const std::vector<std::string>& chunks) {
        std::set<std::string> names;
        for (const std::string& chunk : chunks) {
            const std::string base = chunk.substr(0, chunk.size() - 4);
            names.insert(chunk);
            names.insert(base + ".dat");
            names.insert(base + ".fgp");
        }
        return names;
    }

    int ReducedEvents() const {
        int count = 0;
        for (const std::string& line : EventLog::Instance().ReadLines())
            if (line.ends_with("Error: Disk space reduced!")) ++count;
        return count;
    }

    void WriteStreamList(const std::vector<std::string>& names) {
        std::string text;
        for (const std::string& name : names) {
            text += name;
            text += "\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n";
        }
        test::WriteFile(m_root + StreamNameFile::kFileName, text);
    }

    static DiskSpaceManager::FreeSpaceFunction FreeBytes(std::optional<uint64_t> bytes) {
        return [bytes](const std::string&) { return bytes; };
    }

    SleeperClock m_clock;
    std::string m_root;
    time_t m_nextSecond = 1'000'000'000;
};

// --- Which chunks a check deletes ------------------------------------------

struct PruneCase {
    const char* title;
    std::vector<FixtureFile> files;  // made in this order, oldest first
    std::string recording;           // the current session prefix
    std::vector<FixtureFile> kept;   // chunks left, per stream (mib unused)
    uint64_t freedMib;
};

TEST_F(DiskSpaceManagerTest, CheckDeletesOldestSessionsFirstUntilATenthOfTheAllowanceIsFree) {
    const std::vector<PruneCase> cases = {
        {"two streams: 120 of 100 MiB frees 30, session by session from chunk 1",
         {{"A", ChunkFileName(1, 1), 5}, {"A", ChunkFileName(1, 2), 5}, {"A", ChunkFileName(1, 3), 5},
          {"B", ChunkFileName(2, 1), 5}, {"B", ChunkFileName(2, 2), 5}, {"B", ChunkFileName(2, 3), 5},
          {"B", ChunkFileName(2, 4), 5}, {"A", ChunkFileName(3, 1), 10}, {"A", ChunkFileName(3, 2), 10},
          {"A", ChunkFileName(3, 3), 10}, {"A", ChunkFileName(3, 4), 10}, {"B", ChunkFileName(4, 1), 15},
          {"B", ChunkFileName(4, 2), 15}, {"B", ChunkFileName(4, 3), 15}},
         "",
         {{"A", ChunkFileName(3, 1), 0}, {"A", ChunkFileName(3, 2), 0}, {"A", ChunkFileName(3, 3), 0},
          {"A", ChunkFileName(3, 4), 0}, {"B", ChunkFileName(2, 4), 0}, {"B", ChunkFileName(4, 1), 0},
          {"B", ChunkFileName(4, 2), 0}, {"B", ChunkFileName(4, 3), 0}},
         30},
        {"a folder of .ogg chunks is pruned alike",
         {{"A", ChunkFileName(1, 1, "ogg"), 10}, {"A", ChunkFileName(1, 2, "ogg"), 10},
          {"A", ChunkFileName(2, 1, "ogg"), 10}, {"A", ChunkFileName(2, 2, "ogg"), 10},
          {"A", ChunkFileName(2, 3, "ogg"), 10}, {"A", ChunkFileName(3, 1, "ogg"), 70}},
         "",
         {{"A", ChunkFileName(2, 2, "ogg"), 0}, {"A", ChunkFileName(2, 3, "ogg"), 0},
          {"A", ChunkFileName(3, 1, "ogg"), 0}},
         30},
        {"a session's .mp3 chunks go before its .ogg ones, however old",
         {{"A", ChunkFileName(1, 3, "ogg"), 10}, {"A", ChunkFileName(1, 1), 10}, {"A", ChunkFileName(1, 2), 10},
          {"A", ChunkFileName(2, 1), 80}},
         "",
         {{"A", ChunkFileName(1, 3, "ogg"), 0}, {"A", ChunkFileName(2, 1), 0}},
         20},
        {"older sessions go before the session being recorded",
         {{"A", ChunkFileName(1, 1), 10}, {"A", ChunkFileName(1, 2), 10}, {"A", ChunkFileName(1, 3), 10},
          {"A", ChunkFileName(2, 1), 10}, {"A", ChunkFileName(2, 2), 10}, {"A", ChunkFileName(2, 3), 10},
          {"B", ChunkFileName(3, 1), 60}},
         SessionOf(1),
         {{"A", ChunkFileName(1, 1), 0}, {"A", ChunkFileName(1, 2), 0}, {"A", ChunkFileName(1, 3), 0},
          {"B", ChunkFileName(3, 1), 0}},
         30},
        {"then the finished chunks of the session being recorded, never its newest",
         {{"A", ChunkFileName(2, 1), 10}, {"A", ChunkFileName(1, 1), 40}, {"A", ChunkFileName(1, 2), 10},
          {"A", ChunkFileName(1, 3), 60}},
         SessionOf(1),
         {{"A", ChunkFileName(1, 2), 0}, {"A", ChunkFileName(1, 3), 0}},
         50},
    };
    for (const PruneCase& c : cases) {
        SCOPED_TRACE(c.title);
        fs::remove_all(m_root);
        EventLog::Instance().Close();
        fs::remove(HomeFile("events.txt"));
        for (const FixtureFile& f : c.files) MakeChunk(f.stream, f.name, f.mib);
        // Neither other files nor sub-folders count or go.
        MakeFile(m_root + "A/notes.txt", 7 * kMiB);
        fs::create_directories(m_root + "B/old.mp3");
        SetCurrentSessionPrefix(c.recording);

        EventLoop loop(&m_clock);
        MessageCounter counter;
        ReceiverSlot slot(loop, &counter);
        DiskSpaceManager manager(m_root);
        manager.SetFreeSpaceFunction(FreeBytes(kLotsFree));
        manager.SetNotifyReceiver(&loop, slot.Id());
        uint64_t usedMib = 0;
        for (const FixtureFile& f : c.files) usedMib += f.mib;

        const DiskCheckResult result = manager.CheckOnce({"A", "B"});

        EXPECT_EQ(result.usage.used, usedMib * kMiB);
        EXPECT_EQ(result.usage.allowance, 100 * kMiB);
        EXPECT_EQ(result.wanted, (usedMib - 90) * kMiB);
        EXPECT_EQ(result.freed, c.freedMib * kMiB);
        for (const char* stream : {"A", "B"}) {
            std::vector<std::string> kept;
            for (const FixtureFile& f : c.kept)
                if (f.stream == stream) kept.push_back(f.name);
            std::set<std::string> expected = WithSideFiles(kept);
            if (std::string(stream) == "A") expected.insert("notes.txt");
            if (std::string(stream) == "B") expected.insert("old.mp3");
            EXPECT_EQ(FilesIn(stream), expected) << stream;
        }
        loop.ProcessPending();
        EXPECT_EQ(counter.m_freed, c.freedMib > 0 ? 1 : 0);
        EXPECT_EQ(counter.m_other, 0);
        EXPECT_EQ(ReducedEvents(), 0);
        EXPECT_EQ(result.reducedAllowanceMb, 0);
    }
}

// The newest chunk of the session being recorded stays whatever the
// allowance: the event about it comes once, and again only after a check
// met the allowance.
TEST_F(DiskSpaceManagerTest, AnAllowanceOutOfReachIsReportedOnceUntilMet) {
    const auto unmetEvents = [] {
        int count = 0;
        for (const std::string& line : EventLog::Instance().ReadLines())
            if (line.find("only the chunks being recorded are left") != std::string::npos) ++count;
        return count;
    };
    SetCurrentSessionPrefix(SessionOf(1));
    DiskSpaceManager manager(m_root);
    manager.SetFreeSpaceFunction(FreeBytes(kLotsFree));
    std::vector<bool> met;
    manager.SetCheckObserver([&met](const DiskCheckResult& r) { met.push_back(r.Met()); });
    MakeChunk("A", ChunkFileName(1, 1), 150);
    const struct {
        uint64_t newestMib;  // chunk 1 of the recording, resized
        int events;
    } checks[] = {{150, 1}, {150, 1}, {50, 1}, {150, 2}};
    for (const auto& c : checks) {
        fs::resize_file(m_root + "A/" + ChunkFileName(1, 1), c.newestMib * kMiB);
        const DiskCheckResult result = manager.CheckOnce({"A"});
        EXPECT_EQ(result.freed, 0u);
        EXPECT_EQ(result.Met(), c.newestMib <= 100);
        EXPECT_EQ(unmetEvents(), c.events) << c.newestMib;
        ASSERT_TRUE(manager.LastCheck());
        EXPECT_EQ(manager.LastCheck()->Met(), result.Met());
    }
    EXPECT_EQ(met, (std::vector<bool>{false, false, true, false}));
    EXPECT_EQ(FilesIn("A"), WithSideFiles({ChunkFileName(1, 1)}));
}

TEST_F(DiskSpaceManagerTest, CheckWithinTheAllowanceDeletesNothing) {
    MakeChunk("A", ChunkFileName(1, 1), 60);
    MakeChunk("A", ChunkFileName(1, 2), 40);
    DiskSpaceManager manager(m_root);
    manager.SetFreeSpaceFunction(FreeBytes(kLotsFree));
    const DiskCheckResult result = manager.CheckOnce({"A"});
    EXPECT_EQ(result.usage.used, 100 * kMiB);
    EXPECT_EQ(result.wanted, 0u);
    EXPECT_EQ(result.freed, 0u);
    EXPECT_EQ(FilesIn("A"), WithSideFiles({ChunkFileName(1, 1), ChunkFileName(1, 2)}));
}

// --- The allowance setting -------------------------------------------------

TEST_F(DiskSpaceManagerTest, MissingOrUnusableAllowanceBecomesTheDefaultAndIsStored) {
    struct Case {
        const char* configLine;
        uint64_t allowanceMib;
        const char* stored;
    };
    const Case cases[] = {
        {"", 100, "DiskSpace=100\n"},
        {"DiskSpace=0\n", 100, "DiskSpace=100\n"},
        {"DiskSpace=-5\n", 100, "DiskSpace=100\n"},
        {"DiskSpace=lots\n", 100, "DiskSpace=100\n"},
        {"DiskSpace=250\n", 250, "DiskSpace=250\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.configLine);
        WriteConfig(c.configLine);
        DiskSpaceManager manager(m_root);
        manager.SetFreeSpaceFunction(FreeBytes(kLotsFree));
        const DiskCheckResult result = manager.CheckOnce({"A"});
        EXPECT_EQ(result.usage.allowance, c.allowanceMib * kMiB);
        EXPECT_THAT(ConfigText(), HasSubstr(c.stored));
    }
}

TEST_F(DiskSpaceManagerTest, MeasuringLeavesAMissingAllowanceUnwritten) {
    WriteConfig("");
    const DiskUsage usage = DiskSpaceManager::MeasureDiskUsage(m_root, {"A"}, FreeBytes(5));
    EXPECT_EQ(usage.allowance, 100 * kMiB);
    EXPECT_THAT(ConfigText(), Not(HasSubstr("DiskSpace")));
}

TEST_F(DiskSpaceManagerTest, AllowanceShrinksToWhatTheDiskCanHold) {
    struct Case {
        uint64_t usedMib;
        std::optional<uint64_t> freeMib;
        int allowanceMib;
        int expectedMib;     // "DiskSpace" afterwards
        uint64_t freedMib;
    };
    const Case cases[] = {
        {50, 60, 100, 80, 0},   // 110 - 20 < 100: 110 - 30
        {50, 69, 100, 89, 0},
        {50, 70, 100, 100, 0},  // exactly 20 MiB of room left: unchanged
        {110, 0, 100, 80, 20},  // deletes, and judges the room as first measured
        {5, 10, 100, 1, 0},     // less than 30 MiB in all: the 1 MiB floor
        {0, 0, 1, 1, 0},        // already at the floor: no new event
        {50, std::nullopt, 100, 100, 0},  // unknown free space is not "none"
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.usedMib << " MiB used, " << c.freeMib.value_or(999999)
                                          << " MiB free, allowance " << c.allowanceMib);
        fs::remove_all(m_root);
        EventLog::Instance().Close();
        fs::remove(HomeFile("events.txt"));
        WriteConfig(DiskSpaceLine(c.allowanceMib));
        int day = 1;
        for (uint64_t left = c.usedMib; left > 0; left -= std::min<uint64_t>(left, 10))
            MakeChunk("A", ChunkFileName(day++, 1), std::min<uint64_t>(left, 10));

        DiskSpaceManager manager(m_root);
        std::optional<uint64_t> freeBytes;
        if (c.freeMib) freeBytes = *c.freeMib * kMiB;
        manager.SetFreeSpaceFunction(FreeBytes(freeBytes));
        const DiskCheckResult result = manager.CheckOnce({"A"});

        const bool reduced = c.expectedMib != c.allowanceMib;
        EXPECT_EQ(result.reducedAllowanceMb, reduced ? c.expectedMib : 0);
        EXPECT_THAT(ConfigText(), HasSubstr(DiskSpaceLine(c.expectedMib)));
        EXPECT_EQ(ReducedEvents(), reduced ? 1 : 0);
        EXPECT_EQ(result.freed, c.freedMib * kMiB);
    }
}

// --- Measuring ---------------------------------------------------------------

TEST_F(DiskSpaceManagerTest, UsedSpaceCountsOnlyTheAudioChunksOfEachStreamFolderOnce) {
    MakeChunk("A", "x.mp3", 3);  // its 1 MiB side file does not count
    MakeFile(m_root + "A/y.ogg", 2 * kMiB);
    MakeFile(m_root + "A/readme.txt", 9 * kMiB);
    MakeFile(m_root + "A/z.MP3", 9 * kMiB);
    MakeFile(m_root + "A/.mp3", 9 * kMiB);
    MakeFile(m_root + "A/sub.mp3/deep.mp3", 9 * kMiB);
    fs::create_symlink(m_root + "A/x.mp3", m_root + "A/link.mp3");
    MakeFile(m_root + "B/z.ogg", 5 * kMiB);
    MakeFile(m_root + "top.mp3", 50 * kMiB);
    MakeFile(HomeFile("outside.mp3"), 64 * kMiB);  // what ".." would reach

    const std::vector<std::string> names = {"A", "B", "A", "..", ".", "", "Missing"};
    const DiskUsage usage = DiskSpaceManager::MeasureDiskUsage(m_root, names, FreeBytes(123));
    EXPECT_EQ(usage.used, 10 * kMiB);
    EXPECT_EQ(usage.free, 123u);
    EXPECT_TRUE(usage.freeKnown);
    EXPECT_EQ(usage.allowance, 100 * kMiB);
    // The root given without its trailing slash reaches the same folders.
    EXPECT_EQ(DiskSpaceManager::MeasureUsedSpace(m_root.substr(0, m_root.size() - 1), names), 10 * kMiB);
    EXPECT_TRUE(DiskSpaceManager::SystemFreeSpace(m_root).has_value());
    EXPECT_FALSE(DiskSpaceManager::SystemFreeSpace(m_root + "Missing/").has_value());
}

TEST_F(DiskSpaceManagerTest, OldestChunkIsTheOldestOutsideTheRecordingSession) {
    EXPECT_EQ(DiskSpaceManager::FindOldestChunk(m_root, {"A", "B"}), std::nullopt);
    MakeChunk("B", ChunkFileName(1, 1, "ogg"), 1);
    MakeChunk("A", ChunkFileName(2, 1), 1);
    MakeChunk("B", ChunkFileName(3, 1), 1);
    EXPECT_EQ(DiskSpaceManager::FindOldestChunk(m_root, {"A", "B"}),
              (ChunkLocation{1, ChunkFileName(1, 1, "ogg")}));
    SetCurrentSessionPrefix(SessionOf(1));
    EXPECT_EQ(DiskSpaceManager::FindOldestChunk(m_root, {"A", "B"}), (ChunkLocation{0, ChunkFileName(2, 1)}));
}

// --- The order of deletion, with ages the file system could not give ------

TEST(DiskSpaceDeletionOrderTest, SessionsGoByTheirOldestFileThenMp3BeforeOggByAge) {
    struct Case {
        const char* title;
        std::vector<ChunkFile> files;
        std::string recorded;  // in stream 0
        std::vector<std::string> expected;  // "stream:name"
    };
    const std::string s1 = "2003_11_01_10_00_00_3600_300_";
    const std::string s2 = "2003_11_02_10_00_00_3600_300_";
    const std::string s3 = "2003_11_03_10_00_00_3600_300_";
    const std::vector<Case> cases = {
        {"age decides across streams, not the name",
         {{0, s2 + "1.mp3", 1, 100}, {1, s1 + "1.mp3", 1, 200}, {0, s2 + "2.mp3", 1, 300}},
         "",
         {"0:" + s2 + "1.mp3", "0:" + s2 + "2.mp3", "1:" + s1 + "1.mp3"}},
        {"a session stays together even when another's files are older than its later ones",
         {{0, s1 + "1.mp3", 1, 10}, {1, s2 + "1.mp3", 1, 20}, {0, s1 + "2.mp3", 1, 30}, {1, s2 + "2.mp3", 1, 40}},
         "",
         {"0:" + s1 + "1.mp3", "0:" + s1 + "2.mp3", "1:" + s2 + "1.mp3", "1:" + s2 + "2.mp3"}},
        {"an old .ogg places its session but goes after the session's .mp3",
         {{0, s2 + "1.mp3", 1, 50}, {1, s3 + "1.ogg", 1, 10}, {1, s3 + "2.mp3", 1, 90}, {1, s3 + "1.mp3", 1, 80}},
         "",
         {"1:" + s3 + "1.mp3", "1:" + s3 + "2.mp3", "1:" + s3 + "1.ogg", "0:" + s2 + "1.mp3"}},
        {"equal ages go by name with numbers by value, the same session in two streams by stream",
         {{1, s1 + "2.mp3", 1, 7}, {1, s1 + "10.mp3", 1, 7}, {0, s1 + "1.mp3", 1, 7}, {1, s1 + "1.mp3", 1, 7}},
         "",
         {"0:" + s1 + "1.mp3", "1:" + s1 + "1.mp3", "1:" + s1 + "2.mp3", "1:" + s1 + "10.mp3"}},
        {"the session being recorded goes last, by age, without its highest number",
         {{0, s1 + "1.mp3", 1, 1}, {0, s2 + "1.mp3", 1, 2}, {0, s1 + "3.mp3", 1, 3}, {1, s1 + "1.mp3", 1, 4},
          {0, s1 + "2.mp3", 1, 5}},
         "2003_11_01_10_00_00_3600_300",
         {"0:" + s2 + "1.mp3", "1:" + s1 + "1.mp3", "0:" + s1 + "1.mp3", "0:" + s1 + "2.mp3"}},
        {"names shorter than a session key are sessions of their own",
         {{0, "b.mp3", 1, 5}, {0, "a.ogg", 1, 5}, {0, s1 + "1.mp3", 1, 6}},
         "",
         {"0:a.ogg", "0:b.mp3", "0:" + s1 + "1.mp3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        std::vector<std::string> order;
        for (const ChunkFile& f : DiskSpaceManager::DeletionOrder(c.files, {c.recorded}))
            order.push_back(std::to_string(f.stream) + ":" + f.name);
        EXPECT_THAT(order, ElementsAreArray(c.expected));
    }
}

// --- The thread ------------------------------------------------------------

TEST_F(DiskSpaceManagerTest, ThreadChecksEveryThreeMinutesOfClockTimeAfterStart) {
    WriteStreamList({"A"});
    for (int n = 1; n <= 3; ++n) MakeChunk("A", ChunkFileName(1, n), 10);
    for (int n = 1; n <= 10; ++n) MakeChunk("A", ChunkFileName(2, n), 10);
    const std::set<std::string> before = FilesIn("A");
    std::vector<std::string> after;
    for (int n = 2; n <= 10; ++n) after.push_back(ChunkFileName(2, n));

    {
        // Never started: ends at once.
        DiskSpaceManager idle(m_root);
    }

    EventLoop loop(&m_clock);
    MessageCounter counter;
    ReceiverSlot slot(loop, &counter);
    DiskSpaceManager manager(m_root);
    manager.SetFreeSpaceFunction(FreeBytes(kLotsFree));
    manager.SetNotifyReceiver(&loop, slot.Id());
    m_clock.Advance(10 * DiskSpaceManager::kCheckPeriodMs);  // time before Start does not count
    manager.Start();

    ASSERT_TRUE(m_clock.AdvanceWhenAsleep(DiskSpaceManager::kCheckPeriodMs - 1));
    ASSERT_TRUE(m_clock.WaitAsleep());
    EXPECT_EQ(manager.ChecksDone(), 0u);
    EXPECT_EQ(FilesIn("A"), before);

    manager.Start();  // a second signal does not restart the period
    ASSERT_TRUE(m_clock.AdvanceWhenAsleep(1));
    ASSERT_TRUE(m_clock.WaitAsleep());
    EXPECT_EQ(manager.ChecksDone(), 1u);
    EXPECT_EQ(FilesIn("A"), WithSideFiles(after));  // 130 of 100 MiB: 40 freed

    ASSERT_TRUE(m_clock.AdvanceWhenAsleep(DiskSpaceManager::kCheckPeriodMs));
    ASSERT_TRUE(m_clock.WaitAsleep());
    EXPECT_EQ(manager.ChecksDone(), 2u);

    // A jump over several periods makes one check, not a burst, and the
    // rhythm restarts from there.
    ASSERT_TRUE(m_clock.AdvanceWhenAsleep(5 * DiskSpaceManager::kCheckPeriodMs + 500));
    ASSERT_TRUE(m_clock.WaitAsleep());
    EXPECT_EQ(manager.ChecksDone(), 3u);
    ASSERT_TRUE(m_clock.AdvanceWhenAsleep(DiskSpaceManager::kCheckPeriodMs - 1));
    ASSERT_TRUE(m_clock.WaitAsleep());
    EXPECT_EQ(manager.ChecksDone(), 3u);
    ASSERT_TRUE(m_clock.AdvanceWhenAsleep(1));
    ASSERT_TRUE(m_clock.WaitAsleep());
    EXPECT_EQ(manager.ChecksDone(), 4u);

    // Stop wakes the sleeping thread; the clock never reaches the next check.
    manager.Stop();
    EXPECT_EQ(manager.ChecksDone(), 4u);
    EXPECT_EQ(FilesIn("A"), WithSideFiles(after));
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
