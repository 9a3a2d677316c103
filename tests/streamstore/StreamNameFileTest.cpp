#include "streamstore/StreamNameFile.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <climits>
#include <tuple>
#include <filesystem>
#include <ostream>
#include <vector>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/Trace.h"
#include "support/TempHome.h"

namespace wk {

// Readable failure messages for record comparisons.
void PrintTo(const StreamRecord& r, std::ostream* os) {
    *os << '{' << '"' << r.name << "\" src=" << r.sourceType << " ch=" << r.tunerChannel
        << " smin=" << r.silenceMinimum << " sens=" << r.silenceSensitivity << " short=" << r.shortestTrack
        << " long=" << r.longestTrack << " svc=" << r.serviceNumber << " act=" << r.active
        << " cov=" << r.coveredUntil << '}';
}

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

StreamRecord Rec(std::string name, int32_t source, int32_t channel, int32_t silenceMinimum, int32_t sensitivity,
                 int32_t shortest, int32_t longest, int32_t service, int32_t active, int64_t covered) {
    StreamRecord r;
    r.name = std::move(name);
    r.sourceType = source;
    r.tunerChannel = channel;
    r.silenceMinimum = silenceMinimum;
    r.silenceSensitivity = sensitivity;
    r.shortestTrack = shortest;
    r.longestTrack = longest;
    r.serviceNumber = service;
    r.active = active;
    r.coveredUntil = covered;
    return r;
}

StreamRecord DefaultStream() {
    return Rec("Default", 1, 1, 3, 15, 120, 360, 0, 1, 0);
}

// A stream as the service's channel list makes it.
StreamRecord ServiceStream(std::string name, int32_t source, int32_t service) {
    return Rec(std::move(name), source, 0, 3, 15, 120, 360, service, 0, 0);
}

std::vector<StreamRecord> Copies(const StreamNameFile& list) {
    std::vector<StreamRecord> out;
    for (const auto& r : list.Records()) out.push_back(*r);
    return out;
}

std::vector<std::string> Names(const StreamNameFile& list) {
    std::vector<std::string> out;
    for (const auto& r : list.Records()) out.push_back(r->name);
    return out;
}

class StreamNameFileTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        SetClock(&m_clock);
        SetTraceFileBase(HomeFile("Log"));
        SetTraceLevel(kTraceDetail);
    }
    void TearDown() override {
        SetTraceLevel(0);
        SetTraceFileBase("");
        SetClock(nullptr);
        TempHomeTest::TearDown();
    }
    std::string Root() const { return HomeFile("Streams/"); }
    void WriteList(const std::string& bytes) {
        fs::create_directories(Root());
        test::WriteFile(Root() + StreamNameFile::kFileName, bytes);
    }
    std::string ListBytes() const { return test::ReadFile(Root() + StreamNameFile::kFileName); }
    std::string TraceText() const {
        const std::string file = CurrentTraceFile();
        return file.empty() ? std::string() : test::ReadFile(file);
    }
    static void SetConfig(const std::string& key, const std::string& value) {
        ConfigStore config;
        config.Load();
        config.SetString(key, value);
        ASSERT_TRUE(config.Save());
    }
    static std::string Config(const std::string& key) {
        ConfigStore config;
        config.Load();
        return config.GetString(key);
    }
    ManualClock m_clock;
};

struct LoadCase {
    const char* label;
    std::string file;
    std::vector<StreamRecord> expected;  // the Default stream appended by load() included
};

