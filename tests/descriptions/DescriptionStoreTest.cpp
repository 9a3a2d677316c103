#include <gmock/gmock.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "descriptions/Description.h"
#include "descriptions/DescriptionOrder.h"
#include "descriptions/DescriptionStore.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using ::testing::ElementsAre;

constexpr StreamTime kS = 1000;
const StreamTime kBase = DateTime(2003, 11, 7, 17, 40, 0).ToStreamTime();

const std::string kGolden =
    "07/11/2003  17:42:11.005\t07/11/2003  17:45:40.000\tArtist\tTitle\tAlbum\t2003\t\t17\t\t0";

std::string Join(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) line += '\t';
        line += fields[i];
    }
    return line;
}

// A record line with the given genre, fingerprint and (when present) flag field.
std::string LineWith(const std::string& genre, const std::string& print,
                     const std::vector<std::string>& flag) {
    std::vector<std::string> fields = {"07/11/2003  17:42:11.005", "07/11/2003  17:45:40.000",
                                       "A", "T", "B", "2003", "C", genre, print};
    fields.insert(fields.end(), flag.begin(), flag.end());
    return Join(fields);
}

Description Record(StreamTime start, StreamTime end, const std::string& title = "t") {
    Description d;
    d.start = start;
    d.end = end;
    d.title = title;
    return d;
}

