#include <filesystem>
#include <set>

#include "ServiceClientTest.h"
#include "descriptions/DescriptionStore.h"
#include "server/AppliedDesIds.h"
#include "server/Credentials.h"
#include "server/PlaylistDownload.h"
#include "server/TimeCheck.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

namespace fs = std::filesystem;

// ---- identifier ----------------------------------------------------------

// The block rule written out plainly: the standard CRC-32 over blocks of
// 5000 bytes, each block's inverted result the next one's starting state.
uint32_t BlockwiseReference(const std::string& bytes) {
    uint32_t state = 0xFFFFFFFFu;
    for (size_t at = 0; at < bytes.size(); at += kDesIdBlockBytes) {
        const size_t n = std::min(kDesIdBlockBytes, bytes.size() - at);
        for (size_t i = 0; i < n; ++i) {
            state ^= static_cast<unsigned char>(bytes[at + i]);
            for (int k = 0; k < 8; ++k)
                state = (state & 1u) ? 0xEDB88320u ^ (state >> 1) : state >> 1;
        }
        state = ~state;
    }
    return state;
}

TEST(DescriptionIdTest, BlocksOfFiveThousandBytesChainInvertedStates) {
    EXPECT_EQ(DescriptionId(""), 0xFFFFFFFFu);
    EXPECT_EQ(DescriptionId("123456789"), 0xCBF43926u);  // the standard check value
    std::string bytes;
    for (int i = 0; i < 12345; ++i) bytes += static_cast<char>((i * 7 + i / 13) & 0xFF);
    for (const size_t n : {size_t{4999}, size_t{5000}, size_t{5001}, size_t{10000}, size_t{12345}})
        EXPECT_EQ(DescriptionId(bytes.substr(0, n)), BlockwiseReference(bytes.substr(0, n))) << n;
    // Portions of any size give the same identifier.
    DesIdHasher hasher;
    for (size_t at = 0; at < bytes.size(); at += 777)
        hasher.Update(std::string_view(bytes).substr(at, 777));
    EXPECT_EQ(hasher.Finish(), DescriptionId(bytes));
}

// ---- AppliedDesIDs.dat ---------------------------------------------------

class AppliedDesIdsTest : public test::TempHomeTest {};

TEST_F(AppliedDesIdsTest, LittleEndianAscendingAndCutOffTailIgnored) {
    AppliedDesIds ids;
    EXPECT_EQ(ids.Path(), HomeFile("AppliedDesIDs.dat"));
    EXPECT_TRUE(ids.Load());  // no file yet
    EXPECT_TRUE(ids.Ids().empty());
    ASSERT_TRUE(ids.Record(0x11223344u));
    ASSERT_TRUE(ids.Record(0x01020304u));
    ASSERT_TRUE(ids.Record(0x01020304u));
    EXPECT_EQ(test::ReadFile(ids.Path()), std::string("\x04\x03\x02\x01\x44\x33\x22\x11", 8));

    // A file cut off inside its third entry keeps the two whole ones.
    test::WriteFile(ids.Path(), std::string("\x04\x03\x02\x01\x44\x33\x22\x11\xAA\xBB", 10));
    AppliedDesIds again;
    EXPECT_TRUE(again.Load());
    EXPECT_EQ(again.Ids(), (std::set<uint32_t>{0x01020304u, 0x11223344u}));
    ASSERT_TRUE(again.Record(0xFFFFFFFFu));
    EXPECT_EQ(test::ReadFile(ids.Path()).size(), 12u);
    test::WriteFile(ids.Path(), "\x01\x02\x03");
    EXPECT_TRUE(again.Load());
    EXPECT_TRUE(again.Ids().empty());

    // A failed save keeps file and set.
    AppliedDesIds lost(HomeFile("missing-folder/AppliedDesIDs.dat"));
    EXPECT_FALSE(lost.Record(7));
    EXPECT_FALSE(lost.Contains(7));
}

// ---- request arithmetic --------------------------------------------------

