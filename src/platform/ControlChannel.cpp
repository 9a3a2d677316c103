#include "platform/ControlChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>

#include "core/ProgramHome.h"
#include "core/Trace.h"
#include "platform/InstanceLock.h"

namespace wk {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kClientTimeoutMs = 2000;
constexpr size_t kMaxAnswerBytes = 64 * 1024;

// The signal pipe lives for the whole process: a handler still running on
// another thread when the handlers are put back must never write into a
// descriptor that has been closed and reused meanwhile.
std::once_flag g_signalPipeOnce;
int g_signalPipe[2] = {-1, -1};
std::atomic<bool> g_signalsTaken{false};
struct sigaction g_oldActions[sizeof kStopSignals / sizeof kStopSignals[0]];

extern "C" void OnControlSignal(int signal) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

bool MakeSignalPipe() {
    std::call_once(g_signalPipeOnce, [] {
        if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            g_signalPipe[0] = g_signalPipe[1] = -1;
    });
    return g_signalPipe[0] >= 0;
}

// A socket address for the home's socket; a path too long for sun_path goes
// through a descriptor of the home folder, kept open while the address is used.
class SocketAddress {
public:
    SocketAddress() {
        const std::string full = ProgramFile(kControlSocketFile);
        std::string path = full;
        if (path.size() >= sizeof m_address.sun_path) {
            m_folder = ::open(ProgramFolder().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (m_folder < 0) return;
            path = "/proc/self/fd/" + std::to_string(m_folder) + "/" + kControlSocketFile;
        }
        m_address.sun_family = AF_UNIX;
        std::memcpy(m_address.sun_path, path.c_str(), path.size() + 1);
        m_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    }
    ~SocketAddress() {
        if (m_folder >= 0) ::close(m_folder);
    }
    SocketAddress(const SocketAddress&) = delete;
    SocketAddress& operator=(const SocketAddress&) = delete;

    bool Valid() const { return m_length > 0; }
    const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&m_address); }
    socklen_t Length() const { return m_length; }

private:
    sockaddr_un m_address{};
    socklen_t m_length = 0;
    int m_folder = -1;
};

void SetTimeouts(int fd, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool SendAll(int fd, const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

void SetWhy(std::string* why, const std::string& text) {
    if (why) *why = text;
}

}  // namespace

ControlServer::~ControlServer() {
    Stop();
}

bool ControlServer::Start(bool listen, bool catchSignals, RequestHandler onRequest,
                          SignalHandler onSignal, std::string* why) {
    if (m_thread.joinable()) return true;
    m_onRequest = std::move(onRequest);
    m_onSignal = std::move(onSignal);
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        SetWhy(why, std::string("cannot make a pipe: ") + std::strerror(errno));
        return false;
    }
    if (listen) {
        SocketAddress address;
        m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        m_socketPath = ProgramFile(kControlSocketFile);
        // The caller holds the home's lock, so a socket file here was left by
        // a daemon that is gone.
        ::unlink(m_socketPath.c_str());
        if (!address.Valid() || m_listen < 0 ||
            ::bind(m_listen, address.Address(), address.Length()) != 0 ||
            ::listen(m_listen, 8) != 0) {
            SetWhy(why, "cannot listen on " + m_socketPath + ": " + std::strerror(errno));
            Stop();
            return false;
        }
    }
    if (catchSignals) {
        if (!MakeSignalPipe() || g_signalsTaken.exchange(true)) {
            SetWhy(why, "the stop signals are caught elsewhere already");
            Stop();
            return false;
        }
        m_signals = true;
        DrainSignals();  // whatever an earlier server left unread
        struct sigaction action {};
        action.sa_handler = OnControlSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (size_t i = 0; i < std::size(kStopSignals); ++i)
            ::sigaction(kStopSignals[i], &action, &g_oldActions[i]);
    }
    m_thread = std::thread([this] { Loop(); });
    return true;
}

void ControlServer::Stop() {
    if (m_thread.joinable()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake[1], &byte, 1);
        m_thread.join();
    }
    if (m_signals) {
        for (size_t i = 0; i < std::size(kStopSignals); ++i)
            ::sigaction(kStopSignals[i], &g_oldActions[i], nullptr);
        m_signals = false;
        g_signalsTaken = false;
    }
    if (m_listen >= 0) {
        ::close(m_listen);
        m_listen = -1;
        ::unlink(m_socketPath.c_str());
    }
    for (int& fd : m_wake) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void ControlServer::DrainSignals() {
    unsigned char bytes[32];
    while (::read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
    }
}

void ControlServer::Loop() {
    TraceThreadBegin("control");
    pollfd fds[3] = {{m_wake[0], POLLIN, 0},
                     {m_signals ? g_signalPipe[0] : -1, POLLIN, 0},
                     {m_listen, POLLIN, 0}};
    for (;;) {
        for (auto& p : fds) p.revents = 0;
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            Trace(kTraceError, "Control channel: poll failed: %s", std::strerror(errno));
            break;
        }
        if (fds[0].revents != 0) break;
        if (fds[1].revents & POLLIN) {
            unsigned char bytes[32];
            ssize_t n = 0;
            while ((n = ::read(g_signalPipe[0], bytes, sizeof bytes)) > 0) {
                for (ssize_t i = 0; i < n; ++i)
                    if (m_onSignal) m_onSignal(bytes[i]);
            }
        }
        if (fds[2].revents & POLLIN) {
            const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                Serve(client);
                ::close(client);
            }
        }
    }
    TraceThreadEnd("control");
}

void ControlServer::Serve(int client) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        peer.uid != ::getuid()) {
        Trace(kTraceError, "Control channel: a request of another user (uid %d) refused",
              static_cast<int>(peer.uid));
        return;
    }
    SetTimeouts(client, kClientTimeoutMs);
    std::string request;
    char c = 0;
    while (request.size() <= kMaxRequestBytes) {
        const ssize_t n = ::recv(client, &c, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == '\n') break;
        request += c;
    }
    if (request.size() > kMaxRequestBytes) {
        SendAll(client, "error: request too long\n");
        return;
    }
    if (!request.empty() && request.back() == '\r') request.pop_back();
    const std::string answer =
        m_onRequest ? m_onRequest(request) : std::string("error: not ready\n");
    SendAll(client, answer);
}

bool HandOverDescriptionFile(const std::string& path, std::string* why) {
    const auto absolute = WriteHandOverFile(path, why);
    if (!absolute) return false;
    const auto answer = SendControlRequest("open " + *absolute);
    if (answer && answer->rfind("ok", 0) == 0) return true;
    SetWhy(why, answer ? answer->substr(0, answer->find('\n')) : std::string("no answer"));
    return false;
}

std::optional<std::string> SendControlRequest(const std::string& request, int timeoutMs) {
    SocketAddress address;
    if (!address.Valid()) return std::nullopt;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    SetTimeouts(fd, timeoutMs);
    std::optional<std::string> answer;
    if (::connect(fd, address.Address(), address.Length()) == 0 && SendAll(fd, request + "\n")) {
        std::string text;
        char buffer[1024];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;  // timed out: no complete answer
            if (n == 0) {
                answer = std::move(text);
                break;
            }
            text.append(buffer, static_cast<size_t>(n));
            if (text.size() > kMaxAnswerBytes) break;
        }
    }
    ::close(fd);
    return answer;
}

}  // namespace wk
