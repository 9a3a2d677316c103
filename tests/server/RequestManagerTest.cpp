// The interactive request manager and the post-request worker against a
// scripted loopback service.

#include <filesystem>
#include <mutex>

#include "ServiceClientTest.h"
#include "core/EventLoop.h"
#include "server/PostRequest.h"
#include "server/RequestManager.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

class Statuses final : public HttpStatusSink {
public:
    void OnHttpStatus(int code, const std::string& text, bool) override {
        std::lock_guard lock(m_mutex);
        m_codes.push_back(code);
        m_texts.push_back(text);
    }
    std::vector<int> Codes() {
        std::lock_guard lock(m_mutex);
        return m_codes;
    }
    std::string LastText() {
        std::lock_guard lock(m_mutex);
        return m_texts.empty() ? "" : m_texts.back();
    }

private:
    std::mutex m_mutex;
    std::vector<int> m_codes;
    std::vector<std::string> m_texts;
};

// 2003-11-07 17:46:39.750 UTC = 1068227199.75 s since 1970. Each test talks
// to a manager of its own that has checked nothing yet.
class RequestManagerTest : public test::ServiceClientTest {
protected:
    RequestManagerTest() : ServiceClientTest(DateTime(2003, 11, 7, 17, 46, 39, 750)) {}
    void SetUp() override {
        ServiceClientTest::SetUp();
        CHTTPRequestManager::Install(&m_manager);
        m_manager.SetStatusSink(&m_status);
        m_manager.SetClientFactory([](const HttpSettings&) {
            HttpSettings fast;
            fast.connectRetries = 0;
            fast.totalTimeoutMs = 3000;
            return std::unique_ptr<HttpClient>(std::make_unique<HttpClientCurl>(fast));
        });
        m_manager.SetTimeCheckRequest("Ann&Co", "p=w");
        m_manager.SetTimeCheckUrl(m_service.Url("/x"));
        m_manager.SetUploadUrl(m_service.Url("/x"));
    }
    void TearDown() override {
        CHTTPRequestManager::Install(nullptr);
        ServiceClientTest::TearDown();
    }
    void Run(int command, std::vector<test::Answer> answers = {}) {
        if (!answers.empty()) m_service.Script("/x", std::move(answers));
        CConnectThread& t = CConnectThread::Instance();
        t.Command(command);
        ASSERT_TRUE(t.WaitIdle(10000));
    }
    size_t Calls() const { return m_service.Seen("/x").size(); }

    CHTTPRequestManager m_manager;
    Statuses m_status;
};

const test::Answer kOk{200, "OK\n1068227201.75\n"};  // +2.0 s

TEST_F(RequestManagerTest, InteractiveCheckAveragesThreeSamplesOnceForTheRun) {
    // Our clock stands still at ...199.75; the samples are +2.0, +2.5, +1.5.
    EXPECT_FALSE(m_manager.IsTimeChecked());
    Run(CConnectThread::kTimeCheck,
        {kOk, {200, "OK\n1068227202.25\n"}, {200, "OK\n1068227201.25\n"}});
    EXPECT_TRUE(m_manager.IsTimeChecked());
    const TimeCheckValues v = m_manager.Values();
    EXPECT_NEAR(v.difference, 2.0, 1e-9);
    EXPECT_NEAR(v.localAtLastMs, (1068227199.75 - 946684800.0) * 1000.0, 1e-3);
    EXPECT_NEAR(v.serverAtLastMs, (1068227201.25 - 946684800.0) * 1000.0, 1e-3);
    EXPECT_EQ(m_status.Codes(), (std::vector<int>{kStatusTimeChecking, kStatusTimeChecked}));
    EXPECT_EQ(m_status.LastText(), "Time is checked. Difference: 2.000");
    ASSERT_EQ(Calls(), 3u);
    // Values are form-encoded; the local clock has three decimals.
    EXPECT_EQ(m_service.Seen("/x")[0].body,
              "a=timeCheck&login=Ann%26Co&passwd=p%3Dw&localTime=1068227199.750");
    // Checked once per run: the second command asks nobody.
    Run(CConnectThread::kTimeCheck);
    EXPECT_EQ(Calls(), 3u);
    EXPECT_EQ(m_status.Codes().back(), kStatusTimeAlreadyChecked);
    EXPECT_EQ(&CurrentRequestState(), &IdleState::Instance());
}

TEST_F(RequestManagerTest, InteractiveCheckFailuresPostTheirStatus) {
    struct Case {
        std::vector<test::Answer> answers;
        int status;
    };
    const Case cases[] = {
        {{{404, "OK\n1\n"}}, kStatusTimeCheckFailed},
        {{{200, "OK \n1068227201.75\n"}}, kStatusTimeNotValid},  // exact "OK" only
        {{{200, "OKAY\n1068227201.75\n"}}, kStatusTimeNotValid},
        {{{200, ""}}, kStatusTimeNotValid},
        {{kOk, {500, "x"}}, kStatusTimeCheckFailed},
        // A clock more than a day off ours in the third sample.
        {{kOk, kOk, {200, "OK\n1068400000\n"}}, kStatusTimeCheckFailed},
    };
    for (const Case& c : cases) {
        Run(CConnectThread::kTimeCheck, c.answers);
        EXPECT_FALSE(m_manager.IsTimeChecked());
        EXPECT_EQ(m_status.Codes().back(), c.status);
    }
    m_manager.SetTimeCheckUrl("http://127.0.0.1:1/x");  // nobody listening
    Run(CConnectThread::kTimeCheck);
    EXPECT_EQ(m_status.Codes().back(), kStatusNoConnection);
    EXPECT_EQ(&CurrentRequestState(), &IdleState::Instance());
}