TEST(PlaylistStretchTest, CoveredUntilClipsMarginWidensAndServerTimesInTheForm) {
    const StreamTime t10 = DateTime(2003, 11, 7, 10, 0, 0).ToStreamTime();
    const StreamTime t1010 = DateTime(2003, 11, 7, 10, 10, 0).ToStreamTime();
    const StreamTime t1030 = DateTime(2003, 11, 7, 10, 30, 0).ToStreamTime();
    auto s = PlaylistRequestStretches({{t10, t1030}}, t1010);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(DateTime::FromStreamTime(s[0].first).LongText(), "07/11/2003  10:08:00.000");
    EXPECT_EQ(DateTime::FromStreamTime(s[0].second).LongText(), "07/11/2003  10:32:00.000");
    // Ending exactly at covered-until: nothing to ask; a part past it whole.
    s = PlaylistRequestStretches({{t10, t1010}, {t1030, t1030 + 5000}}, t1010);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0], PlaylistStretch(t1030 - kPlaylistMarginMs, t1030 + 5000 + kPlaylistMarginMs));
    EXPECT_TRUE(PlaylistRequestStretches({{t10, t10}}, 0).empty());

    EXPECT_EQ(ToServerTime(1000000, -1.5), 998500);
    EXPECT_EQ(ToServerTime(1000, 0.0004), 1000);  // truncated
    EXPECT_EQ(ToServerTime(1000, -0.0004), 999);  // toward zero of the sum
    const StreamTime start = DateTime(2003, 11, 7, 10, 8, 0).ToStreamTime();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"lang", "german"},
        {"country", "49"},
        {"a", "dofp"},
        {"timestampstart", "07/11/2003  10:07:58.500"},
        {"timestampend", "07/11/2003  10:08:58.500"},
        {"srcname", "Radio One"},
        {"srctype", "2"}};
    EXPECT_EQ(PlaylistFormFields("Radio One", 2, {start, start + 60000}, -1.5), expected);
}

// ---- the whole run against a loopback service ----------------------------

constexpr double kOffset = 2.5;  // the service's clock runs 2.5 s ahead
const DateTime kSessionStart(2003, 11, 7, 10, 0, 0);
constexpr int kChunks = 60;  // of 10 s: 10:00:00 .. 10:10:00

class PlaylistDownloadTest : public test::ServiceClientTest {
protected:
    PlaylistDownloadTest() : ServiceClientTest(DateTime(2003, 11, 7, 12, 0, 0)) {}
    void SetUp() override {
        ServiceClientTest::SetUp();
        ASSERT_TRUE(WriteCredentials({"me", "pw", "-"}, nullptr));
        // The time check answers our clock plus kOffset, unless a test scripts it.
        m_service.Handle("/check", [this](const httplib::Request&, httplib::Response& res) {
            if (m_onTimeCheck) m_onTimeCheck();
            char text[64];
            std::snprintf(text, sizeof text, "OK\r\n%.3f\r\n",
                          EpochSeconds(m_clock.Now()) + kOffset);
            res.set_content(text, "text/plain");
        });
        SetConfig({{"StreamPath", HomeFile("streams")},
                   {"TimeCheckURL", m_service.Url("/check")},
                   {"UploadURL", m_service.Url("/upload")}});
        StreamNameFile list;
        list.load();
        StreamRecord radio;
        radio.name = "Radio1";
        radio.sourceType = kSourceRadio;
        list.AddCopy(radio);
        ASSERT_TRUE(list.save());
        ASSERT_TRUE(list.CreateFolders());
        m_folder = StreamNameFile::StreamRoot() + "Radio1";
        for (int n = 1; n <= kChunks; ++n) {
            const std::string base = m_folder + "/" + ChunkBaseName(kSessionStart, 600, 10, n);
            test::WriteFile(base + ".mp3", std::string(64, '\xFF'));
            test::WriteFile(base + ".dat", std::string(1000, '\x01'));
            test::WriteFile(base + ".fgp", std::string(1000, static_cast<char>(n)));
        }
    }
    // A description file by the service's clock: one track from local
    // 10:02:00 to 10:05:00.
    static std::string ServedFile() {
        Description d;
        d.artist = "Artist";
        d.title = "Title";
        d.start = DateTime(2003, 11, 7, 10, 2, 2, 500).ToStreamTime();
        d.end = DateTime(2003, 11, 7, 10, 5, 2, 500).ToStreamTime();
        return "# 0.9\r\n# Radio1\r\n# \r\n" + d.ToLine() + "\r\n";
    }
    StreamTime CoveredUntil() const {
        StreamNameFile list;
        list.load();
        return list.Find("Radio1")->coveredUntil;
    }
    std::vector<std::string> Asked(const char* field) const {
        std::vector<std::string> values;
        for (const auto& r : m_service.Seen("/upload")) values.push_back(r.Param(field));
        return values;
    }

