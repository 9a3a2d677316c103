// The interactive request manager and the post-request worker against a
// scripted loopback service.

#include "server/RequestManager.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "core/ConfigStore.h"
#include "core/EventLoop.h"
#include "server/Credentials.h"
#include "server/PostRequest.h"
#include "server/Upload.h"
#include "streamstore/StreamNameFile.h"
#include "ServiceClientTest.h"

namespace wk {
namespace {

// Answers every POST on /x with the next scripted (status, body).
class Scripted {
public:
    explicit Scripted(std::vector<std::pair<int, std::string>> answers)
        : m_answers(std::move(answers)) {
        m_server.Post("/x", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(m_mutex);
            bodies.push_back(req.body);
            const size_t n = bodies.size() - 1;
            const auto& a = n < m_answers.size() ? m_answers[n] : m_answers.back();
            res.status = a.first;
            res.set_content(a.second, "text/plain");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~Scripted() {
        m_server.stop();
        m_thread.join();
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/x"; }
    size_t Calls() {
        std::lock_guard lock(m_mutex);
        return bodies.size();
    }
    std::vector<std::string> bodies;

private:
    std::mutex m_mutex;
    std::vector<std::pair<int, std::string>> m_answers;
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
};

class Statuses final : public HttpStatusSink {
public:
    void OnHttpStatus(int code, const std::string& text, bool closable) override {
        std::lock_guard lock(m_mutex);
        codes.push_back(code);
        texts.push_back(text);
        closables.push_back(closable);
    }
    std::vector<int> Codes() {
        std::lock_guard lock(m_mutex);
        return codes;
    }
    std::vector<int> codes;
    std::vector<std::string> texts;
    std::vector<bool> closables;

private:
    std::mutex m_mutex;
};

// 2003-11-07 17:46:39.750 UTC = 1068227199.75 s since 1970.
class RequestManagerTest : public test::ServiceClientTest {
protected:
    RequestManagerTest() : ServiceClientTest(DateTime(2003, 11, 7, 17, 46, 39, 750)) {}
    void SetUp() override {
        ServiceClientTest::SetUp();
        CHTTPRequestManager& m = CHTTPRequestManager::Instance();
        m.ResetForTesting();
        m.SetStatusSink(&m_status);
        m.SetClientFactory([](const HttpSettings&) {
            HttpSettings fast;
            fast.connectRetries = 0;
            fast.connectTimeoutMs = 2000;
            fast.totalTimeoutMs = 3000;
            return std::unique_ptr<HttpClient>(std::make_unique<HttpClientCurl>(fast));
        });
        m.SetTimeCheckRequest("Ann&Co", "p=w");
    }
    void TearDown() override {
        CHTTPRequestManager::Instance().SetStatusSink(nullptr);
        CHTTPRequestManager::Instance().SetImportHandler({});
        CHTTPRequestManager::Instance().ResetForTesting();  // the default client again
        ServiceClientTest::TearDown();
    }
    void Run(int command) {
        CConnectThread& t = CConnectThread::Instance();
        t.Command(command);
        ASSERT_TRUE(t.WaitIdle(10000));
    }
    Statuses m_status;
};

TEST_F(RequestManagerTest, StatusTextsAndCloseButtons) {
    struct Case {
        int code;
        double value;
        const char* answer;
        const char* text;
        bool closable;
    };
    const Case cases[] = {
        {0, 2.5, "", "Time is checked. Difference: 2.500", false},
        {1, 0, "", "Time is already checked", false},
        {8, 0, "", "Unable to make HTTP connection. Try again.", true},
        {25, 0, "", "Unable to make HTTP connection. Try again.", true},
        {20, 0, "ERR login", "File upload failed - ERR login", true},
        {48, 1234.5, "", "Init time is checked. Server time: 1234.500", true},
        {50, 0, "", "Default value", true},
        {3, 0, "", "Default value", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HttpStatusText(c.code, c.value, c.answer), c.text) << c.code;
        EXPECT_EQ(HttpStatusClosable(c.code), c.closable) << c.code;
    }
}

TEST_F(RequestManagerTest, InteractiveCheckAveragesThreeSamplesOnceForTheRun) {
    // Our clock stands still at ...199.75; the samples are +2.0, +2.5, +1.5.
    Scripted service({{200, "OK\n1068227201.75\n"},
                      {200, "OK\n1068227202.25\n"},
                      {200, "OK\n1068227201.25\n"}});
    CHTTPRequestManager& m = CHTTPRequestManager::Instance();
    m.SetTimeCheckUrl(service.Url());
    EXPECT_FALSE(m.IsTimeChecked());
    Run(CConnectThread::kTimeCheck);
    EXPECT_TRUE(m.IsTimeChecked());
    const TimeCheckValues v = m.Values();
    EXPECT_NEAR(v.difference, 2.0, 1e-9);
    EXPECT_NEAR(v.localAtLastMs, (1068227199.75 - 946684800.0) * 1000.0, 1e-3);
    EXPECT_NEAR(v.serverAtLastMs, (1068227201.25 - 946684800.0) * 1000.0, 1e-3);
    EXPECT_EQ(m_status.Codes(), (std::vector<int>{kStatusTimeChecking, kStatusTimeChecked}));
    EXPECT_EQ(m_status.texts.back(), "Time is checked. Difference: 2.000");
    ASSERT_EQ(service.Calls(), 3u);
    // Values are form-encoded; the local clock has three decimals.
    EXPECT_EQ(service.bodies[0],
              "a=timeCheck&login=Ann%26Co&passwd=p%3Dw&localTime=1068227199.750");
    // Checked once per run: the second command asks nobody.
    Run(CConnectThread::kTimeCheck);
    EXPECT_EQ(service.Calls(), 3u);
    EXPECT_EQ(m_status.Codes().back(), kStatusTimeAlreadyChecked);
    EXPECT_EQ(&CurrentRequestState(), &IdleState::Instance());
}

TEST_F(RequestManagerTest, InteractiveCheckFailuresPostTheirStatus) {
    struct Case {
        std::vector<std::pair<int, std::string>> answers;
        int status;
    };
    const Case cases[] = {
        {{{404, "OK\n1\n"}}, kStatusTimeCheckFailed},
        {{{200, "OK \n1068227201.75\n"}}, kStatusTimeNotValid},  // exact "OK" only
        {{{200, "OKAY\n1068227201.75\n"}}, kStatusTimeNotValid},
        {{{200, ""}}, kStatusTimeNotValid},
        {{{200, "OK\n1068227201.75\n"}, {500, "x"}}, kStatusTimeCheckFailed},
        // No clock, or one more than a day off ours: a number cut short,
        // garbage, two days ahead, in the third sample.
        {{{200, "OK\nnan\n"}}, kStatusTimeCheckFailed},
        {{{200, "OK\n1068\n"}}, kStatusTimeCheckFailed},
        {{{200, "OK\n1068227201.75\n"}, {200, "OK\n1068227201.75\n"}, {200, "OK\ngarbage\n"}},
         kStatusTimeCheckFailed},
        {{{200, "OK\n1068400000\n"}}, kStatusTimeCheckFailed},
    };
    for (const Case& c : cases) {
        Scripted service(c.answers);
        CHTTPRequestManager::Instance().SetTimeCheckUrl(service.Url());
        m_status.codes.clear();
        Run(CConnectThread::kTimeCheck);
        EXPECT_FALSE(CHTTPRequestManager::Instance().IsTimeChecked());
        EXPECT_EQ(m_status.Codes().back(), c.status);
    }
    // Nobody listening.
    CHTTPRequestManager::Instance().SetTimeCheckUrl("http://127.0.0.1:1/x");
    Run(CConnectThread::kTimeCheck);
    EXPECT_EQ(m_status.Codes().back(), kStatusNoConnection);
    EXPECT_EQ(&CurrentRequestState(), &IdleState::Instance());
}

TEST_F(RequestManagerTest, InitialCheckWritesInitcheckEachTime) {
    ConfigStore config;
    config.Load();
    const std::string folder = StreamNameFile::StreamRoot() + config.GetString("ActiveStream");
    std::filesystem::create_directories(folder);
    Scripted service({{200, "OK\n1068227201.75\n"}});
    CHTTPRequestManager& m = CHTTPRequestManager::Instance();
    m.SetTimeCheckUrl(service.Url());
    Run(CConnectThread::kInitTimeCheck);
    const TimeCheckValues v = m.Values();
    EXPECT_TRUE(v.initTimeChecked);
    EXPECT_FALSE(v.timeChecked);
    EXPECT_EQ(m_status.Codes().back(), kStatusInitTimeChecked);
    // 14 significant digits: server then local, in ms since 2000.
    EXPECT_EQ(test::ReadFile(folder + "/initcheck.txt"), "121542401750\n121542399750\n");
    Run(CConnectThread::kInitTimeCheck);  // no guard: asks again
    EXPECT_EQ(service.Calls(), 2u);
}

TEST_F(RequestManagerTest, UploadAndImportNeedTheTimeCheck) {
    CHTTPRequestManager& m = CHTTPRequestManager::Instance();
    Scripted service({{200, "OK\n1068227201.75\n"}});
    m.SetTimeCheckUrl(service.Url());
    m.SetUploadUrl(service.Url());
    int imports = 0;
    m.SetImportHandler([&imports] { ++imports; });
    CConnectThread& thread = CConnectThread::Instance();
    EXPECT_EQ(m.UploadDescription(thread), kStatusUploadNeedsTimeCheck);
    EXPECT_FALSE(m.ImportDescription(thread));
    EXPECT_EQ(m_status.Codes(), (std::vector<int>{kStatusUploading, kStatusUploadNeedsTimeCheck,
                                                  kStatusImporting, kStatusImportNeedsTimeCheck}));
    EXPECT_EQ(service.Calls(), 0u);
    Run(CConnectThread::kTimeCheckImport);  // time check, then the import
    EXPECT_EQ(imports, 1);
    EXPECT_EQ(m_status.Codes().back(), kStatusImported);
}

TEST_F(RequestManagerTest, UploadSendsTheShiftedFileUnderItsName) {
    // A refusal that tries to clear the screen with a line of 5000 bytes.
    Scripted service({{200, "OK\n1068227201.75\n"}, {200, "OK\n1068227201.75\n"},
                      {200, "OK\n1068227201.75\n"}, {200, "OK\n"},
                      {200, "ERR no such login\x1b[2J\x07" + std::string(5000, 'x') + "\n"}});
    CHTTPRequestManager& m = CHTTPRequestManager::Instance();
    m.SetTimeCheckUrl(service.Url());
    m.SetUploadUrl(service.Url());
    const std::string folder = StreamNameFile::StreamRoot() + "R&B";
    std::filesystem::create_directories(folder);
    test::WriteFile(folder + "/desc.des",
                    "# 0.9\r\n# \r\n# \r\n07/11/2003  17:42:11.005\t07/11/2003  17:45:40.000\t"
                    "A\tT\t\t\t\t-1\t\t0\r\n");
    m.SetUploadRequest("me", "pw", "R&B", "1", "20000", folder + "/desc.des");
    Run(CConnectThread::kTimeCheck);
    CConnectThread& thread = CConnectThread::Instance();
    EXPECT_EQ(m.UploadDescription(thread), kStatusUploaded);
    const std::string body = service.bodies.at(3);
    EXPECT_EQ(body.rfind("a=uploadfp&login=me&passwd=pw&srcname=R%26B&srctype=1&MAX_FILE_SIZE="
                         "20000&userfile=desc.des&fileContent=",
                         0),
              0u)
        << body;
    // Shifted by the +2.0 s difference.
    EXPECT_NE(body.find("17%3A42%3A13.005"), std::string::npos) << body;
    EXPECT_EQ(m.UploadDescription(thread), kStatusUploadRefused);
    EXPECT_EQ(m_status.texts.back(),
              "File upload failed - ERR no such login?[2J?" + std::string(47, 'x') + "...");
}

TEST_F(RequestManagerTest, PostRequestWaitingAndPosted) {
    Scripted service({{200, "a\r\nb\n"}, {404, "gone"}, {200, "x\n"}, {500, ""}});
    const RequestOwner direct{&m_http, nullptr, kNoReceiver};
    HttpForm form;
    form.Add("k", "v");
    auto r = PostRequestAndWait(direct, "T", service.Url(), form);
    EXPECT_EQ(r->kind, RequestResult::kAnswered);
    EXPECT_EQ(r->lines, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(r->id, "T");
    r = PostRequestAndWait(direct, "T", service.Url(), form);
    EXPECT_EQ(r->kind, RequestResult::kFailed);
    EXPECT_EQ(r->status, 404);
    EXPECT_TRUE(r->lines.empty());
    r = PostRequestAndWait(direct, "T", "http://127.0.0.1:1/x", form);
    EXPECT_EQ(r->kind, RequestResult::kNotDone);

    struct Receiver final : MessageReceiver {
        void HandleMessage(Message& m) override {
            ids.push_back(m.id);
            statuses.push_back(static_cast<int>(m.p1));
            if (const RequestResult* result = m.PayloadAs<RequestResult>())
                lines = result->lines;
        }
        std::vector<int> ids, statuses;
        std::vector<std::string> lines;
    } receiver;
    EventLoop loop;
    ReceiverSlot slot(loop, &receiver);
    const RequestOwner owner{&m_http, &loop, slot.Id()};
    for (int i = 0; i < 2; ++i) {
        StartPostRequest(owner, "P", service.Url(), form);
        ASSERT_TRUE(WaitForPostRequests(10000));
        loop.ProcessPending();
    }
    EXPECT_EQ(receiver.ids, (std::vector<int>{kPostResultMessage, kPostFailedMessage}));
    EXPECT_EQ(receiver.statuses, (std::vector<int>{200, 500}));
    EXPECT_EQ(receiver.lines, std::vector<std::string>{"x"});
}

}  // namespace
}  // namespace wk
