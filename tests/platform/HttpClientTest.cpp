#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/Trace.h"
#include "platform/HttpClientCurl.h"
#include "support/BlackHole.h"
#include "support/LoopbackServer.h"
#include "support/TempHome.h"
#include "support/WaitFor.h"

namespace wk {
namespace {

using Outcome = HttpResult::Outcome;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test::LoopbackServer;
using test::RawSocket;

milliseconds Since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// `chunked`: no Content-Length, so only the running count can stop it.
struct Reply {
    int status = 200;
    std::string body;
    bool chunked = false;
    std::string location = "";
};

LoopbackServer::Handler Answer(Reply reply) {
    return [reply](const httplib::Request&, httplib::Response& res) {
        res.status = reply.status;
        if (!reply.location.empty()) res.set_header("Location", reply.location);
        if (!reply.chunked) {
            res.set_content(reply.body, "text/plain");
            return;
        }
        res.set_chunked_content_provider(
            "text/plain", [body = reply.body](size_t, httplib::DataSink& sink) {
                for (size_t at = 0; at < body.size(); at += 100)
                    sink.write(body.data() + at, std::min<size_t>(100, body.size() - at));
                sink.done();
                return true;
            });
    };
}

HttpSettings QuickSettings() {
    HttpSettings s;
    s.connectTimeoutMs = 2000;
    s.connectRetries = 0;
    s.retryPauseMs = 10;
    s.totalTimeoutMs = 5000;
    return s;
}

TEST(HttpClientTest, FormValuesArriveIntactAndInOrder) {
    LoopbackServer server;
    server.Handle("/form.php", Answer({}));
    HttpClientCurl client(QuickSettings());
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"zeta", "a&b=c"}, {"alpha", "1+1=2"},       {"mid", "50% off"}, {"umlaut", "\xC3\xBC"},
        {"empty", ""},     {"all", "&+= \xC3\xBC%"}, {"crlf", "x\r\ny"}, {"slash", "/?#;"},
    };
    HttpForm form;
    for (const auto& [name, value] : fields) form.Add(name, value);

    const HttpResult r = client.PostForm(server.Url("/form.php"), form);
    ASSERT_EQ(r.outcome, Outcome::kOk) << r.error;
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.attempts, 1);
    const auto seen = server.Seen("/form.php");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].headers.find("Content-Type")->second, "application/x-www-form-urlencoded");
    EXPECT_EQ(seen[0].headers.find("User-Agent")->second, "wavkeepSession");
    EXPECT_EQ(seen[0].params.size(), fields.size());
    // The raw body splits into exactly the fields, in the order given.
    std::string names;
    for (size_t start = 0; start <= seen[0].body.size();) {
        const size_t end = std::min(seen[0].body.find('&', start), seen[0].body.size());
        const std::string part = seen[0].body.substr(start, end - start);
        names += part.substr(0, part.find('=')) + " ";
        EXPECT_EQ(std::count(part.begin(), part.end(), '='), 1) << part;
        start = end + 1;
    }
    EXPECT_EQ(names, "zeta alpha mid umlaut empty all crlf slash ");
    for (const auto& [name, value] : fields) EXPECT_EQ(seen[0].Param(name), value) << name;
}

TEST(HttpClientTest, AnswerLinesSplitAtAnyLineEnd) {
    const struct {
        std::string body;
        std::vector<std::string> lines;
    } cases[] = {
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
    for (const auto& c : cases)
        EXPECT_EQ(HttpClientCurl::SplitLines(c.body), c.lines) << testing::PrintToString(c.body);
}

// Whatever the status, the answer comes back byte for byte, split into its
// lines, and a redirect is not followed.
TEST(HttpClientTest, AnswersComeBackWithTheirStatusAndBodies) {
    std::string binary;
    for (int b = 0; b < 1024; ++b) binary += static_cast<char>(b % 256);
    LoopbackServer server;
    const struct {
        bool post;
        Reply reply;
    } cases[] = {
        {true, {404, "not here\n"}},
        {true, {500, "boom\r\nline 2"}},
        {false, {404, "gone"}},
        {true, {302, "moved\n", false, server.Url("/elsewhere")}},
        {false, {301, "moved", false, server.Url("/elsewhere")}},
        {true, {200, ""}},
        {false, {200, binary}},
    };
    HttpClientCurl client(QuickSettings());
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.reply.status) + (c.post ? " POST" : " GET"));
        server.Handle("/page", Answer(c.reply));
        const size_t before = server.Seen("/page").size();
        const HttpResult r = c.post ? client.PostForm(server.Url("/page"), HttpForm{}.Add("k", "v"))
                                    : client.Get(server.Url("/page"));
        ASSERT_EQ(r.outcome, Outcome::kOk) << r.error;
        EXPECT_EQ(r.status, c.reply.status);
        EXPECT_EQ(r.body, c.reply.body);
        EXPECT_EQ(r.lines, HttpClientCurl::SplitLines(c.reply.body));
        const auto seen = server.Seen("/page");
        ASSERT_EQ(seen.size(), before + 1);
        EXPECT_EQ(seen.back().method, c.post ? "POST" : "GET");
        EXPECT_TRUE(server.Seen("/elsewhere").empty());
    }
}

