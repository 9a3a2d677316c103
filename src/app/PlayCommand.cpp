#include "app/PlayCommand.h"

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <thread>

#include "app/CliCommandTable.h"
#include "app/StreamChoice.h"
#include "app/UserTime.h"
#include "core/Clock.h"
#include "core/EventLoop.h"
#include "core/Trace.h"
#include "descriptions/DescriptionStore.h"
#include "platform/PlaybackDevice.h"
#include "player/PlaybackController.h"
#include "streamstore/StreamInfo.h"

namespace wk {
namespace {

constexpr int kMsgInterrupted = 1;
constexpr char kInterruptByte = 'i';
constexpr char kQuitByte = 'q';
constexpr int64_t kTerminalProgressMs = 250;
constexpr int64_t kQuietProgressMs = 1000;

// The write end of the interrupt pipe while a watcher is installed.
volatile std::sig_atomic_t g_interruptFd = -1;

extern "C" void OnInterrupt(int) {
    const int saved = errno;
    const int fd = g_interruptFd;
    if (fd >= 0) {
        // Non-blocking: a full pipe already holds an interrupt.
        [[maybe_unused]] const ssize_t n = write(fd, &kInterruptByte, 1);
    }
    errno = saved;
}

// Ctrl-C and SIGTERM, turned into a message for the loop. The handler writes
// a byte into a pipe that a thread sleeps reading: a signal wakes it, and
// nothing else does, where polling a flag woke the process ten times a second
// for as long as it played.
class InterruptWatcher {
public:
    InterruptWatcher(EventLoop& loop, ReceiverId to) {
        if (pipe2(m_pipe, O_CLOEXEC) != 0) {
            Trace(kTraceError, "no interrupt pipe: %s; Ctrl-C ends the program at once", std::strerror(errno));
            m_pipe[0] = m_pipe[1] = -1;
            return;
        }
        fcntl(m_pipe[1], F_SETFL, fcntl(m_pipe[1], F_GETFL) | O_NONBLOCK);
        m_thread = std::thread([this, &loop, to] { Watch(loop, to); });
        g_interruptFd = m_pipe[1];
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGINT, &sa, &m_oldInt);
        sigaction(SIGTERM, &sa, &m_oldTerm);
    }
    ~InterruptWatcher() {
        if (m_pipe[0] < 0) return;
        // A blocking write: the byte must arrive even behind interrupts.
        fcntl(m_pipe[1], F_SETFL, fcntl(m_pipe[1], F_GETFL) & ~O_NONBLOCK);
        while (write(m_pipe[1], &kQuitByte, 1) < 0 && errno == EINTR) {
        }
        m_thread.join();
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
        g_interruptFd = -1;
        close(m_pipe[0]);
        close(m_pipe[1]);
    }
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

private:
    void Watch(EventLoop& loop, ReceiverId to) {
        bool told = false;
        for (;;) {
            char byte = 0;
            const ssize_t n = read(m_pipe[0], &byte, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || byte == kQuitByte) return;
            if (!told) loop.Post(to, kMsgInterrupted);
            told = true;
        }
    }

    int m_pipe[2] = {-1, -1};
    std::thread m_thread;
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
};

// Sets a clock as the process clock for its lifetime.
class ClockScope {
public:
    explicit ClockScope(Clock* clock) : m_set(clock != nullptr) {
        if (m_set) SetClock(clock);
    }
    ~ClockScope() {
        if (m_set) SetClock(nullptr);
    }

private:
    bool m_set;
};

class Session final : public PlaybackController::Listener, public MessageReceiver {
public:
    Session(EventLoop& loop, std::ostream& out, bool terminal)
        : m_loop(loop), m_out(out), m_terminal(terminal) {}

    void CursorMoved(StreamTime cursor) override {
        if (!m_terminal) return;
        m_out << "\r\033[Kplaying " << DateTime::FromStreamTime(cursor).LongText() << std::flush;
        m_drawn = true;
    }
    void PlaybackEnded(const std::string& why) override {
        m_ended = true;
        m_why = why;
        m_loop.Quit();
    }
    // The interrupt watcher's message.
    void HandleMessage(Message&) override {
        m_interrupted = true;
        m_loop.Quit();
    }
    void ClearLine() {
        if (m_drawn) m_out << "\r\033[K";
        m_drawn = false;
    }

