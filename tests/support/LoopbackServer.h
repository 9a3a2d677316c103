#pragma once
// Stand-ins for the web service on 127.0.0.1 and a free port.

#include <httplib.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wk::test {

struct Answer {
    int status = 200;
    std::string body;
};

struct SeenRequest {
    std::string method, path, target, body;
    httplib::Params params;  // of the query and of a form body
    httplib::Headers headers;
    std::string Param(const std::string& name) const;
};

// A cpp-httplib server in a thread of its own that answers each path as the
// test scripts it (404 where it did not) and keeps the requests it saw. Its
// start-up is bounded: a failed bind fails the test instead of hanging it.
// It also keeps libcurl from sending loopback requests to a proxy named in
// the environment of the machine running the tests.
class LoopbackServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // The answers in turn, the last one again once they run out.
    void Script(const std::string& path, std::vector<Answer> answers);
    void Handle(const std::string& path, Handler handler);
    std::vector<SeenRequest> Seen(const std::string& path) const;

    int Port() const { return m_port; }
    std::string Url(const std::string& path) const;

private:
    void Serve(const httplib::Request& request, httplib::Response& response);

    mutable std::mutex m_mutex;
    std::map<std::string, Handler> m_handlers;
    std::vector<SeenRequest> m_seen;
    httplib::Server m_server;
    int m_port = -1;
    std::thread m_thread;
};

// A TCP socket on 127.0.0.1 and a free port. Bound but not listening, it
// refuses connections; listening, the kernel completes connections that
// nobody ever answers.
class RawSocket {
public:
    explicit RawSocket(bool listening);
    ~RawSocket();
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    int Fd() const { return m_fd; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/x"; }
    // Whether a connection waits to be accepted, within `ms`.
    bool ConnectionWaiting(int ms) const;

private:
    int m_fd = -1;
    int m_port = 0;
};

}  // namespace wk::test
