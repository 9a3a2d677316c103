#include "server/PlaylistDownload.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "descriptions/DescriptionStore.h"
#include "platform/HttpClientCurl.h"
#include "server/AppliedDesIds.h"
#include "server/Credentials.h"
#include "server/TimeCheck.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamNameFile.h"
#include "ServiceClientTest.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;

// ---- identifier ----------------------------------------------------------

TEST(DescriptionIdTest, SingleBlockIsTheStandardCrc32) {
    EXPECT_EQ(DescriptionId(""), 0xFFFFFFFFu);
    EXPECT_EQ(DescriptionId("123456789"), 0xCBF43926u);
    EXPECT_EQ(DescriptionId("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    EXPECT_EQ(DescriptionId(std::string(1, 'a')), 0xE8B7BE43u);
}

// The block rule written out plainly, to check the streaming one against.
uint32_t BlockwiseReference(const std::string& bytes) {
    uint32_t state = 0xFFFFFFFFu;
    for (size_t at = 0; at < bytes.size(); at += kDesIdBlockBytes) {
        const size_t n = std::min(kDesIdBlockBytes, bytes.size() - at);
        for (size_t i = 0; i < n; ++i) {
            state ^= static_cast<unsigned char>(bytes[at + i]);
            for (int k = 0; k < 8; ++k) state = (state & 1u) ? 0xEDB88320u ^ (state >> 1) : state >> 1;
        }
        state = ~state;
    }
    return state;
}

uint32_t PlainCrc32(const std::string& bytes) {
    uint32_t state = 0xFFFFFFFFu;
    for (const char ch : bytes) {
        state ^= static_cast<unsigned char>(ch);
        for (int k = 0; k < 8; ++k) state = (state & 1u) ? 0xEDB88320u ^ (state >> 1) : state >> 1;
    }
    return ~state;
}

TEST(DescriptionIdTest, BlocksOfFiveThousandBytesChainInvertedStates) {
    std::string bytes;
    for (int i = 0; i < 12345; ++i) bytes += static_cast<char>((i * 7 + i / 13) & 0xFF);
    for (const size_t n : {size_t{4999}, size_t{5000}, size_t{5001}, size_t{10000}, size_t{12345}}) {
        const std::string part = bytes.substr(0, n);
        EXPECT_EQ(DescriptionId(part), BlockwiseReference(part)) << n;
        if (n <= kDesIdBlockBytes) {
            EXPECT_EQ(DescriptionId(part), PlainCrc32(part)) << n;
        } else {
            EXPECT_NE(DescriptionId(part), PlainCrc32(part)) << n;
        }
    }
    // 5001 zero bytes by hand: the first block's standard CRC, inverted back
    // into the state, then one more zero byte and the final inversion.
    const std::string zeros(5001, '\0');
    uint32_t state = ~PlainCrc32(std::string(5000, '\0'));
    state = ~state;  // the inversion after the first block
    for (int k = 0; k < 8; ++k) state = (state & 1u) ? 0xEDB88320u ^ (state >> 1) : state >> 1;
    EXPECT_EQ(DescriptionId(zeros), ~state);

    // Portions of any size give the same identifier.
    DesIdHasher hasher;
    for (size_t at = 0; at < bytes.size(); at += 777) hasher.Update(std::string_view(bytes).substr(at, 777));
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
    EXPECT_EQ(test::ReadFile(ids.Path()),
              std::string("\x04\x03\x02\x01\x44\x33\x22\x11", 8));

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
}

TEST_F(AppliedDesIdsTest, FailedSaveKeepsFileAndSet) {
    AppliedDesIds ids(HomeFile("missing-folder/AppliedDesIDs.dat"));
    EXPECT_FALSE(ids.Record(7));
    EXPECT_FALSE(ids.Contains(7));
}

// ---- request arithmetic --------------------------------------------------

TEST(PlaylistStretchTest, CoveredUntilClipsAndMarginWidens) {
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
    EXPECT_EQ(ToServerTime(1000000 - kPlaylistMarginMs, -1.5), 878500);
    EXPECT_EQ(ToServerTime(1000, 0.0004), 1000);   // truncated
    EXPECT_EQ(ToServerTime(1000, -0.0004), 999);   // toward zero of the sum
}

TEST(PlaylistStretchTest, FormFieldsInOrderWithServerTimes) {
    const StreamTime start = DateTime(2003, 11, 7, 10, 8, 0).ToStreamTime();
    const auto fields =
        PlaylistFormFields("Radio One", 2, {start, start + 60000}, -1.5);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"lang", "german"},
        {"country", "49"},
        {"a", "dofp"},
        {"timestampstart", "07/11/2003  10:07:58.500"},
        {"timestampend", "07/11/2003  10:08:58.500"},
        {"srcname", "Radio One"},
        {"srctype", "2"}};
    EXPECT_EQ(fields, expected);
}