std::vector<std::pair<StreamTime, StreamTime>> Times(const DescriptionStore& store) {
    DescriptionStore::Arrays arrays;
    store.ExportArrays(arrays);
    return arrays.times;
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// ---------------------------------------------------------------- lines

TEST(DescriptionLineTest, ParsesFields) {
    Description d;
    d.FromLine(kGolden);
    EXPECT_EQ(d.start, DateTime(2003, 11, 7, 17, 42, 11, 5).ToStreamTime());
    EXPECT_EQ(d.end, DateTime(2003, 11, 7, 17, 45, 40).ToStreamTime());
    EXPECT_EQ(d.artist, "Artist");
    EXPECT_EQ(d.title, "Title");
    EXPECT_EQ(d.album, "Album");
    EXPECT_EQ(d.year, "2003");
    EXPECT_EQ(d.comment, "");
    EXPECT_EQ(d.genre, 17);
    EXPECT_TRUE(d.fingerprint.empty());
    EXPECT_FALSE(d.notIdentified);
    EXPECT_EQ(d.ToLine(), kGolden);
}

TEST(DescriptionLineTest, GenreAndFlag) {
    struct Case {
        const char* name;
        std::string line;
        int32_t genre;
        bool flag;
    };
    const Case cases[] = {
        {"letters give 0", LineWith("abc", "", {"0"}), 0, false},
        {"empty gives -1", LineWith("", "", {"0"}), -1, false},
        {"digits stop at a non-digit", LineWith("12x3", "", {"0"}), 12, false},
        {"huge is clamped", LineWith("99999999999999999999", "", {"0"}), INT32_MAX, false},
        {"negative", LineWith("-5", "", {"0"}), -5, false},
        {"flag before CR LF", LineWith("1", "", {"1"}) + "\r", 1, true},
        {"flag with CR inside field", LineWith("1", "", {"1\r"}), 1, true},
        {"flag trimmed", LineWith("1", "", {"  1 "}), 1, true},
        {"flag 11 is not 1", LineWith("1", "", {"11"}), 1, false},
        {"exactly nine fields", LineWith("1", "", {}), 1, false},
        {"extra fields ignored", LineWith("1", "", {"1", "x", "y"}), 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Description d;
        d.notIdentified = !c.flag;
        d.FromLine(c.line);
        EXPECT_EQ(d.genre, c.genre);
        EXPECT_EQ(d.notIdentified, c.flag);
        EXPECT_EQ(d.title, "T");
    }
}

TEST(DescriptionLineTest, FewerThanNineFieldsGiveBlankRecord) {
    for (const std::string& line : {std::string(), std::string("x"),
                                   kGolden.substr(0, kGolden.rfind("\t\t"))}) {
        Description d;
        d.FromLine(kGolden + "\t1");
        d.fingerprint = "QUJD";
        d.fingerprintTime = 5;
        d.FromLine(line);
        EXPECT_EQ(d.start, 0);
        EXPECT_EQ(d.end, 0);
        EXPECT_EQ(d.artist, "");
        EXPECT_EQ(d.title, "");
        EXPECT_EQ(d.genre, -1);
        EXPECT_EQ(d.fingerprint, "");
        EXPECT_EQ(d.fingerprintTime, 0);
        EXPECT_FALSE(d.notIdentified);
    }
}

TEST(DescriptionLineTest, FingerprintField) {
    const StreamTime start = DateTime(2003, 11, 7, 17, 42, 11, 5).ToStreamTime();
    struct Case {
        const char* name;
        std::string field;
        std::string bytes;
        StreamTime time;
    };
    const Case cases[] = {
        {"offset and snippet", "1000:" + Base64Encode(Bytes("ABC")), "ABC", start - 1000},
        {"negative offset", "-250:QUJD", "ABC", start + 250},
        {"garbage offset counts 0", "x1:QUJD", "ABC", start},
        {"overflowing offset counts 0", "99999999999999999999999:QUJD", "ABC", start},
        {"no colon", "QUJD", "", 0},
        {"empty", "", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Description d;
        d.FromLine(LineWith("1", c.field, {"0"}));
        EXPECT_EQ(d.FingerprintBytes(), Bytes(c.bytes));
        EXPECT_EQ(d.fingerprintTime, c.time);
        if (!c.bytes.empty()) {
            // The offset is written back relative to the start.
            Description again;
            again.FromLine(d.ToLine());
            EXPECT_TRUE(again.SameContent(d));
        }
    }
}

TEST(DescriptionLineTest, TextCannotBreakTheLine) {
    Description d = Record(0, 1000, "a\tb\rc\nd");
    d.artist = "\t";
    const std::string line = d.ToLine();
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    Description back;
    back.FromLine(line);
    EXPECT_EQ(back.title, "a b c d");
    EXPECT_EQ(back.artist, " ");
    EXPECT_EQ(back.genre, -1);
}

TEST(DescriptionLineTest, AbsurdDatesDoNotCrash) {
    Description d;
    d.FromLine("99/99/9999  99:99:99.999\t00/00/0000  00:00:00.000\ta\tb\tc\td\te\t1\t"
               "-9223372036854775808:QUJD\t1");
    EXPECT_GT(d.start, 0);
    EXPECT_EQ(d.FingerprintBytes(), Bytes("ABC"));
    EXPECT_FALSE(d.ToLine().empty());
}

TEST(DescriptionLineTest, SameContentComparesEveryStoredField) {
    Description base;
    base.FromLine(LineWith("3", "10:QUJD", {"0"}));
    const std::vector<void (*)(Description&)> changes = {
        [](Description& d) { d.artist += "x"; },   [](Description& d) { d.title += "x"; },
        [](Description& d) { d.album += "x"; },    [](Description& d) { d.year += "x"; },
        [](Description& d) { d.comment += "x"; },  [](Description& d) { d.genre++; },
        [](Description& d) { d.fingerprint += "A"; }, [](Description& d) { d.fingerprintTime++; },
        [](Description& d) { d.start++; },        [](Description& d) { d.end++; },
        [](Description& d) { d.notIdentified = true; },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        Description other = base;
        changes[i](other);
        EXPECT_FALSE(base.SameContent(other));
    }
    Description same = base;
    same.coverage = kCoverageComplete;
    EXPECT_TRUE(base.SameContent(same));
}

// ---------------------------------------------------------------- base64

TEST(Base64Test, KnownVectors) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, coded] : cases) {
        SCOPED_TRACE(plain);
        EXPECT_EQ(Base64Encode(Bytes(plain)), coded);
        EXPECT_EQ(Base64Decode(coded), Bytes(plain));
    }
}

TEST(Base64Test, DecoderToleratesNoise) {
    const std::pair<const char*, const char*> cases[] = {
        {"Zm9v\r\nYmFy", "foobar"},  {" Z m 9 v ", "foo"},   {"Zm9v!!YmFy\x01", "foobar"},
        {"Zm8=Zm9v", "fo"},          {"Zg==Zm9v", "f"},      {"Zm9vYg", "foob"},
        {"Zm9vYmE", "fooba"},        {"Zm9vY", "foo"},       {"====", ""},
        {"\xff\xfe", ""},
    };
    for (const auto& [coded, plain] : cases) {
        SCOPED_TRACE(coded);
        EXPECT_EQ(Base64Decode(coded), Bytes(plain));
    }
}

