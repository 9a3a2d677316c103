#pragma once
// The HTTP side of wavkeep-service: answers POST (and GET) on the three paths
// the client's configuration names by default, each dispatched by its "a"
// field (ServiceHandlers), so any of the three paths serves any request kind.
//
// A front thread reads the requests without blocking and hands complete ones
// to a fixed pool of workers (ConnectionFront.h), so clients that send
// slowly or not at all cost a descriptor each, never a worker: their header
// must be complete within headerTimeoutMs. One request per connection.
// Bodies above the limit are refused with status 413 before a handler sees
// them. One log line per request goes to the log stream: peer, method, path,
// kind, status, answer size and a note; one per connection closed unanswered.
//
// Threads: Start and Stop from one controlling thread; Start returns once the
// socket listens, the serving runs on threads the service owns and joins.

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "core/Clock.h"
#include "service/ServiceData.h"
#include "service/ServiceHandlers.h"

namespace wk {

class ConnectionFront;
class ServiceHttp;

struct ServiceOptions {
    std::string host = "127.0.0.1";
    int port = 8470;  // 0: any free port
    std::string dataFolder = ".";
    double clockOffsetSeconds = 0.0;
    size_t threads = 8;  // workers answering complete requests
    size_t maxBodyBytes = 256 * 1024;
    int headerTimeoutMs = 5000;    // from the connection to the end of its header
    int requestTimeoutMs = 20000;  // to the end of its body
    size_t maxPendingConnections = 512;  // still sending; the oldest is closed first
};

class Service {
public:
    static constexpr const char* kTimeCheckPath = "/html/playlists/upload.php3";
    static constexpr const char* kSchedulePath = "/html/schedule/index.php3";
    static constexpr const char* kChannelListPath = "/betatest/html/playlists/index.php3";
    // The channel-list page the client falls back to when "URLChanelList" is empty.
    static constexpr const char* kPlaylistPagePath = "/html/playlists/index.php3";

    // `clock` and `log` must outlive the service.
    Service(ServiceOptions options, const Clock& clock, std::ostream& log);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Binds and starts serving; the bound port, or -1 when binding failed.
    int Start();
    // Stops accepting, finishes the running requests, joins. Idempotent.
    void Stop();
    int Port() const { return m_port; }

    // Answers one request given whole as bytes (request line, header, body)
    // the way a connection's request is answered, log line included, but
    // without any socket: the answer's bytes. The peer counts as a direct
    // caller (no address). For the fuzzing of the request path.
    std::string AnswerBytes(std::string request);

    void Log(const std::string& line);

private:
    ServiceOptions m_options;
    ServiceData m_data;
    ServiceHandlers m_handlers;
    std::unique_ptr<ServiceHttp> m_server;
    std::unique_ptr<ConnectionFront> m_front;
    std::mutex m_logMutex;
    std::ostream& m_log;
    int m_port = -1;
};

}  // namespace wk