    bool Interrupted() const { return m_interrupted; }
    const std::string& Why() const { return m_why; }

private:
    EventLoop& m_loop;
    std::ostream& m_out;
    const bool m_terminal;
    bool m_drawn = false;
    bool m_ended = false;
    bool m_interrupted = false;
    std::string m_why;
};

// The stretch to play: --from/--to, or description --track N.
bool ChooseStretch(const PlayOptions& o, const std::string& folder, StreamTime* from, StreamTime* to,
                   std::ostream& err, int* status) {
    if (o.track > 0) {
        DescriptionStore store(folder, "desc");
        store.Load();
        if (static_cast<size_t>(o.track) > store.Records().size()) {
            err << "wavkeep: no description " << o.track << " (see \"wavkeep descriptions\")\n";
            *status = kExitFailed;
            return false;
        }
        const Description& d = *store.Records()[static_cast<size_t>(o.track - 1)];
        *from = d.start;
        *to = d.end;
        return true;
    }
    const auto start = ParseUserDateTime(o.from);
    std::optional<DateTime> end;
    if (!o.to.empty()) end = ParseUserDateTime(o.to);
    if (!start || (!o.to.empty() && (!end || end->ToStreamTime() <= start->ToStreamTime()))) {
        err << "wavkeep: --from wants a time (\"YYYY-MM-DD hh:mm:ss\" or \"DD/MM/YYYY  "
               "hh:mm:ss[.mmm]\"), --to a later one\n";
        *status = kExitUsage;
        return false;
    }
    *from = start->ToStreamTime();
    *to = end ? end->ToStreamTime() : std::numeric_limits<StreamTime>::max();
    return true;
}

}  // namespace

void AddPlayCommand(CliCommandTable& table) {
    auto options = std::make_shared<PlayOptions>();
    PlayOptions& o = *options;
    auto* play = table.App().add_subcommand(
        "play", "Listen to a stream from a time or a description on, across chunk borders, "
                "to the end of the stretch or of its recording session; Ctrl-C stops");
    play->add_option("--stream", o.stream, "Stream (default: \"ActiveStream\")")->type_name("STREAM");
    auto* from = play->add_option("--from", o.from,
                                  "Start: \"YYYY-MM-DD hh:mm:ss\" or \"DD/MM/YYYY  hh:mm:ss[.mmm]\"");
    play->add_option("--to", o.to, "End, in the same forms (default: the end of the session)")
        ->needs(from);
    play->add_option("--track", o.track,
                     "Play description N (the numbers of \"wavkeep descriptions\")")
        ->check(CLI::PositiveNumber)
        ->excludes(from);
    play->add_option("--output", o.output,
                     "alsa (the PCM \"PlaybackPcm\" of machine.ini names, else \"default\"), "
                     "alsa:PCM, file:PATH.wav (written as fast as decoded; :realtime for real "
                     "time), null (plays nothing, in real time)");
    table.On(play, [options](std::ostream& out, std::ostream& err) { return RunPlay(*options, out, err); });
}

int RunPlay(const PlayOptions& o, std::ostream& out, std::ostream& err) {
    if (o.from.empty() && o.track == 0) {
        err << "wavkeep: give --from TIME or --track N\n";
        return kExitUsage;
    }
    int status = 0;
    const auto chosen = ChooseStream(o.stream, err, &status);
    if (!chosen) return status;
    StreamTime from = 0, to = 0;
    if (!ChooseStretch(o, chosen->folder, &from, &to, err, &status)) return status;

    const std::string spec = o.output.empty() ? std::string("alsa") : o.output;
    std::string why;
    std::unique_ptr<PlaybackDevice> device = CreatePlaybackDevice(spec, &why);
    if (!device) {
        err << "wavkeep: " << why << '\n';
        return kExitUsage;
    }
    // A file written as fast as it is decoded runs on a clock that the
    // audio written moves, so the progress and pacing see played time.
    std::unique_ptr<VirtualClock> virtualClock;
    const bool fastFile = spec.rfind("file:", 0) == 0 && device->Name().find(":realtime") == std::string::npos;
    if (fastFile) virtualClock = std::make_unique<VirtualClock>(GetClock().Now());
    ClockScope clockScope(virtualClock.get());

    StreamInfo info;
    info.folder = chosen->folder;
    UpdateStreamInfo(info);

    EventLoop loop;
    Session session(loop, out, isatty(STDOUT_FILENO) != 0);
    ReceiverSlot slot(loop, &session);
    InterruptWatcher interrupts(loop, slot.Id());
    PlaybackController controller(loop, std::move(device), &session);
    // The line on a terminal moves four times a second; without one, the
    // cursor is only needed at the end (a stop measures the rest).
    controller.SetProgressInterval(isatty(STDOUT_FILENO) != 0 ? kTerminalProgressMs : kQuietProgressMs);
    controller.SetStreamInfo(&info);
    if (!controller.PlayStretch(from, to, &why)) {
        err << "wavkeep: " << why << '\n';
        return kExitFailed;
    }
    out << "playing " << chosen->name << " from " << DateTime::FromStreamTime(from).LongText()
        << " (" << spec << ")\n"
        << std::flush;
    loop.Run();
    if (session.Interrupted()) controller.StopPlaying();
    session.ClearLine();
    const StreamTime reached = controller.Cursor();
    out << (session.Interrupted() ? "stopped at " : "played to ")
        << DateTime::FromStreamTime(reached).LongText() << '\n';
    if (!session.Why().empty()) {
        err << "wavkeep: playback ended: " << session.Why() << '\n';
        return kExitFailed;
    }
    return 0;
}

}  // namespace wk
