#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "support/WaitFor.h"

namespace wk::test {

std::string SeenRequest::Param(const std::string& name) const {
    const auto it = params.find(name);
    return it == params.end() ? "" : it->second;
}

LoopbackServer::LoopbackServer() {
    ::setenv("no_proxy", "127.0.0.1", 1);
    ::setenv("NO_PROXY", "127.0.0.1", 1);
    const auto serve = [this](const httplib::Request& q, httplib::Response& a) { Serve(q, a); };
    m_server.Get(".*", serve);
    m_server.Post(".*", serve);
    m_port = m_server.bind_to_any_port("127.0.0.1");
    if (m_port <= 0) {
        ADD_FAILURE() << "no loopback port to serve on";
        return;
    }
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    // stop() only works once the loop runs.
    if (!WaitFor([this] { return m_server.is_running(); }, std::chrono::seconds(10)))
        ADD_FAILURE() << "the loopback server did not come up";
}

LoopbackServer::~LoopbackServer() {
    if (!m_thread.joinable()) return;
    m_server.stop();
    m_thread.join();
}

void LoopbackServer::Script(const std::string& path, std::vector<Answer> answers) {
    auto next = std::make_shared<std::atomic<size_t>>(0);
    Handle(path,
           [answers = std::move(answers), next](const httplib::Request&, httplib::Response& res) {
               const Answer& a = answers.at(std::min((*next)++, answers.size() - 1));
               res.status = a.status;
               res.set_content(a.body, "text/plain");
           });
}

void LoopbackServer::Handle(const std::string& path, Handler handler) {
    std::lock_guard lock(m_mutex);
    m_handlers[path] = std::move(handler);
}

std::vector<SeenRequest> LoopbackServer::Seen(const std::string& path) const {
    std::lock_guard lock(m_mutex);
    std::vector<SeenRequest> seen;
    for (const SeenRequest& r : m_seen)
        if (r.path == path) seen.push_back(r);
    return seen;
}

std::string LoopbackServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void LoopbackServer::Serve(const httplib::Request& request, httplib::Response& response) {
    Handler handler;
    {
        std::lock_guard lock(m_mutex);
        m_seen.push_back({request.method, request.path, request.target, request.body,
                          request.params, request.headers});
        const auto it = m_handlers.find(request.path);
        if (it != m_handlers.end()) handler = it->second;
    }
    if (handler) {
        handler(request, response);
    } else {
        response.status = 404;
    }
}

RawSocket::RawSocket(bool listening) {
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

RawSocket::~RawSocket() {
    if (m_fd >= 0) ::close(m_fd);
}

bool RawSocket::ConnectionWaiting(int ms) const {
    pollfd p{m_fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

}  // namespace wk::test