TEST(HttpClientTest, AnswerCapEndsTheRequestAsTooLarge) {
    const struct {
        size_t size;
        bool chunked;
        Outcome outcome;
    } cases[] = {
        {1000, false, Outcome::kOk},       {1001, false, Outcome::kTooLarge},
        {1000, true, Outcome::kOk},        {1001, true, Outcome::kTooLarge},
        {50000, true, Outcome::kTooLarge},
    };
    LoopbackServer server;
    HttpSettings settings = QuickSettings();
    settings.maxAnswerBytes = 1000;
    settings.connectRetries = 3;
    HttpClientCurl client(settings);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + (c.chunked ? " chunked" : " with length"));
        server.Handle("/big", Answer({200, std::string(c.size, 'x'), c.chunked}));
        const HttpResult r = client.PostForm(server.Url("/big"), HttpForm{}.Add("k", "v"));
        EXPECT_EQ(r.outcome, c.outcome) << r.error;
        EXPECT_EQ(r.attempts, 1);
        EXPECT_EQ(r.body.size(), c.outcome == Outcome::kOk ? c.size : 0);
    }
}

TEST(HttpClientTest, PortOfTheUrlIsHonoured) {
    LoopbackServer first, second;
    first.Handle("/p", Answer({200, "first"}));
    first.Handle("/", Answer({200, "first"}));
    second.Handle("/p", Answer({200, "second"}));
    HttpClientCurl client(QuickSettings());
    EXPECT_EQ(client.PostForm(first.Url("/p"), HttpForm{}).body, "first");
    EXPECT_EQ(client.PostForm(second.Url("/p"), HttpForm{}).body, "second");
    // No path at all still reaches the port.
    EXPECT_EQ(client.Get(first.Url("")).body, "first");
}

TEST(HttpClientTest, UnusableUrlsAreRejected) {
    HttpSettings settings = QuickSettings();
    settings.connectRetries = 5;
    HttpClientCurl client(settings);
    for (const std::string url : {"", "ftp://127.0.0.1:1/x", "file:///etc/hostname", "http://",
                                  "http://127.0.0.1:99999/x"}) {
        const HttpResult r = client.PostForm(url, HttpForm{}.Add("k", "v"));
        EXPECT_EQ(r.outcome, Outcome::kBadUrl) << url << r.error;
        EXPECT_LE(r.attempts, 1) << url;
        EXPECT_FALSE(r.error.empty()) << url;
    }
}

TEST(HttpClientTest, RefusedConnectionIsRetriedTheConfiguredNumberOfTimes) {
    RawSocket refusing(false);
    for (const int retries : {0, 3}) {
        HttpSettings settings = QuickSettings();
        settings.connectRetries = retries;
        settings.retryPauseMs = 40;
        HttpClientCurl client(settings);
        const auto start = Clock::now();
        const HttpResult r = client.PostForm(refusing.Url(), HttpForm{}.Add("k", "v"));
        EXPECT_EQ(r.outcome, Outcome::kConnectFailed) << retries;
        EXPECT_EQ(r.attempts, retries + 1);
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(r.error.empty());
        EXPECT_GE(Since(start), milliseconds(40 * retries));
    }
    // A connection the server drops may have reached it: not sent again.
    RawSocket slamming(true);
    std::thread closer([&] {
        if (slamming.ConnectionWaiting(10000)) ::close(::accept(slamming.Fd(), nullptr, nullptr));
    });
    HttpSettings settings = QuickSettings();
    settings.connectRetries = 4;
    const HttpResult r =
        HttpClientCurl(settings).PostForm(slamming.Url(), HttpForm{}.Add("k", "v"));
    closer.join();
    EXPECT_EQ(r.outcome, Outcome::kConnectFailed);
    EXPECT_EQ(r.attempts, 1);
    EXPECT_FALSE(slamming.ConnectionWaiting(0));
}