TEST_F(StreamNameFileTest, LoadReadsFieldsInFileOrder) {
    const std::vector<LoadCase> cases = {
        {"eight fields are too few",
         "Short\tOne\t3\t120\t360\t15\t1\t0\r\n",
         {DefaultStream()}},
        {"nine fields: covered until is 0",
         "Nine\tTwo\t4\t100\t400\t16\t583\t7\t1\r\n",
         {Rec("Nine", 2, 583, 4, 16, 100, 400, 7, 1, 0), DefaultStream()}},
        {"ten fields, every one in its place",
         "All\tOne\t1\t2\t3\t4\t5\t6\t7\t1068200000123\r\n",
         {Rec("All", 1, 5, 1, 4, 2, 3, 6, 7, 1068200000123), DefaultStream()}},
        {"comment lines are skipped",
         "/ a comment\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\nReal\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n",
         {Rec("Real", 1, 1, 3, 15, 120, 360, 0, 1, 0), DefaultStream()}},
        {"source type: One in any case is radio, all else music TV",
         "a\tone\t0\t0\t0\t0\t0\t0\t0\nb\tONE\t0\t0\t0\t0\t0\t0\t0\nc\tTwo\t0\t0\t0\t0\t0\t0\t0\n"
         "d\tOnce\t0\t0\t0\t0\t0\t0\t0\ne\t\t0\t0\t0\t0\t0\t0\t0\n",
         {Rec("a", 1, 0, 0, 0, 0, 0, 0, 0, 0), Rec("b", 1, 0, 0, 0, 0, 0, 0, 0, 0),
          Rec("c", 2, 0, 0, 0, 0, 0, 0, 0, 0), Rec("d", 2, 0, 0, 0, 0, 0, 0, 0, 0),
          Rec("e", 2, 0, 0, 0, 0, 0, 0, 0, 0), DefaultStream()}},
        {"blanks trimmed, numbers read like atoi and clamped",
         "  Jazz FM \t One \t 12abc\t\t-7\tx9\t99999999999\t-99999999999\t+1\t 99999999999999999999\r\n"
         "Low\tTwo\t0\t0\t0\t0\t0\t0\t0\t-99999999999999999999\r\n",
         {Rec("Jazz FM", 1, INT_MAX, 12, 0, 0, -7, INT_MIN, 1, INT64_MAX),
          Rec("Low", 2, 0, 0, 0, 0, 0, 0, 0, INT64_MIN), DefaultStream()}},
        {"a Default stream in the file is not added twice",
         "Default\tTwo\t1\t2\t3\t4\t5\t6\t0\t0\r\n",
         {Rec("Default", 2, 5, 1, 4, 2, 3, 6, 0, 0)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        WriteList(c.file);
        StreamNameFile list;
        EXPECT_TRUE(list.load());
        EXPECT_EQ(Copies(list), c.expected);
    }
}

TEST_F(StreamNameFileTest, LoadTracesSkippedLines) {
    WriteList("Short\tOne\t3\r\n/ remark\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n");
    StreamNameFile list;
    list.load();
    const std::string trace = TraceText();
    EXPECT_THAT(trace, HasSubstr("ERR: In StreamNameFile::load(), an invalid line was detected, skipping it: "
                                 "\"Short\tOne\t3\"\r\n"));
    EXPECT_THAT(trace, HasSubstr("DBG: In StreamNameFile::load(), comment line found, skipping it\r\n"));
}

struct DefaultCase {
    const char* label;
    const char* file;  // nullptr: no list file
    bool read;
    std::vector<std::string> names;
    bool activeStreamReset;
};

TEST_F(StreamNameFileTest, DefaultStreamIsAddedUnlessNamedExactly) {
    const std::vector<DefaultCase> cases = {
        {"missing file", nullptr, false, {"Default"}, true},
        {"empty file", "", true, {"Default"}, true},
        {"lower-case default is another stream", "default\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n", true,
         {"default", "Default"}, true},
        {"Default present", "Rock\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\nDefault\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n",
         true, {"Rock", "Default"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(Root());
        if (c.file) WriteList(c.file);
        SetConfig("ActiveStream", "Rock");
        StreamNameFile list;
        EXPECT_EQ(list.load(), c.read);
        EXPECT_EQ(Names(list), c.names);
        EXPECT_EQ(Config("ActiveStream"), c.activeStreamReset ? "Default" : "Rock");
        EXPECT_TRUE(fs::is_directory(Root() + "Default"));
        for (const auto& name : c.names) EXPECT_TRUE(fs::is_directory(Root() + name)) << name;
        // Loading never writes the list.
        EXPECT_EQ(fs::exists(Root() + StreamNameFile::kFileName), c.file != nullptr);
    }
}

TEST_F(StreamNameFileTest, SaveWritesTheGoldenLayout) {
    struct SaveCase {
        const char* label;
        std::string input;   // loaded first
        std::string output;  // what save() writes
    };
    const std::string defaultLine = "Default\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n";
    const std::vector<SaveCase> cases = {
        {"byte-exact round trip",
         "Radio 1\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n"
         "MTV\tTwo\t5\t60\t600\t20\t583\t17\t0\t1068200000123\r\n" + defaultLine,
         "Radio 1\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n"
         "MTV\tTwo\t5\t60\t600\t20\t583\t17\t0\t1068200000123\r\n" + defaultLine},
        {"LF, blanks, nine fields and odd case normalised",
         " Jazz \tone\t3\t120\t360\t15\t1\t0\t1\n" + defaultLine,
         "Jazz\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n" + defaultLine},
        {"empty names are not written", "\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n" + defaultLine, defaultLine},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        WriteList(c.input);
        StreamNameFile list;
        list.load();
        ASSERT_TRUE(list.save());
        EXPECT_EQ(ListBytes(), c.output);
    }
}

TEST_F(StreamNameFileTest, SaveMapsUnknownSourceTypesAndKeepsLinesWhole) {
    StreamNameFile list;
    list.AddCopy(Rec("Odd", 7, 1, 0, 0, 0, 0, 0, 0, -5));
    list.AddCopy(Rec("Tab\tin\r\nname", 2, 1, 0, 0, 0, 0, 0, 0, 0));
    ASSERT_TRUE(list.save());
    EXPECT_EQ(ListBytes(),
              "Odd\tOne\t0\t0\t0\t0\t1\t0\t0\t-5\r\n"
              "Tab in  name\tTwo\t0\t0\t0\t0\t1\t0\t0\t0\r\n");
    // Nothing but the list is left beside it.
    std::vector<std::string> entries;
    for (const auto& e : fs::directory_iterator(Root())) entries.push_back(e.path().filename().string());
    EXPECT_THAT(entries, ElementsAre(StreamNameFile::kFileName));
}

TEST_F(StreamNameFileTest, SaveFailsWhenTheRootCannotExistAndKeepsNothingHalfWritten) {
    test::WriteFile(HomeFile("plain"), "x");
    SetConfig("StreamPath", HomeFile("plain/Streams"));
    StreamNameFile list;
    list.AddCopy(DefaultStream());
    EXPECT_FALSE(list.save());
    EXPECT_EQ(test::ReadFile(HomeFile("plain")), "x");
}

TEST_F(StreamNameFileTest, StreamRootFollowsStreamPath) {
    struct RootCase {
        std::string streamPath;
        std::string root;
    };
    const std::vector<RootCase> cases = {
        {"", HomeFile("")},
        {HomeFile("elsewhere"), HomeFile("elsewhere/")},
        {HomeFile("slashed/"), HomeFile("slashed/")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.streamPath);
        SetConfig("StreamPath", c.streamPath);
        EXPECT_EQ(StreamNameFile::StreamRoot(), c.root);
        EXPECT_EQ(StreamNameFile::FilePath(), c.root + "StreamFileNames.txt");
        StreamNameFile list;
        list.AddCopy(Rec("Jazz", 1, 1, 0, 0, 0, 0, 0, 0, 0));
        EXPECT_FALSE(StreamNameFile::FileExists());
        ASSERT_TRUE(list.save());
        EXPECT_TRUE(StreamNameFile::FileExists());
        EXPECT_TRUE(list.CreateFolders());
        EXPECT_TRUE(fs::is_directory(c.root + "Jazz"));
    }
}

struct BufferCase {
    const char* label;
    std::vector<std::string> existing;
    std::string buffer;
    bool result;
    std::vector<StreamRecord> added;
    size_t skipped = 0;  // names refused, one line each
};

TEST_F(StreamNameFileTest, LoadFromBufferMergesAcceptableChannels) {
    const std::vector<BufferCase> cases = {
        {"a radio and a TV channel", {}, "Radio X\tOne\t17\r\nMusic TV\tTwo\t583\r\n", true,
         {ServiceStream("Radio X", 1, 17), ServiceStream("Music TV", 2, 583)}},
        {"One is compared with case here", {}, "Lower\tone\t4\nUpper\tONE\t5\n", true,
         {ServiceStream("Lower", 2, 4), ServiceStream("Upper", 2, 5)}},
        {"every line end, blanks and extra fields", {}, " A \tOne\t 1x\tmore\rB\tTwo\t2\nC\tOne\t3", true,
         {ServiceStream("A", 1, 1), ServiceStream("B", 2, 2), ServiceStream("C", 1, 3)}},
        {"names a folder cannot have", {}, "A/B\tOne\t1\r\n<x>\tOne\t2\r\nC\\D\tOne\t3\r\n \tOne\t4\r\n", false,
         {}, 4},
        {"unsafe names are skipped, the good ones kept", {},
         "..\tOne\t1\n.\tOne\t2\n" + std::string(300, 'x') + "\tOne\t3\nEsc\x1b[2J\tOne\t4\nGood\tOne\t5\n" +
             std::string(127, 'y') + "\tTwo\t6\n",
         true, {ServiceStream("Good", 1, 5), ServiceStream(std::string(127, 'y'), 2, 6)}, 4},
        {"fewer than three fields", {}, "Name\tOne\r\n\r\nAlone\r\n", false, {}},
        {"a known stream in other case is acceptable but not added", {"radio x"}, "Radio X\tOne\t17\r\n", true,
         {}},
        {"the same name twice is added once", {}, "Rock\tOne\t1\nROCK\tTwo\t2\n", true,
         {ServiceStream("Rock", 1, 1)}},
        {"empty buffer", {"Jazz"}, "", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        StreamNameFile list;
        for (const auto& name : c.existing) list.AddCopy(Rec(name, 1, 1, 0, 0, 0, 0, 0, 0, 0));
        std::vector<std::string> skipped;
        EXPECT_EQ(list.loadFromBuffer(c.buffer, &skipped), c.result);
        EXPECT_EQ(skipped.size(), c.skipped);
        std::vector<StreamRecord> added = Copies(list);
        added.erase(added.begin(), added.begin() + static_cast<std::ptrdiff_t>(c.existing.size()));
        EXPECT_EQ(added, c.added);
    }
    EXPECT_THAT(TraceText(), HasSubstr("ERR: WARNING, invalid line found in StreamNameFile::loadFromBuffer()\r\n"));
}

TEST_F(StreamNameFileTest, FindIgnoresCaseAndRemoveTakesOnlyOwnRecords) {
    StreamNameFile list;
    StreamRecord& jazz = list.AddCopy(Rec("Jazz", 1, 1, 0, 0, 0, 0, 0, 0, 0));
    list.AddCopy(Rec("Rock", 2, 1, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(list.Find("JAZZ"), &jazz);
    EXPECT_TRUE(list.Contains("rock"));
    EXPECT_EQ(list.Find("Pop"), nullptr);
    const StreamRecord stranger = jazz;
    EXPECT_FALSE(list.Remove(&stranger));
    EXPECT_TRUE(list.Remove(&jazz));
    EXPECT_FALSE(list.Contains("Jazz"));
    EXPECT_EQ(Names(list), std::vector<std::string>{"Rock"});
}

TEST_F(StreamNameFileTest, ImportAddsUnknownNamesWithFoldersAndNoOtherEffect) {
    WriteList("Jazz\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\nDefault\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n");
    SetConfig("ActiveStream", "Jazz");
    StreamNameFile list;
    list.load();
    test::WriteFile(HomeFile("other.txt"),
                    "jazz\tTwo\t1\t2\t3\t4\t5\t6\t0\t9\r\nRock\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n"
                    "Jazz\tTwo\t0\t0\t0\t0\t0\t0\t0\t0\r\nRock\tTwo\t0\t0\t0\t0\t0\t0\t0\t0\r\n"
                    "Bell\a\tOne\t0\t0\t0\t0\t0\t0\t0\t0\r\n");
    // Another spelling of a listed name would be a second folder for one stream.
    std::vector<std::string> skipped;
    EXPECT_EQ(list.ImportFrom(HomeFile("other.txt"), &skipped), 1);
    EXPECT_EQ(skipped, (std::vector<std::string>{"\"jazz\": the list has it as \"Jazz\"",
                                                 "\"Bell?\": holds a control character"}));
    EXPECT_EQ(Names(list), (std::vector<std::string>{"Jazz", "Default", "Rock"}));
    EXPECT_EQ(*list.Find("Rock"), Rec("Rock", 1, 1, 3, 15, 120, 360, 0, 1, 0));
    EXPECT_TRUE(fs::is_directory(Root() + "Rock"));
    EXPECT_FALSE(fs::exists(Root() + "jazz"));
    // The imported file lacks a Default stream; that must not touch the settings.
    EXPECT_EQ(Config("ActiveStream"), "Jazz");
    EXPECT_EQ(list.ImportFrom(HomeFile("missing.txt")), 0);
}

TEST_F(StreamNameFileTest, HostileFileStillYieldsItsGoodLines) {
    std::string bytes = "Good 1\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n";
    bytes += std::string("\0\xff\x01\tbin", 7) + "\r\n";
    bytes += std::string(1 << 20, 'x') + "\r\n";
    bytes += std::string(1 << 16, '\t') + "\r\n";
    bytes += "\t\t\t\t\t\t\t\t\r\n";
    bytes += "\r\n\n";
    bytes += std::string("Bin\0ary", 7) + "\tTwo\t\xff\t\x80\t3\t4\t5\t6\t7\t8\r\n";
    bytes += "Good 2\tTwo\t3\t120\t360\t15\t1\t0\t1";  // no line end at all
    WriteList(bytes);
    StreamNameFile list;
    EXPECT_TRUE(list.load());
    ASSERT_EQ(list.Records().size(), 5u);  // "Bin\0ary" could never name its folder
    EXPECT_EQ(*list.Records()[0], Rec("Good 1", 1, 1, 3, 15, 120, 360, 0, 1, 0));
    EXPECT_EQ(list.Records()[1]->name, "");  // a line of blanks only
    EXPECT_EQ(list.Records()[2]->name, "");
    EXPECT_EQ(*list.Records()[3], Rec("Good 2", 2, 1, 3, 15, 120, 360, 0, 1, 0));
    EXPECT_EQ(list.Records()[4]->name, "Default");
}

TEST_F(StreamNameFileTest, UnsafeNamesMakeNoFolderOutsideTheRoot) {
    const std::string root = HomeFile("deep/Streams/");
    SetConfig("StreamPath", HomeFile("deep/Streams"));
    fs::create_directories(root);
    test::WriteFile(root + StreamNameFile::kFileName,
                    "..\tOne\t0\t0\t0\t0\t0\t0\t0\t0\r\n"
                    ".\tOne\t0\t0\t0\t0\t0\t0\t0\t0\r\n"
                    "../../escaped\tOne\t0\t0\t0\t0\t0\t0\t0\t0\r\n"
                    "a/b\tOne\t0\t0\t0\t0\t0\t0\t0\t0\r\n"
                    "\tOne\t0\t0\t0\t0\t0\t0\t0\t0\r\n" +
                        std::string(256, 'L') + "\tOne\t0\t0\t0\t0\t0\t0\t0\t0\r\n"
                    "..fine\tOne\t0\t0\t0\t0\t0\t0\t0\t0\r\n");
    StreamNameFile list;
    list.load();
    // Names that can never be a stream's folder are not streams at all (an
    // older daemon saved "." and ".." from a channel list).
    EXPECT_EQ(Names(list), (std::vector<std::string>{"", "..fine", "Default"}));
    EXPECT_TRUE(list.CreateFolders());
    std::vector<std::string> made;
    for (const auto& e : fs::recursive_directory_iterator(HomeFile("")))
        if (e.is_directory()) made.push_back(fs::relative(e.path(), HomeFile("")).string());
    std::sort(made.begin(), made.end());
    EXPECT_EQ(made, (std::vector<std::string>{"deep", "deep/Streams", "deep/Streams/..fine",
                                              "deep/Streams/Default", "locks"}));
    EXPECT_THAT(TraceText(), HasSubstr("ERR: In StreamNameFile::load(), the stream name \"../../escaped\" cannot be "
                                       "a folder name, skipping it\r\n"));
}

TEST(StreamNameFileNames, SafeFolderNamesAndNewNames) {
    // name, one folder name, fit for a new stream
    const std::vector<std::tuple<std::string, bool, bool>> cases = {
        {"Jazz FM", true, true},  {"..x", true, true},          {"", false, false},
        {".", false, false},      {"..", false, false},         {"a/b", false, false},
        {"/", false, false},      {std::string("a\0b", 3), false, false},
        {" x", true, false},      {"x ", true, false},          {"a\tb", true, false},
        {"a\x1b[2J", true, false}, {"del\x7f", true, false},    {std::string(127, 'n'), true, true},
        {std::string(128, 'n'), true, false},
    };
    for (const auto& [name, safe, fresh] : cases) {
        EXPECT_EQ(StreamNameFile::IsSafeFolderName(name), safe) << name;
        EXPECT_EQ(StreamNameFile::NameProblem(name).empty(), fresh) << name;
    }
}

}  // namespace
}  // namespace wk
