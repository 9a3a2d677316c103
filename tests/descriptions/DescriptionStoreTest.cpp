#include <gmock/gmock.h>

#include <filesystem>
#include <random>

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
using Span = std::pair<StreamTime, StreamTime>;

constexpr StreamTime kS = 1000;
const StreamTime kBase = DateTime(2003, 11, 7, 17, 40, 0).ToStreamTime();
const std::string kGolden =
    "07/11/2003  17:42:11.005\t07/11/2003  17:45:40.000\tArtist\tTitle\tAlbum\t2003\t\t17\t\t0";

// A record line with the given genre, fingerprint and (when present) flag field.
std::string LineWith(const std::string& genre, const std::string& print,
                     const std::vector<std::string>& flag) {
    std::string line = "07/11/2003  17:42:11.005\t07/11/2003  17:45:40.000\tA\tT\tB\t2003\tC\t" +
                       genre + "\t" + print;
    for (const std::string& f : flag) line += "\t" + f;
    return line;
}

Description Record(StreamTime start, StreamTime end, const std::string& title = "t") {
    Description d;
    d.start = start;
    d.end = end;
    d.title = title;
    return d;
}

std::vector<Span> Times(const DescriptionStore& store, StreamTime unit = 1) {
    DescriptionStore::Arrays arrays;
    store.ExportArrays(arrays);
    for (Span& s : arrays.times) s = {s.first / unit, s.second / unit};
    return arrays.times;
}