TEST_F(RequestManagerTest, InitialCheckWritesInitcheckEachTime) {
    ConfigStore config;
    config.Load();
    const std::string folder = StreamNameFile::StreamRoot() + config.GetString("ActiveStream");
    std::filesystem::create_directories(folder);
    Run(CConnectThread::kInitTimeCheck, {kOk});
    const TimeCheckValues v = m_manager.Values();
    EXPECT_TRUE(v.initTimeChecked);
    EXPECT_FALSE(v.timeChecked);
    EXPECT_EQ(m_status.Codes().back(), kStatusInitTimeChecked);
    // 14 significant digits: server then local, in ms since 2000.
    EXPECT_EQ(test::ReadFile(folder + "/initcheck.txt"), "121542401750\n121542399750\n");
    Run(CConnectThread::kInitTimeCheck);  // no guard: asks again
    EXPECT_EQ(Calls(), 2u);
}

TEST_F(RequestManagerTest, UploadAndImportNeedTheTimeCheck) {
    m_service.Script("/x", {kOk});
    int imports = 0;
    m_manager.SetImportHandler([&imports] { ++imports; });
    CConnectThread& thread = CConnectThread::Instance();
    EXPECT_EQ(m_manager.UploadDescription(thread), kStatusUploadNeedsTimeCheck);
    EXPECT_FALSE(m_manager.ImportDescription(thread));
    EXPECT_EQ(m_status.Codes(), (std::vector<int>{kStatusUploading, kStatusUploadNeedsTimeCheck,
                                                  kStatusImporting, kStatusImportNeedsTimeCheck}));
    EXPECT_EQ(Calls(), 0u);
    Run(CConnectThread::kTimeCheckImport);  // time check, then the import
    EXPECT_EQ(imports, 1);
    EXPECT_EQ(m_status.Codes().back(), kStatusImported);
}

TEST_F(RequestManagerTest, UploadSendsTheShiftedFileUnderItsName) {
    const std::string folder = StreamNameFile::StreamRoot() + "R&B";
    std::filesystem::create_directories(folder);
    test::WriteFile(folder + "/desc.des",
                    "# 0.9\r\n# \r\n# \r\n07/11/2003  17:42:11.005\t07/11/2003  17:45:40.000\t"
                    "A\tT\t\t\t\t-1\t\t0\r\n");
    m_manager.SetUploadRequest("me", "pw", "R&B", "1", "20000", folder + "/desc.des");
    // The refusal tries to clear the screen with a line of 5000 bytes.
    Run(CConnectThread::kTimeCheck,
        {kOk,
         kOk,
         kOk,
         {200, "OK\n"},
         {200, "ERR no such login\x1b[2J\x07" + std::string(5000, 'x') + "\n"}});
    CConnectThread& thread = CConnectThread::Instance();
    EXPECT_EQ(m_manager.UploadDescription(thread), kStatusUploaded);
    const std::string body = m_service.Seen("/x").at(3).body;
    EXPECT_EQ(body.rfind("a=uploadfp&login=me&passwd=pw&srcname=R%26B&srctype=1&MAX_FILE_SIZE="
                         "20000&userfile=desc.des&fileContent=",
                         0),
              0u)
        << body;
    EXPECT_NE(body.find("17%3A42%3A13.005"), std::string::npos) << body;  // shifted by +2.0 s
    EXPECT_EQ(m_manager.UploadDescription(thread), kStatusUploadRefused);
    EXPECT_EQ(m_status.LastText(),
              "File upload failed - ERR no such login?[2J?" + std::string(47, 'x') + "...");
}

TEST_F(RequestManagerTest, PostRequestWaitingAndPosted) {
    m_service.Script("/x", {{200, "a\r\nb\n"}, {404, "gone"}, {200, "x\n"}, {500, ""}});
    const RequestOwner direct{&m_http, nullptr, kNoReceiver};
    HttpForm form;
    form.Add("k", "v");
    auto r = PostRequestAndWait(direct, "T", m_service.Url("/x"), form);
    EXPECT_EQ(r->kind, RequestResult::kAnswered);
    EXPECT_EQ(r->lines, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(r->id, "T");
    r = PostRequestAndWait(direct, "T", m_service.Url("/x"), form);
    EXPECT_EQ(r->kind, RequestResult::kFailed);
    EXPECT_EQ(r->status, 404);
    EXPECT_TRUE(r->lines.empty());
    r = PostRequestAndWait(direct, "T", "http://127.0.0.1:1/x", form);
    EXPECT_EQ(r->kind, RequestResult::kNotDone);

    struct Receiver final : MessageReceiver {
        void HandleMessage(Message& m) override {
            ids.push_back(m.id);
            statuses.push_back(static_cast<int>(m.p1));
            if (const RequestResult* result = m.PayloadAs<RequestResult>()) lines = result->lines;
        }
        std::vector<int> ids, statuses;
        std::vector<std::string> lines;
    } receiver;
    EventLoop loop;
    ReceiverSlot slot(loop, &receiver);
    const RequestOwner owner{&m_http, &loop, slot.Id()};
    for (int i = 0; i < 2; ++i) {
        StartPostRequest(owner, "P", m_service.Url("/x"), form);
        ASSERT_TRUE(WaitForPostRequests(10000));
        loop.ProcessPending();
    }
    EXPECT_EQ(receiver.ids, (std::vector<int>{kPostResultMessage, kPostFailedMessage}));
    EXPECT_EQ(receiver.statuses, (std::vector<int>{200, 500}));
    EXPECT_EQ(receiver.lines, std::vector<std::string>{"x"});
}

}  // namespace
}  // namespace wk