    std::function<void()> m_onTimeCheck;
    std::string m_folder;
};

TEST_F(PlaylistDownloadTest, AnswerAppliedOnceShiftedThenSkippedByIdentifier) {
    m_service.Script("/upload", {{200, ServedFile()}});
    PlaylistDownloadResult r = RunPlaylistDownload(m_http, "Radio1");
    ASSERT_EQ(r.status, PlaylistStatus::kDownloaded);
    EXPECT_NEAR(r.difference, kOffset, 1e-6);
    EXPECT_EQ(r.requests, 1);
    EXPECT_EQ(r.applied, 1);
    EXPECT_EQ(r.skipped, 0);
    EXPECT_EQ(Asked("timestampstart"), std::vector<std::string>{"07/11/2003  09:58:02.500"});
    EXPECT_EQ(Asked("timestampend"), std::vector<std::string>{"07/11/2003  10:12:02.500"});
    EXPECT_EQ(Asked("srcname"), std::vector<std::string>{"Radio1"});
    EXPECT_TRUE(EventSeen("The playlist was downloaded."));

    DescriptionStore store(m_folder, "desc");
    ASSERT_TRUE(store.Load());
    ASSERT_EQ(store.Size(), 1u);
    EXPECT_EQ(store.Records()[0]->title, "Title");
    EXPECT_EQ(store.Records()[0]->start, DateTime(2003, 11, 7, 10, 2, 0).ToStreamTime());
    EXPECT_EQ(store.Records()[0]->end, DateTime(2003, 11, 7, 10, 5, 0).ToStreamTime());
    EXPECT_FALSE(fs::exists(m_folder + "/raw_downloaded.des"));

    const uint32_t id = DescriptionId(ServedFile());
    ASSERT_EQ(r.appliedIds, std::vector<uint32_t>{id});
    AppliedDesIds ids;
    ASSERT_TRUE(ids.Load());
    EXPECT_EQ(ids.Ids(), std::set<uint32_t>{id});
    EXPECT_EQ(CoveredUntil(), DateTime(2003, 11, 7, 10, 5, 0).ToStreamTime());
    EXPECT_EQ(r.coveredUntil, CoveredUntil());

    // The same answer again: only from covered-until on, and not applied twice.
    r = RunPlaylistDownload(m_http, "Radio1");
    ASSERT_EQ(r.status, PlaylistStatus::kDownloaded);
    EXPECT_EQ(r.applied, 0);
    EXPECT_EQ(r.skipped, 1);
    ASSERT_EQ(Asked("timestampstart").size(), 2u);
    EXPECT_EQ(Asked("timestampstart")[1], "07/11/2003  10:03:02.500");
    ASSERT_TRUE(store.Load());
    EXPECT_EQ(store.Size(), 1u);
    EXPECT_FALSE(fs::exists(m_folder + "/raw_downloaded.des"));
    EXPECT_EQ(test::ReadFile(ids.Path()).size(), 4u);
}

TEST_F(PlaylistDownloadTest, SecondRunWhileBusyReturnsAtOnce) {
    m_service.Script("/upload", {{200, "No playlist available for this period.\n"}});
    PlaylistStatus inner = PlaylistStatus::kDownloaded;
    HttpClientCurl other;
    m_onTimeCheck = [&] {
        if (inner == PlaylistStatus::kDownloaded)
            inner = RunPlaylistDownload(other, "Radio1").status;
    };
    const PlaylistDownloadResult r = RunPlaylistDownload(m_http, "Radio1");
    EXPECT_EQ(inner, PlaylistStatus::kBusy);
    EXPECT_EQ(r.status, PlaylistStatus::kDownloaded);
    EXPECT_EQ(r.notDescriptions, 1);
    EXPECT_EQ(r.applied, 0);
    m_onTimeCheck = nullptr;  // free again afterwards
    EXPECT_EQ(RunPlaylistDownload(m_http, "Radio1").status, PlaylistStatus::kDownloaded);
}