void Fill(DescriptionStore& store, const std::vector<Span>& spans) {
    for (const auto& [a, b] : spans) store.Add(Record(a * kS, b * kS));
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST(DescriptionLineTest, ParsesFieldsAndWritesThemBack) {
    Description d;
    d.FromLine(kGolden);
    Description expected = Record(DateTime(2003, 11, 7, 17, 42, 11, 5).ToStreamTime(),
                                  DateTime(2003, 11, 7, 17, 45, 40).ToStreamTime(), "Title");
    expected.artist = "Artist";
    expected.album = "Album";
    expected.year = "2003";
    expected.genre = 17;
    EXPECT_TRUE(d.SameContent(expected));
    EXPECT_EQ(d.ToLine(), kGolden);
    // Fewer than nine fields give a blank record, whatever it held before.
    for (const std::string& line :
         {std::string(), std::string("x"), kGolden.substr(0, kGolden.rfind("\t\t"))}) {
        d.FromLine(kGolden + "\t1");
        d.fingerprint = "QUJD";
        d.fingerprintTime = 5;
        d.FromLine(line);
        Description blank;
        blank.genre = -1;
        EXPECT_TRUE(d.SameContent(blank)) << line;
    }
}

TEST(DescriptionLineTest, GenreAndFlag) {
    const std::tuple<std::string, int32_t, bool> cases[] = {
        {LineWith("abc", "", {"0"}), 0, false},  // letters give 0
        {LineWith("", "", {"0"}), -1, false},
        {LineWith("12x3", "", {"0"}), 12, false},  // digits stop at a non-digit
        {LineWith("99999999999999999999", "", {"0"}), INT32_MAX, false},
        {LineWith("-5", "", {"0"}), -5, false},
        {LineWith("1", "", {"1"}) + "\r", 1, true},  // flag before CR LF
        {LineWith("1", "", {"1\r"}), 1, true},
        {LineWith("1", "", {"  1 "}), 1, true},
        {LineWith("1", "", {"11"}), 1, false},
        {LineWith("1", "", {}), 1, false},  // exactly nine fields
        {LineWith("1", "", {"1", "x", "y"}), 1, true},
    };
    for (const auto& [line, genre, flag] : cases) {
        Description d;
        d.notIdentified = !flag;
        d.FromLine(line);
        EXPECT_EQ(d.genre, genre) << line;
        EXPECT_EQ(d.notIdentified, flag) << line;
        EXPECT_EQ(d.title, "T") << line;
    }
}

TEST(DescriptionLineTest, TimesPastTheLastWritableYearAreHeldThere) {
    // Rolled-over fields would reach year 10000, which a line cannot carry.
    for (const char* time : {"31/12/9999  99:99:00.000", "31/12/9999  23:59:59.999"}) {
        Description d;
        d.FromLine(std::string(time) + "\t" + time + "\tA\tT\t\t\t\t0\t\t0");
        EXPECT_EQ(d.start, DateTime(9999, 12, 31, 23, 59, 59, 999).ToStreamTime()) << time;
        Description again;
        again.FromLine(d.ToLine());
        EXPECT_EQ(again.ToLine(), d.ToLine()) << time;
    }
}

TEST(DescriptionLineTest, FingerprintField) {
    const StreamTime start = DateTime(2003, 11, 7, 17, 42, 11, 5).ToStreamTime();
    // The field, the snippet's bytes, its time (the offset is before the start).
    const std::tuple<std::string, std::string, StreamTime> cases[] = {
        {"1000:" + Base64Encode(Bytes("ABC")), "ABC", start - 1000},
        {"-250:QUJD", "ABC", start + 250},
        {"x1:QUJD", "ABC", start},  // a garbage offset counts 0
        {"99999999999999999999999:QUJD", "ABC", start},
        {"QUJD", "", 0},  // no colon
        {"", "", 0},
    };
    for (const auto& [field, bytes, time] : cases) {
        Description d;
        d.FromLine(LineWith("1", field, {"0"}));
        EXPECT_EQ(d.FingerprintBytes(), Bytes(bytes)) << field;
        EXPECT_EQ(d.fingerprintTime, time) << field;
        // The offset is written back relative to the start.
        Description again;
        again.FromLine(d.ToLine());
        EXPECT_TRUE(bytes.empty() || again.SameContent(d)) << field;
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

TEST(DescriptionLineTest, SameContentComparesEveryStoredField) {
    Description base;
    base.FromLine(LineWith("3", "10:QUJD", {"0"}));
    const std::vector<void (*)(Description&)> changes = {
        [](Description& d) { d.artist += "x"; },
        [](Description& d) { d.title += "x"; },
        [](Description& d) { d.album += "x"; },
        [](Description& d) { d.year += "x"; },
        [](Description& d) { d.comment += "x"; },
        [](Description& d) { d.genre++; },
        [](Description& d) { d.fingerprint += "A"; },
        [](Description& d) { d.fingerprintTime++; },
        [](Description& d) { d.start++; },
        [](Description& d) { d.end++; },
        [](Description& d) { d.notIdentified = true; },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        Description other = base;
        changes[i](other);
        EXPECT_FALSE(base.SameContent(other)) << i;
    }
    Description same = base;
    same.coverage = kCoverageComplete;
    EXPECT_TRUE(base.SameContent(same));
}

TEST(Base64Test, KnownVectorsNoiseAndASnippet) {
    const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, coded] : vectors) {
        EXPECT_EQ(Base64Encode(Bytes(plain)), coded);
        EXPECT_EQ(Base64Decode(coded), Bytes(plain));
    }
    const std::pair<const char*, const char*> noisy[] = {{"Zm9v\r\nYmFy", "foobar"},
                                                         {" Z m 9 v ", "foo"},
                                                         {"Zm9v!!YmFy\x01", "foobar"},
                                                         {"Zm8=Zm9v", "fo"},
                                                         {"Zg==Zm9v", "f"},
                                                         {"Zm9vYg", "foob"},
                                                         {"Zm9vYmE", "fooba"},
                                                         {"Zm9vY", "foo"},
                                                         {"====", ""},
                                                         {"\xff\xfe", ""}};
    for (const auto& [coded, plain] : noisy) EXPECT_EQ(Base64Decode(coded), Bytes(plain)) << coded;
    std::vector<uint8_t> snippet(kSnippetBytes);
    for (size_t i = 0; i < snippet.size(); ++i) snippet[i] = static_cast<uint8_t>(i * 7 + i / 256);
    EXPECT_EQ(Base64Encode(snippet).size(), 536u);
    EXPECT_EQ(Base64Decode(Base64Encode(snippet)), snippet);
}

TEST(DescriptionStoreTest, FilePath) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"/d", "x", "/d/x.des"},      {"/d/", "desc", "/d/desc.des"}, {"/d", "a.txt", "/d/a.des"},
        {"/d", "a.des", "/d/a.des"},  {"/d", "", "/d/desc.des"},      {"", "n", "n.des"},
        {"/d", "a.b.c", "/d/a.b.des"}};
    for (const auto& [folder, name, path] : cases)
        EXPECT_EQ(DescriptionStore(folder, name).FilePath(), path);
}

