#include "platform/HttpClientCurl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "support/BlackHole.h"

namespace wk {
namespace {

using Outcome = HttpResult::Outcome;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds Since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

struct Answer {
    int status = 200;
    std::string body;
    bool chunked = false;  // no Content-Length, so only the running count can stop it
    std::string location;
};

struct Seen {
    std::string method;
    std::string path;
    std::string body;
    std::string contentType;
    std::string userAgent;
    std::vector<std::pair<std::string, std::string>> params;
    int count = 0;
};

// A cpp-httplib server on 127.0.0.1 and a free port, answering every path
// with the answer set last; "/echo" answers with its form field "v".
class LoopbackServer {
public:
    LoopbackServer() {
        m_server.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.get_param_value("v"), "text/plain");
        });
        const auto handler = [this](const httplib::Request& req, httplib::Response& res) {
            Answer answer;
            {
                std::lock_guard lock(m_mutex);
                m_seen.method = req.method;
                m_seen.path = req.path;
                m_seen.body = req.body;
                m_seen.contentType = req.get_header_value("Content-Type");
                m_seen.userAgent = req.get_header_value("User-Agent");
                m_seen.params.assign(req.params.begin(), req.params.end());
                ++m_seen.count;
                answer = m_answer;
            }
            res.status = answer.status;
            if (!answer.location.empty())
                res.set_header("Location", answer.location);
            if (answer.chunked) {
                res.set_chunked_content_provider(
                    "text/plain", [body = answer.body](size_t, httplib::DataSink& sink) {
                        for (size_t at = 0; at < body.size(); at += 100)
                            sink.write(body.data() + at, std::min<size_t>(100, body.size() - at));
                        sink.done();
                        return true;
                    });
            } else {
                res.set_content(answer.body, "text/plain");
            }
        };
        m_server.Get(R"(/.*)", handler);
        m_server.Post(R"(/.*)", handler);
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        // stop() only works once the loop runs.
        for (int i = 0; i < 500 && !m_server.is_running(); ++i)
            std::this_thread::sleep_for(milliseconds(2));
    }
    ~LoopbackServer() {
        m_server.stop();
        m_thread.join();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::string Url(const std::string& path) const {
        return std::string("http://127.0.0.1:") + std::to_string(m_port) + path;
    }
    void SetAnswer(Answer answer) {
        std::lock_guard lock(m_mutex);
        m_answer = std::move(answer);
    }
    Seen LastRequest() const {
        std::lock_guard lock(m_mutex);
        return m_seen;
    }
    int Port() const { return m_port; }

private:
    httplib::Server m_server;
    mutable std::mutex m_mutex;
    Answer m_answer;
    Seen m_seen;
    int m_port = 0;
    std::thread m_thread;
};

// A TCP socket on 127.0.0.1 and a free port. Bound but not listening, it
// refuses connections; listening, the kernel completes connections that
// nobody ever answers.
class RawSocket {
public:
    explicit RawSocket(bool listening) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
            (listening && ::listen(m_fd, 16) != 0))
            ADD_FAILURE() << "loopback socket set-up failed";
        m_port = ntohs(addr.sin_port);
    }
    ~RawSocket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    int Fd() const { return m_fd; }
    std::string Url() const { return std::string("http://127.0.0.1:") + std::to_string(m_port) + "/x"; }

private:
    int m_fd = -1;
    int m_port = 0;
};

// Accepts connections and closes them at once, counting them.
class SlammingServer {
public:
    SlammingServer() : m_socket(true) {
        m_thread = std::thread([this] {
            while (!m_stop) {
                pollfd p{m_socket.Fd(), POLLIN, 0};
                if (::poll(&p, 1, 20) == 1) {
                    const int fd = ::accept(m_socket.Fd(), nullptr, nullptr);
                    if (fd >= 0) {
                        ++m_accepted;
                        ::close(fd);
                    }
                }
            }
        });
    }
    ~SlammingServer() {
        m_stop = true;
        m_thread.join();
    }
    SlammingServer(const SlammingServer&) = delete;
    SlammingServer& operator=(const SlammingServer&) = delete;

    std::string Url() const { return m_socket.Url(); }
    int Accepted() const { return m_accepted; }

private:
    RawSocket m_socket;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
};

// libcurl would send even loopback requests to a proxy named in the
// environment of the machine running the tests.
class HttpClientTest : public testing::Test {
protected:
    void SetUp() override {
        ::setenv("no_proxy", "127.0.0.1", 1);
        ::setenv("NO_PROXY", "127.0.0.1", 1);
    }
};

