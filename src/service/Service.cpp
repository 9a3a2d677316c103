#include "service/Service.h"

#include <httplib.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "service/ConnectionFront.h"

namespace wk {

namespace {

constexpr int kWriteTimeoutMs = 20000;
constexpr size_t kLoggedFieldLength = 32;
constexpr size_t kLoggedPathLength = 100;

// Request values go into the log; keep control characters and long values
// from mangling it.
std::string Printable(const std::string& text, size_t limit = kLoggedFieldLength) {
    std::string out;
    for (char c : text.substr(0, limit)) {
        const auto u = static_cast<unsigned char>(c);
        out.push_back(u < 0x20 || u == 0x7F ? '?' : c);
    }
    if (text.size() > limit) out += "...";
    return out;
}

// What the handler of the request running on this thread wants logged; the
// logger, which runs on the same thread after the answer went out, takes it.
thread_local std::string t_logNote;

std::string QueryOf(const std::string& target) {
    const size_t q = target.find('?');
    return q == std::string::npos ? std::string() : target.substr(q + 1);
}

// A request held in memory, its answer collected in memory.
class MemoryStream final : public httplib::Stream {
public:
    explicit MemoryStream(std::string request) : m_in(std::move(request)) {}
    bool is_readable() const override { return true; }
    bool is_writable() const override { return true; }
    ssize_t read(char* ptr, size_t size) override {
        const size_t n = std::min(size, m_in.size() - m_at);
        std::memcpy(ptr, m_in.data() + m_at, n);
        m_at += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        m_out.append(ptr, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip.clear();
        port = 0;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip.clear();
        port = 0;
    }
    socket_t socket() const override { return INVALID_SOCKET; }
    std::string& Out() { return m_out; }

private:
    std::string m_in;
    size_t m_at = 0;
    std::string m_out;
};

}  // namespace

// The library's request parsing, routing and answering, fed by the front
// rather than by the library's own accept loop.
class ServiceHttp final : public httplib::Server {
public:
    void Answer(httplib::Stream& stream) {
        bool closed = false;
        process_request(stream, true, closed, nullptr);
    }
    int TakeListeningSocket() { return svr_sock_.exchange(INVALID_SOCKET); }
};

Service::Service(ServiceOptions options, const Clock& clock, std::ostream& log)
    : m_options(std::move(options)),
      m_data(m_options.dataFolder),
      m_handlers(m_data, clock, m_options.clockOffsetSeconds),
      m_server(std::make_unique<ServiceHttp>()),
      m_log(log) {
    m_data.SetLog([this](const std::string& line) { Log(line); });
    m_server->set_payload_max_length(m_options.maxBodyBytes);

    const auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        const FormFields fields = FormFields::Parse(QueryOf(req.target), req.body);
        const ServiceAnswer answer = m_handlers.Handle(fields, req.remote_addr);
        res.status = answer.status;
        res.set_content(answer.body, "text/plain; charset=ISO-8859-1");
        t_logNote = "a=" + Printable(fields.Get("a"));
        if (!answer.logNote.empty()) t_logNote += "; " + answer.logNote;
    };
    for (const char* path : {kTimeCheckPath, kSchedulePath, kChannelListPath, kPlaylistPagePath}) {
        m_server->Post(path, handler);
        m_server->Get(path, handler);
    }
    // Every request, also those refused before a handler ran (unknown path,
    // body too large, malformed).
    m_server->set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        std::string note;
        note.swap(t_logNote);
        Log(req.remote_addr + " " + req.method + " " + Printable(req.path, kLoggedPathLength) + " -> " +
            std::to_string(res.status) + ", " + std::to_string(res.body.size()) + " bytes" +
            (note.empty() ? std::string() : "; " + note));
    });
    // Without SO_REUSEPORT, so a second service on a taken port fails to start
    // instead of silently sharing the requests.
    m_server->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
}

Service::~Service() {
    Stop();
    const int fd = m_server->TakeListeningSocket();  // bound, never served
    if (fd != INVALID_SOCKET) ::close(fd);
}

int Service::Start() {
    if (m_front) return m_port;
    if (m_options.port == 0) {
        m_port = m_server->bind_to_any_port(m_options.host);
    } else {
        m_port = m_server->bind_to_port(m_options.host, m_options.port) ? m_options.port : -1;
    }
    if (m_port < 0) {
        Log("cannot listen on " + m_options.host + ":" + std::to_string(m_options.port));
        return -1;
    }
    FrontOptions front;
    front.workers = m_options.threads;
    front.headerTimeoutMs = m_options.headerTimeoutMs;
    front.requestTimeoutMs = m_options.requestTimeoutMs;
    front.writeTimeoutMs = kWriteTimeoutMs;
    front.maxPending = m_options.maxPendingConnections;
    front.maxBodyBytes = m_options.maxBodyBytes;
    m_front = std::make_unique<ConnectionFront>(
        front, [this](httplib::Stream& stream) { m_server->Answer(stream); },
        [this](const std::string& line) { Log(line); });
    std::string why;
    if (!m_front->Start(m_server->TakeListeningSocket(), &why)) {
        m_front.reset();
        Log("cannot serve: " + why);
        return -1;
    }
    Log("listening on " + m_options.host + ":" + std::to_string(m_port) + ", data in " +
        m_data.Folder());
    return m_port;
}

void Service::Stop() {
    if (!m_front) return;
    m_front->Stop();
    m_front.reset();
    Log("stopped");
}

std::string Service::AnswerBytes(std::string request) {
    MemoryStream stream(std::move(request));
    m_server->Answer(stream);
    return std::move(stream.Out());
}

void Service::Log(const std::string& line) {
    std::lock_guard lock(m_logMutex);
    m_log << "wavkeep-service: " << line << std::endl;
}

}  // namespace wk