TEST(DescriptionStoreTest, LoadHeaders) {
    TempDir dir;
    const std::tuple<std::string, std::vector<std::string>, size_t> cases[] = {
        {"# 0.9\r\n# b\r\n# c\r\n", {"0.9", "b", "c"}, 0},
        {"xx0.9\nyyb\nzz" + std::string(kTrustedMarker) + "\n",
         {"0.9", "b", kTrustedMarker},
         0},                             // any two characters
        {"#\n\n# z", {"", "", "z"}, 0},  // short lines
        {"# 0.9\r\n", {"0.9", "", ""}, 0},
        {"", {"", "", ""}, 0},
        {"# 0.9\r\n# \r\n# \r\n" + kGolden + "\r\n", {"0.9", "", ""}, 1},
    };
    for (const auto& [file, headers, records] : cases) {
        WriteFile(dir.File("s.des"), file);
        DescriptionStore store(dir.Path(), "s");
        store.Add(Record(1, 2));
        EXPECT_TRUE(store.Load());
        EXPECT_EQ(std::vector<std::string>(store.header, store.header + 3), headers) << file;
        EXPECT_EQ(store.IsTrusted(), headers[2] == kTrustedMarker);
        EXPECT_EQ(store.Size(), records);
    }
}

TEST(DescriptionStoreTest, SaveAndLoadByteForByteAndFailuresKeepTheOldFile) {
    TempDir dir;
    // A missing file gives a new store, saved with the version.
    DescriptionStore store(dir.Path(), "r");
    store.Add(Record(1, 2));
    EXPECT_FALSE(store.Load());
    EXPECT_EQ(store.Size(), 0u);
    ASSERT_TRUE(store.Save());
    EXPECT_EQ(ReadFile(dir.File("r.des")), "# 0.9\r\n# \r\n# \r\n");
    // A file that names no version is written with it.
    WriteFile(dir.File("r.des"), "# \r\n# b\r\n# c\r\n");
    ASSERT_TRUE(store.Load() && store.Save());
    EXPECT_EQ(ReadFile(dir.File("r.des")), "# 0.9\r\n# b\r\n# c\r\n");
    const std::string content =
        "# 0.9\r\n# second\r\n# " + std::string(kTrustedMarker) + "\r\n" + kGolden + "\r\n" +
        "08/11/2003  01:00:00.000\t08/11/2003  01:03:00.999\ta\tb\tc\td\te\t\t-1000:QUJD\t1\r\n";
    WriteFile(dir.File("r.des"), content);
    ASSERT_TRUE(store.Load());
    EXPECT_EQ(store.Size(), 2u);
    EXPECT_TRUE(store.IsTrusted());
    WriteFile(dir.File("r.des"), "");
    ASSERT_TRUE(store.Save());
    EXPECT_EQ(ReadFile(dir.File("r.des")), content);
    // A folder in the file's place cannot be replaced, even by root; nothing
    // is left beside it.
    fs::create_directories(dir.File("k.des/old"));
    store.SetName("k");
    EXPECT_FALSE(store.Save());
    EXPECT_TRUE(fs::is_directory(dir.File("k.des/old")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 2);
    EXPECT_FALSE(DescriptionStore(dir.File("no/such/folder"), "k").Save());
}

TEST(DescriptionStoreTest, HostileFilesLoad) {
    TempDir dir;
    const std::string header = "# 0.9\n# \n# \n";
    std::string binary = header;
    for (int i = 0; i < 4096; ++i)
        binary += static_cast<char>(i * 31 % 256 == '\n' ? 0 : i * 31 % 256);
    std::string many = "# 0.9\r\n# \r\n# \r\n";
    for (int i = 0; i < 10000; ++i) {
        Description d = Record(kBase + i * 10 * kS, kBase + i * 10 * kS + 5 * kS);
        d.fingerprint = "QUJD";
        d.fingerprintTime = d.start - 1000;
        many += d.ToLine() + "\r\n";
    }
    // The file, its records, the duplicates among them.
    const std::tuple<std::string, size_t, int> cases[] = {
        {binary + "\n" + kGolden + "\n", 2, 0},
        {header + kGolden.substr(0, kGolden.find("Title")) + std::string(1 << 20, 'x') +
             "\t\t\t\t\t\t\t\n" + kGolden + "\n",
         2, 0},                                                // a 1 MB line
        {"# \n# \n# \n\t\t\n" + kGolden + "\nshort\n", 3, 1},  // missing fields
        // Two lines that differ only in their snippets, absurd dates and offsets.
        {header + LineWith("9", "12:!!!@@@###", {"1"}) + "\n" + LineWith("9", "::::", {}) + "\n" +
             kGolden +
             "\n99/99/9999  99:99:99.999\t00/00/0000  "
             "00:00:00.000\ta\tb\tc\td\te\t1\t-9223372036854775808:QUJD\t1\n",
         4, 1},
        {many, 10000, 0},
    };
    for (const auto& [file, records, duplicates] : cases) {
        WriteFile(dir.File("h.des"), file);
        DescriptionStore store(dir.Path(), "h");
        ASSERT_TRUE(store.Load());
        EXPECT_EQ(store.Size(), records);
        ASSERT_NE(store.FindAt(DateTime(2003, 11, 7, 17, 43, 0).ToStreamTime(), false), nullptr);
        EXPECT_EQ(store.RemoveDuplicates(), duplicates);
        EXPECT_TRUE(store.Save());
        for (const auto& d : store.Records()) EXPECT_FALSE(d->ToLine().empty());
    }
}

TEST(DescriptionStoreTest, AddOrderAddIfFreeAndAddReplacing) {
    DescriptionStore store;
    Fill(store, {{25, 26}, {20, 30}, {0, 10}, {40, 50}});
    EXPECT_EQ(Times(store, kS), (std::vector<Span>{{0, 10}, {25, 26}, {20, 30}, {40, 50}}));
    struct Case {
        std::vector<Span> existing;
        Span added;
        bool free;
        std::vector<Span> afterReplacing;
    } const cases[] = {
        {{{20, 30}}, {10, 20}, false, {{20, 30}, {10, 20}}},  // touching its end
        {{{20, 30}}, {10, 19}, true, {{10, 19}, {20, 30}}},
        {{{20, 30}}, {30, 40}, false, {{20, 30}, {30, 40}}},  // touching its start
        {{{20, 30}}, {22, 25}, false, {{20, 30}, {22, 25}}},  // inside
        {{{15, 25}, {35, 50}}, {10, 40}, false, {{10, 40}}},  // around
        {{{10, 40}}, {10, 40}, false, {{10, 40}}},            // the same record
        {{{20, 30}}, {31, 40}, true, {{20, 30}, {31, 40}}},
    };
    for (const Case& c : cases) {
        DescriptionStore free, replacing;
        Fill(free, c.existing);
        Fill(replacing, c.existing);
        const Description added = Record(c.added.first * kS, c.added.second * kS);
        EXPECT_EQ(free.AddIfFree(added), c.free) << c.added.first;
        EXPECT_EQ(free.Size(), c.existing.size() + (c.free ? 1 : 0));
        replacing.AddReplacing(added);
        EXPECT_EQ(Times(replacing, kS), c.afterReplacing) << c.added.first;
    }
}

TEST(DescriptionStoreTest, RemoveDuplicatesKeepsFirstOccurrence) {
    DescriptionStore store;
    for (const char* title : {"a", "a", "b", "a"}) store.Add(Record(0, 10, title));
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
    struct Case {
        std::vector<Span> held, incoming;
        std::vector<Span> replaced;  // after Merge(incoming, true)
        std::vector<Span> free;      // after Merge(incoming, false)
    } const cases[] = {
        // Replaces and refuses held records.
        {{{15, 25}, {100, 110}},
         {{10, 40}, {100, 110}},
         {{10, 40}, {100, 110}},
         {{15, 25}, {100, 110}}},
        // Songs that crossfade overlap by seconds: neither removes the other.
        {{},
         {{0, 182}, {180, 360}, {358, 500}},
         {{0, 182}, {180, 360}, {358, 500}},
         {{0, 182}, {180, 360}, {358, 500}}},
        // The same file again adds nothing; its records replace no held one.
        {{{0, 182}, {180, 360}},
         {{0, 182}, {180, 360}},
         {{0, 182}, {180, 360}},
         {{0, 182}, {180, 360}}},
        {{}, {{5, 9}, {5, 9}}, {{5, 9}}, {{5, 9}}},  // a record twice in one file
    };
    for (const Case& c : cases) {
        for (const bool replace : {true, false}) {
            DescriptionStore store, incoming;
            Fill(store, c.held);
            Fill(incoming, c.incoming);
            store.Merge(incoming, replace);
            EXPECT_EQ(Times(store, kS), replace ? c.replaced : c.free)
                << c.incoming.size() << " " << replace;
        }
    }
    DescriptionStore store;
    Fill(store, {{0, 10}, {20, 30}});
    store.Merge(store, true);
    EXPECT_EQ(store.Size(), 2u);
    // One file adds at most kMaxMergedRecords.
    DescriptionStore huge;
    for (size_t i = 0; i < kMaxMergedRecords + 5; ++i) {
        const auto start = static_cast<StreamTime>(i) * 10 + 100 * kS;
        huge.Records().push_back(std::make_unique<Description>(Record(start, start + 5)));
    }
    EXPECT_EQ(store.Merge(huge, true).refused, 5u);
    EXPECT_EQ(store.Size(), kMaxMergedRecords + 2);
}

// Loading and merging build the list with DescriptionOrder; its order must be
// the one record-by-record insertion gives, and cost O(log n) a record.
TEST(DescriptionStoreTest, BulkOrderEqualsAddOneByOne) {
    std::mt19937 random(13);
    std::uniform_int_distribution<StreamTime> at(100, 4000),
        length(-50, 400);  // a few end before they start
    std::vector<Description> records;
    std::string file = "# 0.9\n# \n# \n";
    for (int i = 0; i < 3000; ++i) {
        const StreamTime start = at(random);
        records.push_back(Record(start, start + length(random), std::to_string(i)));
        file += records.back().ToLine() + "\n";
    }
    // The rule as written: before the first record starting after the new end.
    std::vector<const Description*> list;
    for (const Description& d : records)
        list.insert(std::find_if(list.begin(), list.end(),
                                 [&](const Description* e) { return e->start > d.end; }),
                    &d);
    std::vector<std::string> expected, bulk, read;
    for (const Description* d : list) expected.push_back(d->title);
    DescriptionStore loaded;
    loaded.LoadText(file);
    DescriptionOrder order;
    for (const Description& d : records) order.Add(std::make_unique<Description>(d));
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

TEST(DescriptionStoreTest, FindRemoveShiftAndCoverage) {
    DescriptionStore store;
    for (const auto& [s, e, title] : {std::tuple{10, 20, "x"}, {30, 40, "y"}, {50, 60, "x"}})
        store.Add(Record(s, e, title));
    EXPECT_EQ(store.FindAt(35, false)->title, "y");
    EXPECT_EQ(store.FindAt(35, true), nullptr);
    EXPECT_EQ(store.FindAt(30, true)->title, "y");
    EXPECT_EQ(store.FindAt(25, false), nullptr);
    store.Records()[1]->fingerprintTime = 29;
    store.ShiftAll(5, -5);
    EXPECT_EQ(Times(store), (std::vector<Span>{{15, 15}, {35, 35}, {55, 55}}));
    EXPECT_EQ(store.Records()[1]->fingerprintTime, 29);
    EXPECT_EQ(store.RemoveByTitle("x"), 2);
    EXPECT_EQ(store.RemoveByTitle("x"), 0);
    store.header[1] = "kept";
    store.Clear();
    EXPECT_EQ(store.Size(), 0u);
    EXPECT_EQ(store.header[1], "kept");

    for (const auto& [s, e] : {Span{10, 90}, {90, 150}, {120, 180}, {250, 260}, {350, 400}})
        store.Add(Record(s, e));
    store.MarkCoverage({{0, 100}, {200, 300}});
    DescriptionStore::Arrays arrays;
    store.ExportArrays(arrays);
    EXPECT_THAT(arrays.states, ElementsAre(kCoverageComplete, kCoveragePartial, kCoverageMissing,
                                           kCoverageComplete, kCoverageMissing));
    EXPECT_EQ(arrays.records.at(3), store.Records()[3].get());
    store.MarkCoverage({});
    store.ExportArrays(arrays);
    EXPECT_THAT(arrays.states, ::testing::Each(kCoverageMissing));
}

// Chunks of 10 s in a 30 s session; each side file holds 1000 bytes that tell
// chunk and position apart.
class DescriptionFingerprintTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int number = 1; number <= 3; ++number) {
            const std::string base = Base(number);
            WriteFile(base + ".mp3", "");
            WriteFile(base + ".dat", std::string(1000, 'd'));
            std::string fgp(1000, '\0');
            for (size_t i = 0; i < fgp.size(); ++i) fgp[i] = static_cast<char>(Side(number, i));
            WriteFile(base + ".fgp", fgp);
        }
        m_info.folder = m_dir.Path();
        UpdateStreamInfo(m_info);
    }
    std::string Base(int number) const {
        return m_dir.File(ChunkBaseName(DateTime(2003, 11, 7, 17, 40, 0), 30, 10, number));
    }
    static uint8_t Side(int number, size_t i) {
        return static_cast<uint8_t>(number * 89 + i * 7 + i / 251);
    }
    static std::vector<uint8_t> Expected(int number, size_t position) {
        std::vector<uint8_t> bytes;
        for (size_t i = position; i < position + kSnippetBytes; ++i)
            bytes.push_back(Side(number, i));
        return bytes;
    }
    static Description WithSnippet(StreamTime start, const std::string& title = "t") {
        Description d = Record(kBase + start, kBase + start + kS, title);
        d.fingerprint = "QUJD";
        d.fingerprintTime = 7;
        return d;
    }
    TempDir m_dir;
    StreamInfo m_info;
};