HttpSettings QuickSettings() {
    HttpSettings s;
    s.connectTimeoutMs = 2000;
    s.connectRetries = 0;
    s.retryPauseMs = 10;
    s.totalTimeoutMs = 5000;
    return s;
}

TEST_F(HttpClientTest, FormValuesArriveIntactAndInOrder) {
    LoopbackServer server;
    HttpClientCurl client(QuickSettings());
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"zeta", "a&b=c"},     {"alpha", "1+1=2"},   {"mid", "50% off"},
        {"umlaut", "\xC3\xBC"}, {"empty", ""},       {"all", "&+= \xC3\xBC%"},
        {"crlf", "x\r\ny"},    {"slash", "/?#;"},
    };
    HttpForm form;
    for (const auto& [name, value] : fields)
        form.Add(name, value);

    const HttpResult r = client.PostForm(server.Url("/form.php"), form);
    ASSERT_EQ(r.outcome, Outcome::kOk) << r.error;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.attempts, 1);

    const Seen seen = server.LastRequest();
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.path, "/form.php");
    EXPECT_EQ(seen.contentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(seen.userAgent, "wavkeepSession");
    for (const auto& field : fields) {
        const auto it = std::find_if(seen.params.begin(), seen.params.end(),
                                     [&](const auto& p) { return p.first == field.first; });
        ASSERT_NE(it, seen.params.end()) << field.first;
        EXPECT_EQ(it->second, field.second) << field.first;
    }
    EXPECT_EQ(seen.params.size(), fields.size());

    // The raw body still splits into exactly the fields, in the order given.
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= seen.body.size()) {
        size_t end = seen.body.find('&', start);
        if (end == std::string::npos)
            end = seen.body.size();
        const std::string part = seen.body.substr(start, end - start);
        names.push_back(part.substr(0, part.find('=')));
        EXPECT_EQ(std::count(part.begin(), part.end(), '='), 1) << part;
        start = end + 1;
    }
    ASSERT_EQ(names.size(), fields.size()) << seen.body;
    for (size_t i = 0; i < fields.size(); ++i)
        EXPECT_EQ(names[i], fields[i].first);
}

TEST_F(HttpClientTest, AnswerLinesSplitAtAnyLineEnd) {
    struct Case {
        std::string body;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"OK\r\n1234\r\n", {"OK", "1234"}},
        {"OK\n1234\n", {"OK", "1234"}},
        {"OK\r1234\r", {"OK", "1234"}},
        {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
        {"last line without end", {"last line without end"}},
        {"OK\n\n", {"OK", ""}},
        {"a\r\n\r\nb", {"a", "", "b"}},
        {"a\n\rb", {"a", "", "b"}},
        {"\n", {""}},
        {"", {}},
    };
    LoopbackServer server;
    HttpClientCurl client(QuickSettings());
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.body));
        server.SetAnswer({200, c.body, false, ""});
        const HttpResult r = client.PostForm(server.Url("/lines"), HttpForm{}.Add("a", "b"));
        ASSERT_EQ(r.outcome, Outcome::kOk) << r.error;
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, c.body);
        EXPECT_EQ(r.lines, c.lines);
    }
}

TEST_F(HttpClientTest, NonOkStatusAndRedirectComeBackWithTheirBodies) {
    struct Case {
        bool post;
        Answer answer;
    };
    LoopbackServer server;
    const std::vector<Case> cases = {
        {true, {404, "not here\n", false, ""}},
        {true, {500, "boom\r\nline 2", false, ""}},
        {false, {404, "gone", false, ""}},
        {true, {302, "moved\n", false, server.Url("/elsewhere")}},
        {false, {301, "moved", false, server.Url("/elsewhere")}},
        {true, {200, "", false, ""}},
    };
    HttpClientCurl client(QuickSettings());
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.answer.status) + (c.post ? " POST" : " GET"));
        server.SetAnswer(c.answer);
        const int before = server.LastRequest().count;
        const HttpResult r = c.post ? client.PostForm(server.Url("/page"), HttpForm{}.Add("k", "v"))
                                    : client.Get(server.Url("/page"));
        ASSERT_EQ(r.outcome, Outcome::kOk) << r.error;
        EXPECT_EQ(r.status, c.answer.status);
        EXPECT_EQ(r.body, c.answer.body);
        EXPECT_EQ(r.lines, HttpClientCurl::SplitLines(c.answer.body));
        const Seen seen = server.LastRequest();
        EXPECT_EQ(seen.count, before + 1) << "a redirect was followed";
        EXPECT_EQ(seen.path, "/page");
        EXPECT_EQ(seen.method, c.post ? "POST" : "GET");
    }
}

