#pragma once
// The daemon's control socket, and the process signals the daemon reacts to.
//
// "wavkeep.sock" in the program home is a Unix-domain stream socket. A client
// connects, sends one request line ("stop", "status", "open" or "open PATH",
// ended by "\n") and reads the answer until the daemon closes the
// connection: "ok", status lines ("key=value"), or "error: TEXT". Requests
// are at most kMaxRequestBytes long; only processes of the daemon's own user
// are answered. A home whose socket path does not fit a socket address is
// reached through a descriptor of the home folder (/proc/self/fd/N/...).
//
// ControlServer runs the thread "control". It answers requests and, when
// asked to, catches SIGINT, SIGTERM and SIGHUP: the signal handler only
// writes the signal's number into a pipe, and the thread hands it on. Both
// handlers given to Start run on the control thread; they must return soon
// (the daemon's post to its main loop).

#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace wk {

inline constexpr const char* kControlSocketFile = "wavkeep.sock";
inline constexpr size_t kMaxRequestBytes = 4200;  // "open " and a path

class ControlServer {
public:
    using RequestHandler = std::function<std::string(const std::string& request)>;
    using SignalHandler = std::function<void(int signal)>;

    ControlServer() = default;
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds the home's socket when `listen` (one left by a crashed daemon is
    // replaced: the caller holds the home's lock), installs the signal
    // handlers when `catchSignals`, and starts the thread. False with the
    // reason; nothing is left installed then. Only one server at a time may
    // catch signals.
    bool Start(bool listen, bool catchSignals, RequestHandler onRequest, SignalHandler onSignal,
               std::string* why);
    // Ends the thread, puts the previous signal handlers back and removes the
    // socket. Idempotent.
    void Stop();
    bool Listening() const { return m_listen >= 0; }

private:
    void Loop();
    void Serve(int client);
    void DrainSignals();

    RequestHandler m_onRequest;
    SignalHandler m_onSignal;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    bool m_signals = false;
    std::string m_socketPath;
    std::thread m_thread;
};

// Sends `request` to the daemon of the program home and returns its answer;
// nothing when no daemon takes the connection or it does not answer within
// `timeoutMs`.
std::optional<std::string> SendControlRequest(const std::string& request, int timeoutMs = 5000);

// Hands a description file to the daemon of the program home: its absolute
// path goes into share.shr, and along with the "open" request, so that two
// hand-overs close together cannot take each other's file. True when the
// daemon took it; otherwise `why` says what happened.
bool HandOverDescriptionFile(const std::string& path, std::string* why);

}  // namespace wk