TEST(HttpClientTest, NoAnswerEndsTheRequestWithinItsTimeLimitRetriesIncluded) {
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
        HttpSettings settings = QuickSettings();
        settings.connectTimeoutMs = 20000;
        settings.connectRetries = 20;
        settings.totalTimeoutMs = c.totalMs;
        HttpClientCurl client(WithDeadlineIn(settings, c.deadlineMs));
        const auto start = Clock::now();
        const HttpResult r = client.PostForm(c.url, HttpForm{}.Add("k", "v"));
        const auto took = Since(start);
        EXPECT_EQ(r.outcome, Outcome::kTimedOut) << c.what << r.error;
        EXPECT_GE(took, milliseconds(250)) << c.what;
        EXPECT_LT(took, milliseconds(2000)) << c.what;
    }
    // Past the deadline a request fails at once, without a connection.
    const HttpResult r = HttpClientCurl(WithDeadlineIn(QuickSettings(), 0)).Get(silent.Url());
    EXPECT_EQ(r.outcome, Outcome::kTimedOut);
    EXPECT_EQ(r.attempts, 0);
}

// The cancel comes once the request hangs: on a server that took the
// connection and never answers, or in the pause before a retry (its trace
// line tells).
TEST(HttpClientTest, CancelEndsRunningAndLaterRequestsUntilReset) {
    test::TempDir traces;
    SetTraceFileBase(traces.File("Log"));
    SetTraceLevel(kTraceDebug);
    LoopbackServer server;
    server.Handle("/after", Answer({200, "OK\n"}));
    for (const bool listening : {true, false}) {
        SCOPED_TRACE(listening ? "hanging request" : "retry pause");
        RawSocket target(listening);
        HttpSettings settings = QuickSettings();
        settings.totalTimeoutMs = 20000;
        settings.connectRetries = 5;
        settings.retryPauseMs = 20000;
        HttpClientCurl client(settings);
        Clock::time_point cancelledAt;
        std::thread canceller([&] {
            if (listening ? target.ConnectionWaiting(10000) : test::WaitFor([&] {
                    return test::TraceText(traces.Path()).find("retry 1 of 5") != std::string::npos;
                }))
                cancelledAt = Clock::now();
            client.Cancel();
        });
        const HttpResult r = client.PostForm(target.Url(), HttpForm{}.Add("k", "v"));
        const auto done = Clock::now();
        canceller.join();
        EXPECT_EQ(r.outcome, Outcome::kCancelled) << r.error;
        EXPECT_EQ(r.attempts, 1);
        EXPECT_LT(std::chrono::duration_cast<milliseconds>(done - cancelledAt), milliseconds(500));

        const HttpResult later = client.Get(server.Url("/after"));
        EXPECT_EQ(later.outcome, Outcome::kCancelled);
        EXPECT_EQ(later.attempts, 0);
        client.Reset();
        const HttpResult after = client.Get(server.Url("/after"));
        EXPECT_EQ(after.outcome, Outcome::kOk) << after.error;
        EXPECT_EQ(after.lines, std::vector<std::string>{"OK"});
    }
    SetTraceLevel(0);
    SetTraceFileBase("");
}

TEST(HttpClientTest, OneClientServesSeveralThreadsAtOnce) {
    LoopbackServer server;
    server.Handle("/echo", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.get_param_value("v"), "text/plain");
    });
    HttpClientCurl client(QuickSettings());
    constexpr int kThreads = 4, kRequests = 8;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequests; ++i) {
                const std::string value =
                    std::string("t") + std::to_string(t) + "&i=" + std::to_string(i);
                const HttpResult r =
                    client.PostForm(server.Url("/echo"), HttpForm{}.Add("v", value));
                if (r.outcome == Outcome::kOk && r.body == value) ++good;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(good, kThreads * kRequests);
}

}  // namespace
}  // namespace wk
