// The stream list file. Editing it through the command line (names that
// compare without case, unsafe names refused, imports): tests/app
// StreamsCommandTest.StreamListEditing.

#include <gmock/gmock.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <ostream>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "streamstore/StreamNameFile.h"
#include "support/TempHome.h"

namespace wk {

// Readable failure messages for record comparisons.
void PrintTo(const StreamRecord& r, std::ostream* os) {
    *os << '{' << '"' << r.name << "\" " << r.sourceType << ' ' << r.tunerChannel << ' '
        << r.silenceMinimum << ' ' << r.silenceSensitivity << ' ' << r.shortestTrack << ' '
        << r.longestTrack << ' ' << r.serviceNumber << ' ' << r.active << ' ' << r.coveredUntil
        << '}';
}

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using R = StreamRecord;  // name, source, channel, silence minimum and sensitivity, shortest,
                         // longest, service number, active, covered until

const R kDefault{"Default", 1, 1, 3, 15, 120, 360, 0, 1, 0};
const std::string kDefaultLine = "Default\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n";

// A stream as the service's channel list makes it.
R ServiceStream(std::string name, int32_t source, int32_t service) {
    return {std::move(name), source, 0, 3, 15, 120, 360, service, 0, 0};
}

std::vector<R> Copies(const StreamNameFile& list) {
    std::vector<R> out;
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
        TraceToHome();
    }
    void TearDown() override {
        SetClock(nullptr);
        TempHomeTest::TearDown();
    }
    std::string Root() const { return HomeFile("Streams/"); }
    void WriteList(const std::string& bytes) {
        fs::create_directories(Root());
        test::WriteFile(Root() + StreamNameFile::kFileName, bytes);
    }
    std::string ListBytes() const { return test::ReadFile(Root() + StreamNameFile::kFileName); }
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

TEST_F(StreamNameFileTest, LoadReadsFieldsInFileOrder) {
    const std::pair<std::string, std::vector<R>> cases[] = {
        // Eight fields are too few; with nine covered-until is 0.
        {"Short\tOne\t3\t120\t360\t15\t1\t0\r\n", {kDefault}},
        {"Nine\tTwo\t4\t100\t400\t16\t583\t7\t1\r\n",
         {{"Nine", 2, 583, 4, 16, 100, 400, 7, 1, 0}, kDefault}},
        {"All\tOne\t1\t2\t3\t4\t5\t6\t7\t1068200000123\r\n",
         {{"All", 1, 5, 1, 4, 2, 3, 6, 7, 1068200000123}, kDefault}},
        // Comment lines are skipped.
        {"/ a "
         "comment\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\nReal\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n",
         {{"Real", 1, 1, 3, 15, 120, 360, 0, 1, 0}, kDefault}},
        // Source type: "One" in any case is radio, all else music TV.
        {"a\tone\t0\t0\t0\t0\t0\t0\t0\nb\tONE\t0\t0\t0\t0\t0\t0\t0\nc\tTwo\t0\t0\t0\t0\t0\t0\t0\n"
         "d\tOnce\t0\t0\t0\t0\t0\t0\t0\ne\t\t0\t0\t0\t0\t0\t0\t0\n",
         {{"a", 1, 0}, {"b", 1, 0}, {"c", 2, 0}, {"d", 2, 0}, {"e", 2, 0}, kDefault}},
        // Blanks trimmed, numbers read like atoi and clamped.
        {"  Jazz FM \t One \t 12abc\t\t-7\tx9\t99999999999\t-99999999999\t+1\t "
         "99999999999999999999\r\n"
         "Low\tTwo\t0\t0\t0\t0\t0\t0\t0\t-99999999999999999999\r\n",
         {{"Jazz FM", 1, INT_MAX, 12, 0, 0, -7, INT_MIN, 1, INT64_MAX},
          {"Low", 2, 0, 0, 0, 0, 0, 0, 0, INT64_MIN},
          kDefault}},
        // A Default stream in the file is not added twice.
        {"Default\tTwo\t1\t2\t3\t4\t5\t6\t0\t0\r\n", {{"Default", 2, 5, 1, 4, 2, 3, 6, 0, 0}}},
    };
    for (const auto& [file, expected] : cases) {
        WriteList(file);
        StreamNameFile list;
        EXPECT_TRUE(list.load());
        EXPECT_EQ(Copies(list), expected) << file;
    }
    EXPECT_THAT(
        TraceText(),
        HasSubstr("ERR: In StreamNameFile::load(), an invalid line was detected, skipping it: "
                  "\"Short\tOne\t3\t120\t360\t15\t1\t0\"\r\n"));
    EXPECT_THAT(TraceText(),
                HasSubstr("DBG: In StreamNameFile::load(), comment line found, skipping it\r\n"));
}

TEST_F(StreamNameFileTest, DefaultStreamIsAddedUnlessNamedExactly) {
    // The list file (none: missing), whether it was read, the names, whether
    // the active stream fell back to Default.
    const std::tuple<const char*, bool, std::vector<std::string>, bool> cases[] = {
        {nullptr, false, {"Default"}, true},
        {"", true, {"Default"}, true},
        {"default\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n", true, {"default", "Default"}, true},
        {"Rock\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\nDefault\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n",
         true,
         {"Rock", "Default"},
         false}};
    for (const auto& [file, read, names, reset] : cases) {
        SCOPED_TRACE(file ? file : "no file");
        fs::remove_all(Root());
        if (file) WriteList(file);
        SetConfig("ActiveStream", "Rock");
        StreamNameFile list;
        EXPECT_EQ(list.load(), read);
        EXPECT_EQ(Names(list), names);
        EXPECT_EQ(Config("ActiveStream"), reset ? "Default" : "Rock");
        for (const auto& name : names) EXPECT_TRUE(fs::is_directory(Root() + name)) << name;
        EXPECT_EQ(fs::exists(Root() + StreamNameFile::kFileName),
                  file != nullptr);  // loading never writes it
    }
}

TEST_F(StreamNameFileTest, SaveWritesTheGoldenLayout) {
    const std::string kept =
        "Radio 1\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n"
        "MTV\tTwo\t5\t60\t600\t20\t583\t17\t0\t1068200000123\r\n" +
        kDefaultLine;
    const std::pair<std::string, std::string> cases[] = {
        {kept, kept},  // a byte-exact round trip
        // LF, blanks, nine fields and odd case normalised; empty names not written.
        {" Jazz \tone\t3\t120\t360\t15\t1\t0\t1\n\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n" +
             kDefaultLine,
         "Jazz\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n" + kDefaultLine}};
    for (const auto& [input, output] : cases) {
        WriteList(input);
        StreamNameFile list;
        list.load();
        ASSERT_TRUE(list.save());
        EXPECT_EQ(ListBytes(), output);
    }
    // Unknown source types become radio, a name cannot break its line, and
    // no file but the list is left beside the stream folders.
    StreamNameFile list;
    list.AddCopy({"Odd", 7, 1, 0, 0, 0, 0, 0, 0, -5});
    list.AddCopy({"Tab\tin\r\nname", 2, 1});
    ASSERT_TRUE(list.save());
    EXPECT_EQ(ListBytes(),
              "Odd\tOne\t0\t0\t0\t0\t1\t0\t0\t-5\r\nTab in  name\tTwo\t0\t0\t0\t0\t1\t0\t0\t0\r\n");
    for (const auto& e : fs::directory_iterator(Root()))
        EXPECT_TRUE(e.is_directory() || e.path().filename() == StreamNameFile::kFileName)
            << e.path();
    // A root that cannot exist fails the save and keeps nothing half-written.
    test::WriteFile(HomeFile("plain"), "x");
    SetConfig("StreamPath", HomeFile("plain/Streams"));
    EXPECT_FALSE(list.save());
    EXPECT_EQ(test::ReadFile(HomeFile("plain")), "x");
}

TEST_F(StreamNameFileTest, StreamRootFollowsStreamPath) {
    const std::pair<std::string, std::string> cases[] = {
        {"", HomeFile("")},
        {HomeFile("elsewhere"), HomeFile("elsewhere/")},
        {HomeFile("slashed/"), HomeFile("slashed/")}};
    for (const auto& [streamPath, root] : cases) {
        SetConfig("StreamPath", streamPath);
        EXPECT_EQ(StreamNameFile::StreamRoot(), root);
        EXPECT_EQ(StreamNameFile::FilePath(), root + "StreamFileNames.txt");
        StreamNameFile list;
        list.AddCopy({"Jazz"});
        EXPECT_FALSE(StreamNameFile::FileExists());
        ASSERT_TRUE(list.save());
        EXPECT_TRUE(StreamNameFile::FileExists());
        EXPECT_TRUE(list.CreateFolders());
        EXPECT_TRUE(fs::is_directory(root + "Jazz"));
    }
}

TEST_F(StreamNameFileTest, LoadFromBufferMergesAcceptableChannels) {
    struct Case {
        std::vector<std::string> existing;
        std::string buffer;
        bool result;
        std::vector<R> added;
        size_t skipped;  // names refused, one line each
    };
    const std::vector<Case> cases = {
        {{},
         "Radio X\tOne\t17\r\nMusic TV\tTwo\t583\r\n",
         true,
         {ServiceStream("Radio X", 1, 17), ServiceStream("Music TV", 2, 583)},
         0},
        // "One" is compared with case here.
        {{},
         "Lower\tone\t4\nUpper\tONE\t5\n",
         true,
         {ServiceStream("Lower", 2, 4), ServiceStream("Upper", 2, 5)},
         0},
        // Every line end, blanks and extra fields.
        {{},
         " A \tOne\t 1x\tmore\rB\tTwo\t2\nC\tOne\t3",
         true,
         {ServiceStream("A", 1, 1), ServiceStream("B", 2, 2), ServiceStream("C", 1, 3)},
         0},
        // Names a folder cannot have.
        {{}, "A/B\tOne\t1\r\n<x>\tOne\t2\r\nC\\D\tOne\t3\r\n \tOne\t4\r\n", false, {}, 4},
        // Unsafe names are skipped, the good ones kept.
        {{},
         "..\tOne\t1\n.\tOne\t2\n" + std::string(300, 'x') +
             "\tOne\t3\nEsc\x1b[2J\tOne\t4\nGood\tOne\t5\n" + std::string(127, 'y') + "\tTwo\t6\n",
         true,
         {ServiceStream("Good", 1, 5), ServiceStream(std::string(127, 'y'), 2, 6)},
         4},
        {{}, "Name\tOne\r\n\r\nAlone\r\n", false, {}, 0},  // fewer than three fields
        // A known stream in other case is acceptable but not added.
        {{"radio x"}, "Radio X\tOne\t17\r\n", true, {}, 0},
        {{},
         "Rock\tOne\t1\nROCK\tTwo\t2\n",
         true,
         {ServiceStream("Rock", 1, 1)},
         0},  // the same name twice: once
        {{"Jazz"}, "", false, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buffer);
        StreamNameFile list;
        for (const auto& name : c.existing) list.AddCopy({name});
        std::vector<std::string> skipped;
        EXPECT_EQ(list.loadFromBuffer(c.buffer, &skipped), c.result);
        EXPECT_EQ(skipped.size(), c.skipped);
        std::vector<R> added = Copies(list);
        added.erase(added.begin(), added.begin() + static_cast<std::ptrdiff_t>(c.existing.size()));
        EXPECT_EQ(added, c.added);
    }
    EXPECT_THAT(
        TraceText(),
        HasSubstr("ERR: WARNING, invalid line found in StreamNameFile::loadFromBuffer()\r\n"));
}

TEST_F(StreamNameFileTest, FindIgnoresCaseRemoveTakesOnlyOwnRecordsImportAddsUnknownNames) {
    WriteList("Jazz\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n" + kDefaultLine);
    SetConfig("ActiveStream", "Jazz");
    StreamNameFile list;
    list.load();
    EXPECT_EQ(list.Find("JAZZ"), list.Records()[0].get());
    EXPECT_EQ(list.Find("Pop"), nullptr);
    const R stranger = *list.Find("Jazz");
    EXPECT_FALSE(list.Remove(&stranger));
    // Another spelling of a listed name would be a second folder for one stream.
    test::WriteFile(
        HomeFile("other.txt"),
        "jazz\tTwo\t1\t2\t3\t4\t5\t6\t0\t9\r\nRock\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n"
        "Jazz\tTwo\t0\t0\t0\t0\t0\t0\t0\t0\r\nRock\tTwo\t0\t0\t0\t0\t0\t0\t0\t0\r\n"
        "Bell\a\tOne\t0\t0\t0\t0\t0\t0\t0\t0\r\n");
    std::vector<std::string> skipped;
    EXPECT_EQ(list.ImportFrom(HomeFile("other.txt"), &skipped), 1);
    EXPECT_EQ(skipped, (std::vector<std::string>{"\"jazz\": the list has it as \"Jazz\"",
                                                 "\"Bell?\": holds a control character"}));
    EXPECT_EQ(Names(list), (std::vector<std::string>{"Jazz", "Default", "Rock"}));
    EXPECT_EQ(*list.Find("Rock"), (R{"Rock", 1, 1, 3, 15, 120, 360, 0, 1, 0}));
    EXPECT_TRUE(fs::is_directory(Root() + "Rock"));
    EXPECT_FALSE(fs::exists(Root() + "jazz"));
    // The imported file lacks a Default stream; that must not touch the settings.
    EXPECT_EQ(Config("ActiveStream"), "Jazz");
    EXPECT_EQ(list.ImportFrom(HomeFile("missing.txt")), 0);
    EXPECT_TRUE(list.Remove(list.Find("jazz")));
    EXPECT_FALSE(list.Contains("Jazz"));
}

TEST_F(StreamNameFileTest, HostileFileStillYieldsItsGoodLines) {
    std::string bytes = "Good 1\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n" +
                        std::string("\0\xff\x01\tbin", 7) + "\r\n" + std::string(1 << 20, 'x') +
                        "\r\n" + std::string(1 << 16, '\t') + "\r\n\t\t\t\t\t\t\t\t\r\n\r\n\n" +
                        std::string("Bin\0ary", 7) + "\tTwo\t\xff\t\x80\t3\t4\t5\t6\t7\t8\r\n" +
                        "Good 2\tTwo\t3\t120\t360\t15\t1\t0\t1";  // no line end at all
    WriteList(bytes);
    StreamNameFile list;
    EXPECT_TRUE(list.load());
    // "Bin\0ary" could never name its folder; two lines of blanks only.
    EXPECT_EQ(Copies(list), (std::vector<R>{{"Good 1", 1, 1, 3, 15, 120, 360, 0, 1, 0},
                                            {"", 2, 0},
                                            {"", 2, 0},
                                            {"Good 2", 2, 1, 3, 15, 120, 360, 0, 1, 0},
                                            kDefault}));
}

TEST_F(StreamNameFileTest, UnsafeNamesMakeNoFolderOutsideTheRoot) {
    const std::string root = HomeFile("deep/Streams/");
    SetConfig("StreamPath", HomeFile("deep/Streams"));
    std::string file;
    for (const std::string& name :
         {std::string(".."), std::string("."), std::string("../../escaped"), std::string("a/b"),
          std::string(), std::string(256, 'L'), std::string("..fine")})
        file += name + "\tOne\t0\t0\t0\t0\t0\t0\t0\t0\r\n";
    fs::create_directories(root);
    test::WriteFile(root + StreamNameFile::kFileName, file);
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
    EXPECT_THAT(
        TraceText(),
        HasSubstr("ERR: In StreamNameFile::load(), the stream name \"../../escaped\" cannot be "
                  "a folder name, skipping it\r\n"));
}

TEST(StreamNameFileNames, SafeFolderNamesAndNewNames) {
    // Names that are one folder and fit for a new stream; one folder but not
    // fit (blanks at an end, TABs and control characters the file would not
    // keep, too long); neither.
    for (const std::string& name :
         {std::string("Jazz FM"), std::string("..x"), std::string(127, 'n')}) {
        EXPECT_TRUE(StreamNameFile::IsSafeFolderName(name)) << name;
        EXPECT_EQ(StreamNameFile::NameProblem(name), "") << name;
    }
    for (const std::string& name :
         {std::string(" x"), std::string("x "), std::string("a\tb"), std::string("a\x1b[2J"),
          std::string("del\x7f"), std::string(128, 'n')}) {
        EXPECT_TRUE(StreamNameFile::IsSafeFolderName(name)) << name;
        EXPECT_NE(StreamNameFile::NameProblem(name), "") << name;
    }
    for (const std::string& name : {std::string(), std::string("."), std::string(".."),
                                    std::string("a/b"), std::string("/"), std::string("a\0b", 3)}) {
        EXPECT_FALSE(StreamNameFile::IsSafeFolderName(name)) << name;
        EXPECT_NE(StreamNameFile::NameProblem(name), "") << name;
    }
}

}  // namespace
}  // namespace wk