TEST(Base64Test, SnippetRoundTrip) {
    std::vector<uint8_t> snippet(kSnippetBytes);
    for (size_t i = 0; i < snippet.size(); ++i) snippet[i] = static_cast<uint8_t>(i * 7 + i / 256);
    const std::string text = Base64Encode(snippet);
    EXPECT_EQ(text.size(), 536u);
    EXPECT_EQ(Base64Decode(text), snippet);
}

// ---------------------------------------------------------------- store

TEST(DescriptionStoreTest, FilePath) {
    struct Case {
        const char* folder;
        const char* name;
        const char* path;
    };
    const Case cases[] = {
        {"/d", "x", "/d/x.des"},        {"/d/", "desc", "/d/desc.des"},
        {"/d", "a.txt", "/d/a.des"},    {"/d", "a.des", "/d/a.des"},
        {"/d", "", "/d/desc.des"},      {"", "n", "n.des"},
        {"/d", "a.b.c", "/d/a.b.des"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(DescriptionStore(c.folder, c.name).FilePath(), c.path);
    }
}

TEST(DescriptionStoreTest, LoadHeaders) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string file;
        std::string headers[3];
        size_t records;
    };
    const Case cases[] = {
        {"only headers", "# 0.9\r\n# b\r\n# c\r\n", {"0.9", "b", "c"}, 0},
        {"any two characters", "xx0.9\nyyb\nzz" + std::string(kTrustedMarker) + "\n",
         {"0.9", "b", kTrustedMarker}, 0},
        {"short lines", "#\n\n# z", {"", "", "z"}, 0},
        {"missing lines", "# 0.9\r\n", {"0.9", "", ""}, 0},
        {"empty file", "", {"", "", ""}, 0},
        {"one record", "# 0.9\r\n# \r\n# \r\n" + kGolden + "\r\n", {"0.9", "", ""}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(dir.File("s.des"), c.file);
        DescriptionStore store(dir.Path(), "s");
        store.Add(Record(1, 2));
        EXPECT_TRUE(store.Load());
        EXPECT_EQ(store.header[0], c.headers[0]);
        EXPECT_EQ(store.header[1], c.headers[1]);
        EXPECT_EQ(store.header[2], c.headers[2]);
        EXPECT_EQ(store.IsTrusted(), c.headers[2] == kTrustedMarker);
        EXPECT_EQ(store.Size(), c.records);
    }
}

TEST(DescriptionStoreTest, LoadMissingFileGivesNewStore) {
    TempDir dir;
    DescriptionStore store(dir.Path(), "none");
    store.Add(Record(1, 2));
    EXPECT_FALSE(store.Load());
    EXPECT_EQ(store.Size(), 0u);
    ASSERT_TRUE(store.Save());
    EXPECT_EQ(ReadFile(dir.File("none.des")), "# 0.9\r\n# \r\n# \r\n");
    // A file that names no version is written with it.
    WriteFile(dir.File("none.des"), "# \r\n# b\r\n# c\r\n");
    ASSERT_TRUE(store.Load());
    ASSERT_TRUE(store.Save());
    EXPECT_EQ(ReadFile(dir.File("none.des")), "# 0.9\r\n# b\r\n# c\r\n");
}

TEST(DescriptionStoreTest, SaveLoadRoundTripIsByteExact) {
    TempDir dir;
    const std::string content = "# 0.9\r\n# second\r\n# " + std::string(kTrustedMarker) +
                                "\r\n" + kGolden + "\r\n" +
                                "08/11/2003  01:00:00.000\t08/11/2003  01:03:00.999\ta\tb\tc\td\te"
                                "\t\t-1000:QUJD\t1\r\n";
    WriteFile(dir.File("r.des"), content);
    DescriptionStore store(dir.Path(), "r");
    ASSERT_TRUE(store.Load());
    EXPECT_EQ(store.Size(), 2u);
    EXPECT_TRUE(store.IsTrusted());
    WriteFile(dir.File("r.des"), "");
    ASSERT_TRUE(store.Save());
    EXPECT_EQ(ReadFile(dir.File("r.des")), content);
    for (const auto& e : fs::directory_iterator(dir.Path()))
        EXPECT_EQ(e.path().filename().string().find(".new"), std::string::npos) << e.path();
}