TEST_F(PlaylistDownloadTest, UnknownStreamAndNothingToAsk) {
    EXPECT_EQ(RunPlaylistDownload(m_http, "NoSuchStream").status, PlaylistStatus::kUnknownStream);
    StreamNameFile list;
    list.load();
    list.Find("Radio1")->coveredUntil = DateTime(2003, 11, 7, 10, 10, 0).ToStreamTime();
    ASSERT_TRUE(list.save());
    EXPECT_EQ(RunPlaylistDownload(m_http, "Radio1").status, PlaylistStatus::kNoRequest);
    EXPECT_TRUE(m_service.Seen("/upload").empty());
    EXPECT_TRUE(EventSeen("There is no available playlist for this stream"));
}

TEST_F(PlaylistDownloadTest, TimeCheckFailureStopsBeforeAnyRequest) {
    // A clock years off would shift the served file out of sight and record
    // its identifier: the real one could never be applied.
    m_service.Script("/upload", {{200, ServedFile()}});
    m_service.Script("/check", {{200, "OK\r\n1800000000\r\n"}});
    EXPECT_EQ(RunPlaylistDownload(m_http, "Radio1").status, PlaylistStatus::kTimeCheckFailed);
    SetConfig({{"TimeCheckURL", "http://127.0.0.1:1/check"}});
    EXPECT_EQ(RunPlaylistDownload(m_http, "Radio1").status, PlaylistStatus::kTimeCheckFailed);
    EXPECT_TRUE(m_service.Seen("/upload").empty());
    EXPECT_TRUE(EventSeen("Timecheck failed. Aborting playlist download."));
    EXPECT_FALSE(fs::exists(HomeFile("AppliedDesIDs.dat")));
    EXPECT_FALSE(fs::exists(m_folder + "/desc.des"));
}

TEST_F(PlaylistDownloadTest, HostileAnswersEndInTheirReport) {
    // An earlier identifier must survive whatever follows.
    AppliedDesIds ids;
    ASSERT_TRUE(ids.Record(0xCAFEBABEu));
    std::string hashes;
    for (int i = 0; i < 200; ++i) hashes += "#\t#\t##garbage\t\t\t\t\t\t\t\t\r\n";
    const struct {
        test::Answer answer;
        PlaylistStatus expected;
    } cases[] = {
        {{200, ""}, PlaylistStatus::kDownloaded},
        {{200, std::string("\x00\x01\xFF\xFE binary\n\x7F", 14)}, PlaylistStatus::kDownloaded},
        {{200, std::string(300000, 'x')}, PlaylistStatus::kDownloaded},
        {{200, "#" + std::string(300000, '#')}, PlaylistStatus::kDownloaded},
        {{200, hashes}, PlaylistStatus::kDownloaded},
        {{404, ServedFile()}, PlaylistStatus::kRequestFailed},
        {{500, ""}, PlaylistStatus::kRequestFailed},
    };
    for (const auto& c : cases) {
        m_service.Script("/upload", {c.answer});
        const PlaylistDownloadResult r = RunPlaylistDownload(m_http, "Radio1");
        EXPECT_EQ(r.status, c.expected) << c.answer.status << " " << c.answer.body.substr(0, 20);
        EXPECT_FALSE(fs::exists(m_folder + "/raw_downloaded.des"));
        EXPECT_EQ(test::ReadFile(ids.Path()).size() % 4, 0u);
        AppliedDesIds now;
        ASSERT_TRUE(now.Load());
        EXPECT_TRUE(now.Contains(0xCAFEBABEu));
        // A garbage record never lands in the store.
        DescriptionStore store(m_folder, "desc");
        store.Load();
        for (const auto& d : store.Records()) EXPECT_LT(d->start, d->end);
    }
    EXPECT_TRUE(EventSeen("Error: Couldn't download the playlist."));
    SetConfig({{"UploadURL", "http://127.0.0.1:1/upload"}});  // refused: like a bad status
    EXPECT_EQ(RunPlaylistDownload(m_http, "Radio1").status, PlaylistStatus::kRequestFailed);
}

}  // namespace
}  // namespace wk
