#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "streamstore/ChunkName.h"
#include "streamstore/StreamDeletion.h"
#include "streamstore/StreamInfo.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAreArray;

constexpr StreamTime kS = 1000;
const DateTime kStart(2003, 11, 7, 17, 40, 0);

// A chunk of up to 300 s: its ".dat" holds a byte per 10 ms.
void MakeChunk(const std::string& folder, const std::string& base, const char* extension = ".mp3") {
    WriteFile(folder + base + extension, "audio " + base);
    WriteFile(folder + base + ".dat", std::string(30'000, 'd'));
    WriteFile(folder + base + ".fgp", "fgp " + base);
}

// Base names of chunks from..to of one session.
std::vector<std::string> Chunks(const DateTime& start, long long duration, long long length,
                                int from, int to) {
    std::vector<std::string> names;
    for (int n = from; n <= to; ++n) names.push_back(ChunkBaseName(start, duration, length, n));
    return names;
}

std::vector<std::string> WithSideFiles(const std::vector<std::string>& bases,
                                       const char* extension = ".mp3") {
    std::vector<std::string> files;
    for (const std::string& base : bases) {
        for (const char* ext : {extension, ".dat", ".fgp"}) files.push_back(base + ext);
    }
    return files;
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Restores "no session being recorded" however a test ends.
struct CurrentSession {
    explicit CurrentSession(const std::string& prefix, const std::string& folder = "") {
        SetCurrentSessionPrefix(prefix, folder);
    }
    ~CurrentSession() { SetCurrentSessionPrefix(""); }
    CurrentSession(const CurrentSession&) = delete;
    CurrentSession& operator=(const CurrentSession&) = delete;
};

// Deleting takes the streams lock in the program home.
class DeleteMarkedStretchTest : public test::TempHomeTest {};

// One session of ten 300-second chunks begun at 17:40:00 and, in some cases,
// an earlier one of 25 s in 10-second chunks; marks relative to 17:40:00.
TEST_F(DeleteMarkedStretchTest, DeletesWholeChunksInsideTheMarkAndRenumbers) {
    const StreamTime s = kStart.ToStreamTime();
    const DateTime at1750(2003, 11, 7, 17, 50, 0);
    const DateTime ten(2003, 11, 7, 10, 0, 0);
    const struct {
        const char* what;
        StreamTime markStart;
        StreamTime markEnd;
        int deleted;
        std::vector<std::string> left;
        std::vector<int> missing;        // chunks of the 17:40 session not on disk
        std::vector<std::string> early;  // chunks of another session
    } cases[] = {
        {"middle of chunk 3 to middle of chunk 6", s + 750 * kS, s + 1650 * kS, 2,
         Join(Chunks(kStart, 900, 300, 1, 3),
              Chunks(DateTime(2003, 11, 7, 18, 5, 0), 1500, 300, 1, 5)), {}, {}},
        {"a day and 5 s before the recording", s - kMsPerDay - 5 * kS, s + 600 * kS, 2,
         Chunks(at1750, 2400, 300, 1, 8), {}, {}},
        {"from 2000", 0, s + 600 * kS, 2, Chunks(at1750, 2400, 300, 1, 8), {}, {}},
        // The session before keeps its names: its last chunk is short, but
        // nothing of it was deleted.
        {"from a gap between sessions", ten.ToStreamTime() + 1205 * kS, s + 600 * kS, 2,
         Join(Chunks(ten, 25, 10, 1, 3), Chunks(at1750, 2400, 300, 1, 8)), {},
         Chunks(ten, 25, 10, 1, 3)},
        {"from a chunk that is missing", s + 650 * kS, s + 1500 * kS, 2,
         Join(Chunks(kStart, 600, 300, 1, 2), Chunks(DateTime(2003, 11, 7, 18, 5, 0), 1500, 300, 1, 5)),
         {3}, {}},
        {"before the recording", s - kMsPerHour, s - 1, 0, Chunks(kStart, 3000, 300, 1, 10), {}, {}},
        {"after the recording", s + 3000 * kS, s + 4000 * kS, 0, Chunks(kStart, 3000, 300, 1, 10), {}, {}},
        {"end before start", s + 600 * kS, s, 0, Chunks(kStart, 3000, 300, 1, 10), {}, {}},
        {"within one chunk", s + 10 * kS, s + 290 * kS, 0, Chunks(kStart, 3000, 300, 1, 10), {}, {}},
        {"everything", s, s + 3000 * kS, 10, {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        for (int n = 1; n <= 10; ++n)
            if (std::find(c.missing.begin(), c.missing.end(), n) == c.missing.end())
                MakeChunk(dir.Path(), ChunkBaseName(kStart, 3000, 300, n));
        for (const std::string& base : c.early) MakeChunk(dir.Path(), base);
        EXPECT_EQ(DeleteMarkedStretch(dir.Path(), c.markStart, c.markEnd), c.deleted);
        EXPECT_THAT(Names(dir.Path()), UnorderedElementsAreArray(WithSideFiles(c.left)));
    }
}

TEST_F(DeleteMarkedStretchTest, FollowsTheFileTypeOfTheMarkedSession) {
    TempDir dir;
    for (const std::string& base : Chunks(kStart, 1200, 300, 1, 4))
        MakeChunk(dir.Path(), base, ".ogg");
    const StreamTime s = kStart.ToStreamTime();
    EXPECT_EQ(DeleteMarkedStretch(dir.Path(), s, s + 600 * kS), 2);
    EXPECT_THAT(Names(dir.Path()),
                UnorderedElementsAreArray(WithSideFiles(
                    Chunks(DateTime(2003, 11, 7, 17, 50, 0), 600, 300, 1, 2), ".ogg")));
}

TEST_F(DeleteMarkedStretchTest, LeavesTheCurrentSessionAlone) {
    TempDir dir;
    const DateTime six(2003, 11, 7, 18, 0, 0);
    for (const std::string& base : Chunks(kStart, 1200, 300, 1, 4)) MakeChunk(dir.Path(), base);
    for (const std::string& base : Chunks(six, 600, 300, 1, 2)) MakeChunk(dir.Path(), base);
    const CurrentSession current(ChunkSessionName(six, 600, 300));
    const StreamTime s = kStart.ToStreamTime();
    std::string spared;
    EXPECT_EQ(DeleteMarkedStretch(dir.Path(), s + 300 * kS, six.ToStreamTime() + 600 * kS, &spared), 3);
    EXPECT_EQ(spared, ChunkSessionName(six, 600, 300));
    EXPECT_THAT(Names(dir.Path()),
                UnorderedElementsAreArray(WithSideFiles(
                    Join(Chunks(kStart, 300, 300, 1, 1), Chunks(six, 600, 300, 1, 2)))));
}

TEST_F(DeleteMarkedStretchTest, PassesOnTheMoveErrorOfTheRenumbering) {
    TempDir dir;
    for (const std::string& base : Chunks(kStart, 1200, 300, 1, 4)) MakeChunk(dir.Path(), base);
    // Where chunk 3 would go after chunks 1 and 2 are gone.
    const std::string obstacle =
        ChunkBaseName(DateTime(2003, 11, 7, 17, 50, 0), 600, 300, 1) + ".mp3";
    WriteFile(dir.File(obstacle), "in the way");
    const StreamTime s = kStart.ToStreamTime();
    EXPECT_THROW(DeleteMarkedStretch(dir.Path(), s, s + 600 * kS), MoveError);
    EXPECT_EQ(ReadFile(dir.File(obstacle)), "in the way");
    EXPECT_TRUE(fs::exists(dir.File(ChunkBaseName(kStart, 1200, 300, 3) + ".mp3")));
}

class DeleteWholeStreamTest : public test::TempHomeTest {};

TEST_F(DeleteWholeStreamTest, EmptiesTheFolderAndWritesTheEmptyDescription) {
    const std::string folder = HomeFile("stream");
    fs::create_directories(folder + "/keep");
    WriteFile(folder + "/keep/inner.txt", "stays");
    for (const std::string& base : Chunks(kStart, 1200, 300, 1, 3)) MakeChunk(folder + "/", base);
    WriteFile(folder + "/desc.des", "0.9\r\nold\r\nheaders\r\nand lines\r\n");
    WriteFile(folder + "/other.txt", "x");

    std::string kept;
    EXPECT_TRUE(DeleteWholeStream(folder, &kept));
    EXPECT_EQ(kept, "");
    EXPECT_THAT(Names(folder), UnorderedElementsAreArray({"keep", "desc.des"}));
    EXPECT_EQ(ReadFile(folder + "/desc.des"), "# 0.9\r\n# \r\n# \r\n");
    EXPECT_EQ(ReadFile(folder + "/keep/inner.txt"), "stays");

    // The session being recorded into it stays.
    for (const std::string& base : Chunks(kStart, 1200, 300, 1, 2)) MakeChunk(folder + "/", base);
    WriteFile(folder + "/other.txt", "x");
    const CurrentSession current(ChunkSessionName(kStart, 1200, 300), folder);
    EXPECT_TRUE(DeleteWholeStream(folder, &kept));
    EXPECT_EQ(kept, ChunkSessionName(kStart, 1200, 300));
    EXPECT_THAT(Names(folder), UnorderedElementsAreArray(
                                   Join({"keep", "desc.des"}, WithSideFiles(Chunks(kStart, 1200, 300, 1, 2)))));
}

TEST_F(DeleteWholeStreamTest, WithoutAFolderReportsAndRefuses) {
    EXPECT_FALSE(DeleteWholeStream(""));
    EXPECT_THAT(ReadFile(HomeFile("events.txt")), HasSubstr("StreamPath is not selected!"));
    EXPECT_THAT(Names(m_dir.Path()), ElementsAreArray({"events.txt"}));
}

}  // namespace
}  // namespace wk