// ---- the whole run against a loopback service ----------------------------

// Answers the time check with our clock plus kOffset, and dofp requests
// with a scripted status and body.
class FakeService {
public:
    FakeService(const Clock& clock, double offset) : m_clock(clock), m_offset(offset) {
        m_server.Post("/check", [this](const httplib::Request&, httplib::Response& res) {
            if (onTimeCheck) onTimeCheck();
            char text[64];
            std::snprintf(text, sizeof text, "OK\r\n%.3f\r\n", EpochSeconds(m_clock.Now()) + m_offset);
            res.set_content(timeAnswer.empty() ? text : timeAnswer, "text/plain");
        });
        m_server.Post("/upload", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (req.get_param_value("a") == "dofp") {
                starts.push_back(req.get_param_value("timestampstart"));
                ends.push_back(req.get_param_value("timestampend"));
                names.push_back(req.get_param_value("srcname"));
            }
            res.status = status;
            res.set_content(body, "text/plain");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~FakeService() {
        m_server.stop();
        m_thread.join();
    }
    std::string Url(const char* path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }

    std::function<void()> onTimeCheck;
    std::string timeAnswer;  // instead of the clock, when set
    int status = 200;
    std::string body;
    std::vector<std::string> starts, ends, names;

private:
    const Clock& m_clock;
    double m_offset;
    std::mutex m_mutex;
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
};

constexpr double kOffset = 2.5;  // the service's clock runs 2.5 s ahead
const DateTime kSessionStart(2003, 11, 7, 10, 0, 0);
constexpr int kChunks = 60;  // of 10 s: 10:00:00 .. 10:10:00

class PlaylistDownloadTest : public test::ServiceClientTest {
protected:
    PlaylistDownloadTest() : ServiceClientTest(DateTime(2003, 11, 7, 12, 0, 0)) {}
    void SetUp() override {
        ServiceClientTest::SetUp();
        ASSERT_TRUE(WriteCredentials({"me", "pw", "-"}, nullptr));
        Configure(m_service.Url("/upload"));

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
    void Configure(const std::string& uploadUrl) {
        ConfigStore config;
        config.Load();
        config.SetString("StreamPath", HomeFile("streams"));
        config.SetString("TimeCheckURL", m_service.Url("/check"));
        config.SetString("UploadURL", uploadUrl);
        ASSERT_TRUE(config.Save());
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
    bool EventSeen(const std::string& text) const {
        for (const std::string& line : EventLog::Instance().ReadLines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    StreamTime CoveredUntil() const {
        StreamNameFile list;
        list.load();
        return list.Find("Radio1")->coveredUntil;
    }

    FakeService m_service{m_clock, kOffset};
    std::string m_folder;
};

TEST_F(PlaylistDownloadTest, AnswerAppliedOnceShiftedThenSkippedByIdentifier) {
    m_service.body = ServedFile();
    PlaylistDownloadResult r = RunPlaylistDownload(m_http, "Radio1");
    ASSERT_EQ(r.status, PlaylistStatus::kDownloaded);
    EXPECT_NEAR(r.difference, kOffset, 1e-6);
    EXPECT_EQ(r.requests, 1);
    EXPECT_EQ(r.applied, 1);
    EXPECT_EQ(r.skipped, 0);
    ASSERT_EQ(m_service.starts.size(), 1u);
    EXPECT_EQ(m_service.starts[0], "07/11/2003  09:58:02.500");
    EXPECT_EQ(m_service.ends[0], "07/11/2003  10:12:02.500");
    EXPECT_EQ(m_service.names[0], "Radio1");
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
    ASSERT_EQ(m_service.starts.size(), 2u);
    EXPECT_EQ(m_service.starts[1], "07/11/2003  10:03:02.500");
    ASSERT_TRUE(store.Load());
    EXPECT_EQ(store.Size(), 1u);
    EXPECT_FALSE(fs::exists(m_folder + "/raw_downloaded.des"));
    EXPECT_EQ(test::ReadFile(ids.Path()).size(), 4u);
}

TEST_F(PlaylistDownloadTest, SecondRunWhileBusyReturnsAtOnce) {
    m_service.body = "No playlist available for this period.\n";
    PlaylistStatus inner = PlaylistStatus::kDownloaded;
    HttpClientCurl other;
    m_service.onTimeCheck = [&] {
        if (inner == PlaylistStatus::kDownloaded) inner = RunPlaylistDownload(other, "Radio1").status;
    };
    const PlaylistDownloadResult r = RunPlaylistDownload(m_http, "Radio1");
    EXPECT_EQ(inner, PlaylistStatus::kBusy);
    EXPECT_EQ(r.status, PlaylistStatus::kDownloaded);
    EXPECT_EQ(r.notDescriptions, 1);
    EXPECT_EQ(r.applied, 0);
    // Free again afterwards.
    m_service.onTimeCheck = nullptr;
    EXPECT_EQ(RunPlaylistDownload(m_http, "Radio1").status, PlaylistStatus::kDownloaded);
}

TEST_F(PlaylistDownloadTest, UnknownStreamAndNothingToAsk) {
    EXPECT_EQ(RunPlaylistDownload(m_http, "NoSuchStream").status, PlaylistStatus::kUnknownStream);
    EXPECT_TRUE(m_service.starts.empty());

    StreamNameFile list;
    list.load();
    list.Find("Radio1")->coveredUntil = DateTime(2003, 11, 7, 10, 10, 0).ToStreamTime();
    ASSERT_TRUE(list.save());
    EXPECT_EQ(RunPlaylistDownload(m_http, "Radio1").status, PlaylistStatus::kNoRequest);
    EXPECT_TRUE(m_service.starts.empty());
    EXPECT_TRUE(EventSeen("There is no available playlist for this stream"));
}

TEST_F(PlaylistDownloadTest, TimeCheckFailureStopsBeforeAnyRequest) {
    ConfigStore config;
    config.Load();
    config.SetString("TimeCheckURL", "http://127.0.0.1:1/check");
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(RunPlaylistDownload(m_http, "Radio1").status, PlaylistStatus::kTimeCheckFailed);
    EXPECT_TRUE(m_service.starts.empty());
    EXPECT_TRUE(EventSeen("Timecheck failed. Aborting playlist download."));

    // A clock that is none, or years off, would shift the served file out of
    // sight and record its identifier: the real one could never be applied.
    Configure(m_service.Url("/upload"));
    m_service.body = ServedFile();
    for (const char* answer : {"OK\r\nnan\r\n", "OK\r\ngarbage\r\n", "OK\r\n1068\r\n",
                               "OK\r\n1800000000\r\n"}) {
        m_service.timeAnswer = answer;
        EXPECT_EQ(RunPlaylistDownload(m_http, "Radio1").status, PlaylistStatus::kTimeCheckFailed)
            << answer;
    }
    EXPECT_TRUE(m_service.starts.empty());
    EXPECT_FALSE(fs::exists(HomeFile("AppliedDesIDs.dat")));
    EXPECT_FALSE(fs::exists(m_folder + "/desc.des"));
}

TEST_F(PlaylistDownloadTest, HostileAnswersEndInTheirReport) {
    // An earlier identifier must survive whatever follows.
    AppliedDesIds ids;
    ASSERT_TRUE(ids.Record(0xCAFEBABEu));

    struct Case {
        int status;
        std::string body;
        PlaylistStatus expected;
    };
    std::string hashes;
    for (int i = 0; i < 200; ++i) hashes += "#\t#\t##garbage\t\t\t\t\t\t\t\t\r\n";
    const Case cases[] = {
        {200, "", PlaylistStatus::kDownloaded},
        {200, std::string("\x00\x01\xFF\xFE binary\n\x7F", 14), PlaylistStatus::kDownloaded},
        {200, std::string(300000, 'x'), PlaylistStatus::kDownloaded},
        {200, "#" + std::string(300000, '#'), PlaylistStatus::kDownloaded},
        {200, hashes, PlaylistStatus::kDownloaded},
        {404, ServedFile(), PlaylistStatus::kRequestFailed},
        {500, "", PlaylistStatus::kRequestFailed},
    };
    for (const Case& c : cases) {
        m_service.status = c.status;
        m_service.body = c.body;
        const PlaylistDownloadResult r = RunPlaylistDownload(m_http, "Radio1");
        EXPECT_EQ(r.status, c.expected) << c.status << " " << c.body.substr(0, 20);
        EXPECT_FALSE(fs::exists(m_folder + "/raw_downloaded.des"));
        const std::string bytes = test::ReadFile(ids.Path());
        EXPECT_EQ(bytes.size() % 4, 0u);
        AppliedDesIds now;
        ASSERT_TRUE(now.Load());
        EXPECT_TRUE(now.Contains(0xCAFEBABEu));
        // A garbage record never lands in the store.
        DescriptionStore store(m_folder, "desc");
        store.Load();
        for (const auto& d : store.Records()) EXPECT_LT(d->start, d->end);
    }
    EXPECT_TRUE(EventSeen("Error: Couldn't download the playlist."));

    // A refused connection fails like a bad status.
    Configure("http://127.0.0.1:1/upload");
    EXPECT_EQ(RunPlaylistDownload(m_http, "Radio1").status, PlaylistStatus::kRequestFailed);
}

}  // namespace
}  // namespace wk
