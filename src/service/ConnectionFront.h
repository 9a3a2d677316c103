#pragma once
// The front of wavkeep-service: one thread accepts the connections and reads
// each request's header, and a body of announced length, without blocking.
// A client that sends a byte now and then therefore holds a descriptor, not
// a worker, and is closed when its header is not complete in time. Complete
// requests go to a fixed pool of workers, which answer them one per
// connection and close it.
//
// Bounds: the header within headerTimeoutMs of the accept, the whole request
// within requestTimeoutMs (a chunked body, one announced above the body
// limit, or one a client wants a "100 Continue" for is read by the worker,
// up to the same moment); at most maxPending connections still sending, the
// oldest closed first to make room.
//
// Threads: Start and Stop on one controlling thread; the handler runs on the
// workers, several at once.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Stream;
}

namespace wk {

struct FrontOptions {
    size_t workers = 8;
    int headerTimeoutMs = 5000;
    int requestTimeoutMs = 20000;
    int writeTimeoutMs = 20000;
    size_t maxPending = 512;
    size_t maxBodyBytes = 256 * 1024;
};

class ConnectionFront {
public:
    // Answers the request on the stream (the connection is closed after it).
    using Handler = std::function<void(httplib::Stream&)>;
    using Logger = std::function<void(const std::string&)>;

    ConnectionFront(FrontOptions options, Handler handler, Logger log);
    ~ConnectionFront();
    ConnectionFront(const ConnectionFront&) = delete;
    ConnectionFront& operator=(const ConnectionFront&) = delete;

    // Serves the listening socket `fd` (it becomes the front's, closed by
    // Stop). False, with the reason, when the threads cannot start.
    bool Start(int fd, std::string* why);
    // Stops accepting, drops the connections still sending, answers the
    // complete requests already taken, joins. Idempotent.
    void Stop();

private:
    using Instant = std::chrono::steady_clock::time_point;
    struct Pending;
    struct Job {
        int fd = -1;
        std::string bytes;
        Instant deadline;
    };

    void Loop();
    // Accepts what waits; false when no descriptor or memory was left.
    bool Accept(std::vector<Pending>& pending, Instant now);
    // False when the connection is done with (closed or handed over).
    bool Receive(Pending& p);
    void HandOver(Pending& p);
    void Work();
    void Drop(Pending& p, const char* why);

    FrontOptions m_options;
    Handler m_handler;
    Logger m_log;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    std::thread m_front;
    std::vector<std::thread> m_workers;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Job> m_jobs;
    bool m_stopping = false;
};

}  // namespace wk