TEST_F(DescriptionFingerprintTest, AttachesSnippetsFromTheRecordingWhenSaved) {
    // The start, the snippet's time (-1: left as it was), its chunk and position.
    const std::tuple<const char*, StreamTime, StreamTime, int, size_t> cases[] = {
        {"near the end takes 4 s before the end", 28 * kS, 26 * kS, 3, 600},
        {"last millisecond", 30 * kS - 1, 26 * kS, 3, 600},
        {"middle takes 1 s before", 15 * kS, 14 * kS, 2, 400},
        {"session start takes the start", 500, 500, 1, 50},
        {"outside the recording", 40 * kS, -1, 0, 0},
        {"before the recording", -5 * kS, -1, 0, 0},
    };
    DescriptionStore store(m_dir.Path(), "s");
    for (const auto& c : cases) store.Add(WithSnippet(std::get<1>(c), std::get<0>(c)));
    store.AttachFingerprints();  // no stream: nothing changes
    for (const auto& d : store.Records()) EXPECT_EQ(d->fingerprint, "QUJD");
    store.SetStreamInfo(&m_info);
    ASSERT_TRUE(store.Save());
    DescriptionStore loaded(m_dir.Path(), "s");
    ASSERT_TRUE(loaded.Load());
    for (const auto& [name, start, snippetTime, chunk, position] : cases) {
        const Description* d = loaded.FindAt(kBase + start, true);
        ASSERT_NE(d, nullptr) << name;
        EXPECT_EQ(d->fingerprintTime, snippetTime < 0 ? 7 : kBase + snippetTime) << name;
        EXPECT_EQ(d->FingerprintBytes(), snippetTime < 0 ? Bytes("ABC") : Expected(chunk, position))
            << name;
    }
    // The last chunk's side file ends early, so a snippet there is incomplete.
    WriteFile(Base(3) + ".fgp", std::string(700, 'f'));
    DescriptionStore late;
    late.SetStreamInfo(&m_info);
    late.Add(WithSnippet(29 * kS));
    late.AttachFingerprints();
    EXPECT_EQ(late.Records()[0]->fingerprint, "QUJD");
    EXPECT_EQ(late.Records()[0]->fingerprintTime, 7);
}

}  // namespace
}  // namespace wk