TEST_F(HttpClientTest, AnswerCapEndsTheRequestAsTooLarge) {
    struct Case {
        size_t size;
        bool chunked;
        Outcome outcome;
    };
    const std::vector<Case> cases = {
        {1000, false, Outcome::kOk},
        {1001, false, Outcome::kTooLarge},
        {1000, true, Outcome::kOk},
        {1001, true, Outcome::kTooLarge},
        {50000, true, Outcome::kTooLarge},
    };
    LoopbackServer server;
    HttpSettings settings = QuickSettings();
    settings.maxAnswerBytes = 1000;
    settings.connectRetries = 3;
    HttpClientCurl client(settings);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + (c.chunked ? " chunked" : " with length"));
        server.SetAnswer({200, std::string(c.size, 'x'), c.chunked, ""});
        const HttpResult r = client.PostForm(server.Url("/big"), HttpForm{}.Add("k", "v"));
        EXPECT_EQ(r.outcome, c.outcome) << r.error;
        EXPECT_EQ(r.attempts, 1);
        if (c.outcome == Outcome::kOk)
            EXPECT_EQ(r.body.size(), c.size);
        else
            EXPECT_TRUE(r.body.empty());
    }
}

TEST_F(HttpClientTest, BinaryAnswerArrivesByteForByte) {
    std::string body;
    for (int round = 0; round < 4; ++round)
        for (int b = 0; b < 256; ++b)
            body += static_cast<char>(b);
    LoopbackServer server;
    server.SetAnswer({200, body, false, ""});
    HttpClientCurl client(QuickSettings());
    const HttpResult r = client.Get(server.Url("/bin"));
    ASSERT_EQ(r.outcome, Outcome::kOk) << r.error;
    EXPECT_EQ(r.body, body);
    // Each round holds one LF and one CR; the tail of a round runs into the next.
    EXPECT_EQ(r.lines.size(), 4u * 2u + 1u);
}

TEST_F(HttpClientTest, PortOfTheUrlIsHonoured) {
    LoopbackServer first;
    LoopbackServer second;
    first.SetAnswer({200, "first", false, ""});
    second.SetAnswer({200, "second", false, ""});
    HttpClientCurl client(QuickSettings());
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(client.PostForm(first.Url("/p"), HttpForm{}).body, "first");
        EXPECT_EQ(client.PostForm(second.Url("/p"), HttpForm{}).body, "second");
    }
    // No path at all still reaches the port.
    EXPECT_EQ(client.Get(std::string("http://127.0.0.1:") + std::to_string(first.Port())).body, "first");
}

TEST_F(HttpClientTest, UnusableUrlsAreRejected) {
    HttpSettings settings = QuickSettings();
    settings.connectRetries = 5;
    HttpClientCurl client(settings);
    for (const std::string url : {"", "ftp://127.0.0.1:1/x", "file:///etc/hostname",
                                  "http://", "http://127.0.0.1:99999/x"}) {
        SCOPED_TRACE(url);
        const HttpResult r = client.PostForm(url, HttpForm{}.Add("k", "v"));
        EXPECT_EQ(r.outcome, Outcome::kBadUrl) << r.error;
        EXPECT_LE(r.attempts, 1);
        EXPECT_FALSE(r.error.empty());
    }
}

TEST_F(HttpClientTest, RefusedConnectionIsRetriedTheConfiguredNumberOfTimes) {
    RawSocket refusing(false);
    for (const int retries : {0, 3}) {
        SCOPED_TRACE(retries);
        HttpSettings settings = QuickSettings();
        settings.connectRetries = retries;
        settings.retryPauseMs = 40;
        HttpClientCurl client(settings);
        const auto start = Clock::now();
        const HttpResult r = client.PostForm(refusing.Url(), HttpForm{}.Add("k", "v"));
        const auto took = Since(start);
        EXPECT_EQ(r.outcome, Outcome::kConnectFailed);
        EXPECT_EQ(r.attempts, retries + 1);
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(r.error.empty());
        EXPECT_GE(took, milliseconds(40 * retries));
        EXPECT_LT(took, milliseconds(3000));
    }
}

