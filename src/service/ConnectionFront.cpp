#include "service/ConnectionFront.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/SystemInfo.h"

namespace wk {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A header longer than this is handed over as it is; the server refuses it.
constexpr size_t kMaxHeaderBytes = 64 * 1024;
// How long the listening socket rests when no descriptor is left for accept.
constexpr int kAcceptPauseMs = 100;

int MsUntil(SteadyClock::time_point when) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when - SteadyClock::now()).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 60000));
}

bool WaitFor(int fd, short events, SteadyClock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, MsUntil(deadline));
        if (n > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
        if (n == 0 || errno != EINTR) return false;
    }
}

std::string Address(const sockaddr_storage& a, int& port) {
    char text[INET6_ADDRSTRLEN] = "?";
    port = 0;
    if (a.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(a);
        ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        port = ntohs(in.sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a);
        ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
        port = ntohs(in6.sin6_port);
    }
    return text;
}

std::string Peer(int fd) {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    int port = 0;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) return "?";
    return Address(a, port);
}

// The request buffered by the front, then the socket up to the deadline.
class BufferedStream final : public httplib::Stream {
public:
    BufferedStream(int fd, std::string bytes, SteadyClock::time_point readDeadline,
                   SteadyClock::time_point writeDeadline)
        : m_fd(fd),
          m_bytes(std::move(bytes)),
          m_readDeadline(readDeadline),
          m_writeDeadline(writeDeadline) {}

    bool is_readable() const override {
        return m_at < m_bytes.size() || WaitFor(m_fd, POLLIN, m_readDeadline);
    }
    bool is_writable() const override { return WaitFor(m_fd, POLLOUT, m_writeDeadline); }

    ssize_t read(char* ptr, size_t size) override {
        if (m_at < m_bytes.size()) {
            const size_t n = std::min(size, m_bytes.size() - m_at);
            std::memcpy(ptr, m_bytes.data() + m_at, n);
            m_at += n;
            return static_cast<ssize_t>(n);
        }
        for (;;) {
            if (!WaitFor(m_fd, POLLIN, m_readDeadline)) return -1;
            const ssize_t n = ::recv(m_fd, ptr, size, 0);
            if (n >= 0 || (errno != EAGAIN && errno != EINTR)) return n;
        }
    }

    ssize_t write(const char* ptr, size_t size) override {
        for (;;) {
            if (!WaitFor(m_fd, POLLOUT, m_writeDeadline)) return -1;
            const ssize_t n = ::send(m_fd, ptr, size, MSG_NOSIGNAL);
            if (n >= 0 || (errno != EAGAIN && errno != EINTR)) return n;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage a{};
        socklen_t length = sizeof a;
        port = 0;
        ip = ::getpeername(m_fd, reinterpret_cast<sockaddr*>(&a), &length) == 0 ? Address(a, port)
                                                                               : "";
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage a{};
        socklen_t length = sizeof a;
        port = 0;
        ip = ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &length) == 0 ? Address(a, port)
                                                                               : "";
    }
    socket_t socket() const override { return m_fd; }

private:
    int m_fd;
    std::string m_bytes;
    size_t m_at = 0;
    SteadyClock::time_point m_readDeadline;
    SteadyClock::time_point m_writeDeadline;
};

// The value of header `name` (lower case, with its colon) in `head`, or "".
std::string HeaderValue(const std::string& head, const std::string& name) {
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const size_t at = lower.find("\n" + name);
    if (at == std::string::npos) return {};
    const size_t from = lower.find_first_not_of(" \t", at + 1 + name.size());
    const size_t to = lower.find_first_of("\r\n", at + 1);
    if (from == std::string::npos || from >= to) return {};
    std::string value = lower.substr(from, to - from);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    return value;
}

void CloseConnection(int fd) {
    // Unread input would turn the close into a reset that can overtake the
    // answer: end our side first, then drain a little.
    ::shutdown(fd, SHUT_WR);
    char sink[4096];
    for (int i = 0; i < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
    ::close(fd);
}

}  // namespace

struct ConnectionFront::Pending {
    int fd = -1;
    std::string bytes;
    SteadyClock::time_point accepted;
    size_t headerEnd = 0;               // 0: the header is not complete yet
    size_t needed = std::string::npos;  // bytes of the whole request, once known
};

ConnectionFront::ConnectionFront(FrontOptions options, Handler handler, Logger log)
    : m_options(std::move(options)), m_handler(std::move(handler)), m_log(std::move(log)) {}

ConnectionFront::~ConnectionFront() { Stop(); }

bool ConnectionFront::Start(int fd, std::string* why) {
    m_listen = fd;
    // The backlog the library gave the socket is tiny; a queue of waiting
    // connections costs the kernel little.
    ::listen(m_listen, SOMAXCONN);
    ::fcntl(m_listen, F_SETFL, ::fcntl(m_listen, F_GETFL) | O_NONBLOCK);
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (why) *why = std::string("cannot make a pipe: ") + std::strerror(errno);
        ::close(m_listen);
        m_listen = -1;
        return false;
    }
    m_stopping = false;
    const size_t workers = std::max<size_t>(1, m_options.workers);
    for (size_t i = 0; i < workers; ++i) {
        m_workers.emplace_back([this] {
            NameCurrentThread("http worker");
            Work();
        });
    }
    m_front = std::thread([this] {
        NameCurrentThread("http front");
        Loop();
    });
    return true;
}