TEST(DescriptionStoreTest, SaveFailureKeepsOldFile) {
    TempDir dir;
    // A folder in the file's place cannot be replaced, even by root.
    fs::create_directories(dir.File("k.des/old"));
    DescriptionStore store(dir.Path(), "k");
    store.Add(Record(1, 2));
    EXPECT_FALSE(store.Save());
    EXPECT_TRUE(fs::is_directory(dir.File("k.des/old")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);

    DescriptionStore nowhere(dir.File("no/such/folder"), "k");
    EXPECT_FALSE(nowhere.Save());
}

TEST(DescriptionStoreTest, HostileFilesLoad) {
    TempDir dir;
    std::string binary = "# 0.9\n# \n# \n";
    for (int i = 0; i < 4096; ++i) {
        const char c = static_cast<char>(i * 31 % 256);
        binary += c == '\n' ? '\0' : c;
    }
    binary += "\n" + kGolden + "\n";

    std::string longLine = "# 0.9\n# \n# \n" + kGolden.substr(0, kGolden.find("Title")) +
                           std::string(1 << 20, 'x') + "\t\t\t\t\t\t\t\n" + kGolden + "\n";

    std::string garbage = "# 0.9\n# \n# \n" + LineWith("9", "12:!!!@@@###", {"1"}) + "\n" +
                          LineWith("9", "::::", {}) + "\n" + kGolden + "\n";

    std::string many = "# 0.9\r\n# \r\n# \r\n";
    for (int i = 0; i < 10000; ++i) {
        Description d = Record(kBase + i * 10 * kS, kBase + i * 10 * kS + 5 * kS);
        d.fingerprint = "QUJD";
        d.fingerprintTime = d.start - 1000;
        many += d.ToLine() + "\r\n";
    }

    struct Case {
        const char* name;
        std::string file;
        size_t records;
        int duplicates;
    };
    const Case cases[] = {
        {"binary", binary, 2, 0},
        {"1 MB line", longLine, 2, 0},
        {"missing fields", "# \n# \n# \n\t\t\n" + kGolden + "\nshort\n", 3, 1},
        {"base64 garbage", garbage, 3, 1},  // two lines differ only in their snippets
        {"10000 records", many, 10000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(dir.File("h.des"), c.file);
        DescriptionStore store(dir.Path(), "h");
        ASSERT_TRUE(store.Load());
        EXPECT_EQ(store.Size(), c.records);
        ASSERT_NE(store.FindAt(DateTime(2003, 11, 7, 17, 43, 0).ToStreamTime(), false), nullptr);
        EXPECT_EQ(store.RemoveDuplicates(), c.duplicates);
        EXPECT_TRUE(store.Save());
    }
}

TEST(DescriptionStoreTest, AddOrder) {
    DescriptionStore store;
    store.Add(Record(25 * kS, 26 * kS));
    store.Add(Record(20 * kS, 30 * kS));
    store.Add(Record(0, 10 * kS));
    store.Add(Record(40 * kS, 50 * kS));
    EXPECT_THAT(Times(store), ElementsAre(std::pair(0 * kS, 10 * kS), std::pair(25 * kS, 26 * kS),
                                          std::pair(20 * kS, 30 * kS),
                                          std::pair(40 * kS, 50 * kS)));
}

TEST(DescriptionStoreTest, AddIfFreeAndAddReplacing) {
    using Span = std::pair<StreamTime, StreamTime>;
    struct Case {
        const char* name;
        std::vector<Span> existing;
        Span added;
        bool free;
        std::vector<Span> afterReplacing;
    };
    const Case cases[] = {
        {"touching end", {{20, 30}}, {10, 20}, false, {{20, 30}, {10, 20}}},
        {"before", {{20, 30}}, {10, 19}, true, {{10, 19}, {20, 30}}},
        {"touching start", {{20, 30}}, {30, 40}, false, {{20, 30}, {30, 40}}},
        {"inside", {{20, 30}}, {22, 25}, false, {{20, 30}, {22, 25}}},
        {"around", {{15, 25}, {35, 50}}, {10, 40}, false, {{10, 40}}},
        {"around exactly", {{10, 40}}, {10, 40}, false, {{10, 40}}},  // the same record
        {"disjoint", {{20, 30}}, {31, 40}, true, {{20, 30}, {31, 40}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DescriptionStore free;
        DescriptionStore replacing;
        for (const Span& s : c.existing) {
            free.Add(Record(s.first * kS, s.second * kS));
            replacing.Add(Record(s.first * kS, s.second * kS));
        }
        const Description added = Record(c.added.first * kS, c.added.second * kS);
        EXPECT_EQ(free.AddIfFree(added), c.free);
        EXPECT_EQ(free.Size(), c.existing.size() + (c.free ? 1 : 0));
        replacing.AddReplacing(added);
        std::vector<Span> expected;
        for (const Span& s : c.afterReplacing) expected.emplace_back(s.first * kS, s.second * kS);
        EXPECT_EQ(Times(replacing), expected);
    }
}

TEST(DescriptionStoreTest, RemoveDuplicatesKeepsFirstOccurrence) {
    DescriptionStore store;
    store.Add(Record(0, 10, "a"));
    store.Add(Record(0, 10, "a"));
    store.Add(Record(0, 10, "b"));
    store.Add(Record(0, 10, "a"));
    store.Records()[2]->comment = "first b";
    store.Add(Record(0, 10, "b"));  // the same record whatever its comment
    store.Add(Record(0, 11, "b"));
    EXPECT_EQ(store.RemoveDuplicates(), 3);
    ASSERT_EQ(store.Size(), 3u);
    EXPECT_EQ(store.Records()[0]->title, "a");
    EXPECT_EQ(store.Records()[1]->comment, "first b");
    EXPECT_EQ(store.Records()[2]->end, 11);
    EXPECT_EQ(store.RemoveDuplicates(), 0);
}

TEST(DescriptionStoreTest, MergeReplacingAndFree) {
    using Span = std::pair<StreamTime, StreamTime>;
    const auto fill = [](DescriptionStore& store, const std::vector<Span>& s) {
        for (const auto& [a, b] : s) store.Add(Record(a * kS, b * kS, std::to_string(a)));
    };
    const auto seconds = [](const DescriptionStore& store) {
        std::vector<Span> s;
        for (const auto& [a, b] : Times(store)) s.emplace_back(a / kS, b / kS);
        return s;
    };
    struct Case {
        const char* name;
        std::vector<Span> held;
        std::vector<Span> incoming;
        std::vector<Span> replaced;  // after Merge(incoming, true)
        std::vector<Span> free;      // after Merge(incoming, false)
    };
    const Case cases[] = {
        {"replaces and refuses held records",
         {{15, 25}, {100, 110}},
         {{10, 40}, {100, 110}},
         {{10, 40}, {100, 110}},
         {{15, 25}, {100, 110}}},
        // Songs that crossfade overlap by seconds: neither removes the other.
        {"crossfade",
         {},
         {{0, 182}, {180, 360}, {358, 500}},
         {{0, 182}, {180, 360}, {358, 500}},
         {{0, 182}, {180, 360}, {358, 500}}},
        // The same file again adds nothing; its records replace no held one.
        {"the same file twice",
         {{0, 182}, {180, 360}},
         {{0, 182}, {180, 360}},
         {{0, 182}, {180, 360}},
         {{0, 182}, {180, 360}}},
        {"a record twice in one file", {}, {{5, 9}, {5, 9}}, {{5, 9}}, {{5, 9}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool replace : {true, false}) {
            DescriptionStore store;
            DescriptionStore incoming;
            fill(store, c.held);
            fill(incoming, c.incoming);
            store.Merge(incoming, replace);
            EXPECT_EQ(seconds(store), replace ? c.replaced : c.free) << "replace " << replace;
        }
    }

    DescriptionStore store;
    fill(store, {{0, 10}, {20, 30}});
    store.Merge(store, true);
    EXPECT_EQ(store.Size(), 2u);

    // One file adds at most kMaxMergedRecords.
    DescriptionStore huge;
    for (size_t i = 0; i < kMaxMergedRecords + 5; ++i) {
        const auto start = static_cast<StreamTime>(i) * 10 + 100 * kS;
        huge.Records().push_back(std::make_unique<Description>(Record(start, start + 5)));
    }
    const MergeResult result = store.Merge(huge, true);
    EXPECT_EQ(result.refused, 5u);
    EXPECT_EQ(store.Size(), kMaxMergedRecords + 2);
}

// Loading and merging build the list with DescriptionOrder; its order must be
// the one record-by-record insertion gives, and cost O(log n) a record.
TEST(DescriptionStoreTest, BulkOrderEqualsAddOneByOne) {
    std::mt19937 random(13);
    std::uniform_int_distribution<StreamTime> at(100, 4000);
    std::uniform_int_distribution<StreamTime> length(-50, 400);  // a few end before they start
    std::vector<Description> records;
    for (int i = 0; i < 3000; ++i) {
        const StreamTime start = at(random);
        records.push_back(Record(start, start + length(random), std::to_string(i)));
    }
    // The rule as written: before the first record starting after the new end.
    std::vector<std::string> expected;
    std::vector<const Description*> list;
    for (const Description& d : records) {
        const auto later = std::find_if(list.begin(), list.end(),
                                        [&](const Description* e) { return e->start > d.end; });
        list.insert(later, &d);
    }
    for (const Description* d : list) expected.push_back(d->title);

    std::string file = "# 0.9\n# \n# \n";
    for (const Description& d : records) file += d.ToLine() + "\n";
    DescriptionStore loaded;
    loaded.LoadText(file);
    DescriptionOrder order;
    for (const Description& d : records) order.Add(std::make_unique<Description>(d));
    std::vector<std::string> bulk;
    std::vector<std::string> read;
    for (const auto& d : order.TakeAll()) bulk.push_back(d->title);
    for (const auto& d : loaded.Records()) read.push_back(d->title);
    EXPECT_EQ(bulk, expected);
    EXPECT_EQ(read, expected);

    // Records ever earlier: each goes to the front, the worst case of a list.
    constexpr int kMany = 100000;
    DescriptionOrder reversed;
    for (int i = kMany; i > 0; --i) reversed.Add(std::make_unique<Description>(Record(i, i)));
    EXPECT_LT(reversed.Steps(), 100u * kMany);  // about 2.5 log2(n) each; a list: n * n / 2
    const auto taken = reversed.TakeAll();
    ASSERT_EQ(taken.size(), size_t{kMany});
    EXPECT_EQ(taken.front()->start, 1);
}

TEST(DescriptionStoreTest, FindRemoveShift) {
    DescriptionStore store;
    store.Add(Record(10, 20, "x"));
    store.Add(Record(30, 40, "y"));
    store.Add(Record(50, 60, "x"));
    ASSERT_NE(store.FindAt(35, false), nullptr);
    EXPECT_EQ(store.FindAt(35, false)->title, "y");
    EXPECT_EQ(store.FindAt(35, true), nullptr);
    EXPECT_EQ(store.FindAt(30, true)->title, "y");
    EXPECT_EQ(store.FindAt(25, false), nullptr);

    store.Records()[1]->fingerprintTime = 29;
    store.ShiftAll(5, -5);
    EXPECT_THAT(Times(store), ElementsAre(std::pair<StreamTime, StreamTime>(15, 15),
                                          std::pair<StreamTime, StreamTime>(35, 35),
                                          std::pair<StreamTime, StreamTime>(55, 55)));
    EXPECT_EQ(store.Records()[1]->fingerprintTime, 29);

    EXPECT_EQ(store.RemoveByTitle("x"), 2);
    EXPECT_EQ(store.RemoveByTitle("x"), 0);
    EXPECT_EQ(store.Size(), 1u);
    store.header[1] = "kept";
    store.Clear();
    EXPECT_EQ(store.Size(), 0u);
    EXPECT_EQ(store.header[1], "kept");
}

TEST(DescriptionStoreTest, MarkCoverage) {
    DescriptionStore store;
    const std::pair<StreamTime, StreamTime> spans[] = {
        {10, 90}, {90, 150}, {120, 180}, {250, 260}, {350, 400}};
    for (const auto& [s, e] : spans) store.Add(Record(s, e));
    store.MarkCoverage({{0, 100}, {200, 300}});
    DescriptionStore::Arrays arrays;
    store.ExportArrays(arrays);
    EXPECT_THAT(arrays.states, ElementsAre(kCoverageComplete, kCoveragePartial, kCoverageMissing,
                                           kCoverageComplete, kCoverageMissing));
    ASSERT_EQ(arrays.records.size(), 5u);
    EXPECT_EQ(arrays.records[3], store.Records()[3].get());

    store.MarkCoverage({});
    store.ExportArrays(arrays);
    EXPECT_THAT(arrays.states, ::testing::Each(kCoverageMissing));
}

// Chunks of 10 s in a 30 s session; each side file holds 1000 bytes that tell
// chunk and position apart.
class DescriptionFingerprintTest : public ::testing::Test {
protected:
    void SetUp() override {
        const DateTime start(2003, 11, 7, 17, 40, 0);
        for (int number = 1; number <= 3; ++number) {
            const std::string base = m_dir.File(ChunkBaseName(start, 30, 10, number));
            WriteFile(base + ".mp3", "");
            WriteFile(base + ".dat", std::string(1000, 'd'));
            std::string fgp(1000, '\0');
            for (size_t i = 0; i < fgp.size(); ++i) fgp[i] = static_cast<char>(Side(number, i));
            WriteFile(base + ".fgp", fgp);
        }
        m_info.folder = m_dir.Path();
        UpdateStreamInfo(m_info);
    }
    static uint8_t Side(int number, size_t i) {
        return static_cast<uint8_t>(number * 89 + i * 7 + i / 251);
    }
    std::vector<uint8_t> Expected(int number, size_t position) const {
        std::vector<uint8_t> bytes;
        for (size_t i = position; i < position + kSnippetBytes; ++i) bytes.push_back(Side(number, i));
        return bytes;
    }
    TempDir m_dir;
    StreamInfo m_info;
};

TEST_F(DescriptionFingerprintTest, AttachesSnippets) {
    struct Case {
        const char* name;
        StreamTime start;
        StreamTime snippetTime;  // -1: left as it was
        int chunk;
        size_t position;
    };
    const Case cases[] = {
        {"near the end takes 4 s before the end", 28 * kS, 26 * kS, 3, 600},
        {"last millisecond", 30 * kS - 1, 26 * kS, 3, 600},
        {"middle takes 1 s before", 15 * kS, 14 * kS, 2, 400},
        {"session start takes the start", 500, 500, 1, 50},
        {"outside the recording", 40 * kS, -1, 0, 0},
        {"before the recording", -5 * kS, -1, 0, 0},
    };
    DescriptionStore store;
    for (const Case& c : cases) {
        Description d = Record(kBase + c.start, kBase + c.start + kS, c.name);
        d.fingerprint = "QUJD";
        d.fingerprintTime = 7;
        store.Add(d);
    }
    store.AttachFingerprints();  // no stream: nothing changes
    for (const auto& d : store.Records()) EXPECT_EQ(d->fingerprint, "QUJD");

    store.SetStreamInfo(&m_info);
    store.AttachFingerprints();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Description* d = store.FindAt(kBase + c.start, true);
        ASSERT_NE(d, nullptr);
        if (c.snippetTime < 0) {
            EXPECT_EQ(d->fingerprint, "QUJD");
            EXPECT_EQ(d->fingerprintTime, 7);
        } else {
            EXPECT_EQ(d->fingerprintTime, kBase + c.snippetTime);
            EXPECT_EQ(d->fingerprint.size(), 536u);
            EXPECT_EQ(d->FingerprintBytes(), Expected(c.chunk, c.position));
        }
    }
}

TEST_F(DescriptionFingerprintTest, ShortSideDataKeepsOldSnippet) {
    // The last chunk's side file ends early, so a snippet there is incomplete.
    const std::string base = m_dir.File(ChunkBaseName(DateTime(2003, 11, 7, 17, 40, 0), 30, 10, 3));
    WriteFile(base + ".fgp", std::string(700, 'f'));
    DescriptionStore store;
    store.SetStreamInfo(&m_info);
    Description d = Record(kBase + 29 * kS, kBase + 30 * kS);
    d.fingerprint = "QUJD";
    d.fingerprintTime = 7;
    store.Add(d);
    store.AttachFingerprints();
    EXPECT_EQ(store.Records()[0]->fingerprint, "QUJD");
    EXPECT_EQ(store.Records()[0]->fingerprintTime, 7);
}

TEST_F(DescriptionFingerprintTest, SaveAttachesSnippets) {
    DescriptionStore store(m_dir.Path(), "s");
    store.SetStreamInfo(&m_info);
    store.Add(Record(kBase + 15 * kS, kBase + 20 * kS));
    ASSERT_TRUE(store.Save());
    DescriptionStore loaded(m_dir.Path(), "s");
    ASSERT_TRUE(loaded.Load());
    ASSERT_EQ(loaded.Size(), 1u);
    EXPECT_EQ(loaded.Records()[0]->fingerprintTime, kBase + 14 * kS);
    EXPECT_EQ(loaded.Records()[0]->FingerprintBytes(), Expected(2, 400));
}

}  // namespace
}  // namespace wk