TEST_F(HttpClientTest, ConnectionDroppedByTheServerIsNotSentAgain) {
    SlammingServer server;
    HttpSettings settings = QuickSettings();
    settings.connectRetries = 4;
    HttpClientCurl client(settings);
    const HttpResult r = client.PostForm(server.Url(), HttpForm{}.Add("k", "v"));
    EXPECT_EQ(r.outcome, Outcome::kConnectFailed);
    EXPECT_EQ(r.attempts, 1);
    EXPECT_EQ(server.Accepted(), 1);
}

TEST_F(HttpClientTest, NoAnswerEndsTheRequestWithinItsTimeLimitRetriesIncluded) {
    RawSocket silent(true);
    test::BlackHole blackHole;  // connect attempts time out, and would be retried
    const struct {
        const char* what;
        std::string url;
        int totalMs;
        int deadlineMs;
    } cases[] = {
        {"silent server", silent.Url(), 300, 20000},
        {"black hole", blackHole.Root() + "/x", 300, 20000},
        {"black hole, the command's deadline first", blackHole.Root() + "/x", 20000, 300},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HttpSettings settings = QuickSettings();
        settings.connectTimeoutMs = 20000;
        settings.connectRetries = 20;
        settings.totalTimeoutMs = c.totalMs;
        HttpClientCurl client(WithDeadlineIn(settings, c.deadlineMs));
        const auto start = Clock::now();
        const HttpResult r = client.PostForm(c.url, HttpForm{}.Add("k", "v"));
        const auto took = Since(start);
        EXPECT_EQ(r.outcome, Outcome::kTimedOut) << r.error;
        EXPECT_GE(took, milliseconds(250));
        EXPECT_LT(took, milliseconds(2000));
    }
    // Past the deadline a request fails at once, without a connection.
    HttpClientCurl late(WithDeadlineIn(QuickSettings(), 0));
    const HttpResult r = late.Get(silent.Url());
    EXPECT_EQ(r.outcome, Outcome::kTimedOut);
    EXPECT_EQ(r.attempts, 0);
}

TEST_F(HttpClientTest, CancelEndsRunningAndLaterRequestsUntilReset) {
    struct Case {
        const char* what;
        bool listening;  // a silent server, else a refusing port with a long retry pause
    };
    LoopbackServer server;
    server.SetAnswer({200, "OK\n", false, ""});
    for (const Case c : {Case{"hanging request", true}, Case{"retry pause", false}}) {
        SCOPED_TRACE(c.what);
        RawSocket target(c.listening);
        HttpSettings settings = QuickSettings();
        settings.totalTimeoutMs = 20000;
        settings.connectRetries = 5;
        settings.retryPauseMs = 20000;
        HttpClientCurl client(settings);

        Clock::time_point cancelledAt;
        std::thread canceller([&] {
            std::this_thread::sleep_for(milliseconds(150));
            cancelledAt = Clock::now();
            client.Cancel();
        });
        const HttpResult r = client.PostForm(target.Url(), HttpForm{}.Add("k", "v"));
        const auto done = Clock::now();
        canceller.join();
        EXPECT_EQ(r.outcome, Outcome::kCancelled) << r.error;
        EXPECT_EQ(r.attempts, 1);
        EXPECT_LT(std::chrono::duration_cast<milliseconds>(done - cancelledAt),
                  milliseconds(500));

        const HttpResult later = client.Get(server.Url("/later"));
        EXPECT_EQ(later.outcome, Outcome::kCancelled);
        EXPECT_EQ(later.attempts, 0);

        client.Reset();
        const HttpResult after = client.Get(server.Url("/after"));
        EXPECT_EQ(after.outcome, Outcome::kOk) << after.error;
        EXPECT_EQ(after.lines, std::vector<std::string>{"OK"});
    }
}

TEST_F(HttpClientTest, OneClientServesSeveralThreadsAtOnce) {
    LoopbackServer server;
    HttpClientCurl client(QuickSettings());
    constexpr int kThreads = 4;
    constexpr int kRequests = 8;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequests; ++i) {
                const std::string value = std::string("t") + std::to_string(t) + "&i=" + std::to_string(i);
                const HttpResult r = client.PostForm(server.Url("/echo"), HttpForm{}.Add("v", value));
                if (r.outcome == Outcome::kOk && r.body == value)
                    ++good;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good, kThreads * kRequests);
}

}  // namespace
}  // namespace wk