void ConnectionFront::Stop() {
    if (!m_front.joinable()) return;
    [[maybe_unused]] const ssize_t n = ::write(m_wake[1], "x", 1);
    m_front.join();
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_ready.notify_all();
    for (auto& worker : m_workers) worker.join();
    m_workers.clear();
    for (int& fd : m_wake) {
        ::close(fd);
        fd = -1;
    }
    ::close(m_listen);
    m_listen = -1;
}

void ConnectionFront::Drop(Pending& p, const char* why) {
    m_log(Peer(p.fd) + " closed: " + why);
    ::close(p.fd);
    p.fd = -1;
}

void ConnectionFront::Loop() {
    std::vector<Pending> pending;
    std::vector<pollfd> fds;
    SteadyClock::time_point listenPausedUntil{};
    const auto headerLimit = std::chrono::milliseconds(m_options.headerTimeoutMs);
    const auto requestLimit = std::chrono::milliseconds(m_options.requestTimeoutMs);
    for (;;) {
        const auto now = SteadyClock::now();
        auto next = now + std::chrono::seconds(60);
        fds.clear();
        fds.push_back({m_wake[0], POLLIN, 0});
        const bool listening = now >= listenPausedUntil;
        fds.push_back({listening ? m_listen : -1, POLLIN, 0});
        if (!listening) next = std::min(next, listenPausedUntil);
        for (const Pending& p : pending) {
            fds.push_back({p.fd, POLLIN, 0});
            next = std::min(next, p.accepted + (p.headerEnd == 0 ? headerLimit : requestLimit));
        }
        if (::poll(fds.data(), fds.size(), MsUntil(next)) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) break;

        for (size_t i = 0; i < pending.size(); ++i)
            if (fds[i + 2].revents != 0 && !Receive(pending[i])) pending[i].fd = -1;
        const auto later = SteadyClock::now();
        for (Pending& p : pending) {
            if (p.fd < 0) continue;
            if (p.headerEnd == 0 && later >= p.accepted + headerLimit)
                Drop(p, "no complete request header in time");
            else if (later >= p.accepted + requestLimit)
                Drop(p, "no complete request in time");
        }
        pending.erase(std::remove_if(pending.begin(), pending.end(),
                                     [](const Pending& p) { return p.fd < 0; }),
                      pending.end());
        if (listening && (fds[1].revents & POLLIN) != 0) {
            const bool exhausted = !Accept(pending, later);
            // Oldest first: they have had the most time to finish. A full
            // descriptor table costs one of them too, else a pause.
            size_t excess = pending.size() > m_options.maxPending
                                ? pending.size() - m_options.maxPending
                                : 0;
            if (exhausted && excess == 0 && !pending.empty()) excess = 1;
            for (size_t i = 0; i < excess; ++i) Drop(pending[i], "too many connections still sending");
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(excess));
            if (exhausted && excess == 0)
                listenPausedUntil = later + std::chrono::milliseconds(kAcceptPauseMs);
        }
    }
    for (Pending& p : pending) ::close(p.fd);
}

bool ConnectionFront::Accept(std::vector<Pending>& pending, SteadyClock::time_point now) {
    for (;;) {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM;
        }
        Pending p;
        p.fd = fd;
        p.accepted = now;
        pending.push_back(std::move(p));
    }
}

bool ConnectionFront::Receive(Pending& p) {
    char buffer[4096];
    bool ended = false;  // the client sent all it will (or broke off)
    for (;;) {
        const ssize_t n = ::recv(p.fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0) {
            ended = true;
            break;
        }
        p.bytes.append(buffer, static_cast<size_t>(n));
        if (p.bytes.size() > kMaxHeaderBytes + m_options.maxBodyBytes) break;
    }
    // A request complete when its sender ended is still answered.
    const auto incomplete = [&p, ended] {
        if (!ended) return true;
        ::close(p.fd);
        return false;
    };
    if (p.headerEnd == 0) {
        const size_t end = p.bytes.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (p.bytes.size() <= kMaxHeaderBytes) return incomplete();
            HandOver(p);  // refused there as too long
            return false;
        }
        p.headerEnd = end + 4;
        const std::string head = p.bytes.substr(0, p.headerEnd);
        const std::string length = HeaderValue(head, "content-length:");
        const bool plainLength =
            length.empty() || (length.size() <= 12 &&
                               length.find_first_not_of("0123456789") == std::string::npos);
        const size_t body = length.empty() || !plainLength ? 0 : std::stoull(length);
        // These the worker reads itself, within the request's time.
        if (!HeaderValue(head, "transfer-encoding:").empty() ||
            HeaderValue(head, "expect:") == "100-continue" || !plainLength ||
            body > m_options.maxBodyBytes) {
            HandOver(p);
            return false;
        }
        p.needed = p.headerEnd + body;
    }
    if (p.bytes.size() < p.needed) return incomplete();
    HandOver(p);
    return false;
}

void ConnectionFront::HandOver(Pending& p) {
    Job job;
    job.fd = p.fd;
    job.bytes = std::move(p.bytes);
    job.deadline = p.accepted + std::chrono::milliseconds(m_options.requestTimeoutMs);
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    m_ready.notify_one();
}

void ConnectionFront::Work() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_ready.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty()) return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        BufferedStream stream(job.fd, std::move(job.bytes), job.deadline,
                              SteadyClock::now() + std::chrono::milliseconds(m_options.writeTimeoutMs));
        m_handler(stream);
        CloseConnection(job.fd);
    }
}

}  // namespace wk
