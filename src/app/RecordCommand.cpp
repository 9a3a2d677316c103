#include "app/RecordCommand.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <ostream>
#include <thread>

#include "app/CaptureInput.h"
#include "app/CommandLock.h"
#include "app/CliCommandTable.h"
#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/EventLoop.h"
#include "core/RecordingNotifier.h"
#include "core/Trace.h"
#include "platform/InstanceLock.h"
#include "platform/QueuedCaptureDevice.h"
#include "recording/CTRecordingController.h"
#include "scheduler/Scheduler.h"
#include "scheduler/TaskKinds.h"
#include "streamstore/ChunkName.h"
#include "streamstore/DiskSpaceManager.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void OnStopSignal(int) {
    g_stopSignal = 1;
}

// Without --for the planned duration in the chunk names is a year.
constexpr long long kOpenEndedSeconds = 365LL * 24 * 3600;
constexpr int kStopWaitMs = 30000;

class SignalGuard {
public:
    SignalGuard() {
        g_stopSignal = 0;
        struct sigaction sa {};
        sa.sa_handler = OnStopSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &m_oldInt);
        sigaction(SIGTERM, &sa, &m_oldTerm);
        // A closed terminal ends the recording as Ctrl-C does, its last
        // chunk closed.
        sigaction(SIGHUP, &sa, &m_oldHup);
    }
    ~SignalGuard() {
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
        sigaction(SIGHUP, &m_oldHup, nullptr);
    }

private:
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
    struct sigaction m_oldHup {};
};

// What the notifier told us, gathered on this thread.
class Progress final : public MessageReceiver {
public:
    void HandleMessage(Message& m) override {
        switch (m.id) {
        case kEventRecordingStarted: started = true; break;
        case kEventRecordingStopped: stopped = true; break;
        case kEventRecordSkipped: skipped = true; break;
        case kEventRecordingError: errors++; break;
        case kEventChunkCompleted: chunks++; break;
        default: break;
        }
    }
    bool started = false, stopped = false, skipped = false;
    int errors = 0, chunks = 0;
};

bool EnsureStream(const std::string& name, std::ostream& err) {
    FileLock lock;
    if (!LockFileForCommand(lock, StreamNameFile::FilePath(), err)) return false;
    StreamNameFile streams;
    streams.load();
    bool listed = false;
    for (const auto& r : streams.Records()) listed = listed || r->name == name;
    // A listed stream records under its own spelling only: another one
    // would make a second folder that the list, "disk" and pruning miss.
    const std::string problem = listed ? std::string() : streams.NewNameProblem(name);
    if (!problem.empty()) {
        err << "wavkeep: \"" << StreamNameFile::ShownName(name) << "\" cannot name a stream: "
            << problem << '\n';
        return false;
    }
    if (!listed) {
        StreamRecord record;
        if (const StreamRecord* def = streams.Find("Default")) record = *def;
        record.name = name;
        record.active = 1;
        record.coveredUntil = 0;
        streams.AddCopy(record);
        streams.CreateFolders();
    }
    if (!streams.save()) {
        err << "wavkeep: cannot write " << StreamNameFile::FilePath() << '\n';
        return false;
    }
    return true;
}

std::string Clock2Text(long long seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return text;
}

}  // namespace

int RunRecord(const RecordOptions& options, std::ostream& out, std::ostream& err) {
    // One recorder per home: a second one must never record beside the
    // daemon (or another "wavkeep record") into the same streams.
    InstanceLock instance;
    std::string busy;
    if (!instance.Acquire("record", &busy)) {
        err << "wavkeep: " << busy << "; not recording (\"wavkeep stop\" ends the daemon)\n";
        return 1;
    }
    ConfigStore config;
    config.Load();
    // Chunk names that cannot be read back would hide the recording.
    if (options.seconds < 0 || options.seconds > kLongestRecordSeconds) {
        err << "wavkeep: --for takes 1 to " << kLongestRecordSeconds << " seconds\n";
        return 2;
    }
    if (config.HasKey("SingleFileLength") && !ParseChunkSeconds(config.GetString("SingleFileLength"))) {
        err << "wavkeep: " << ChunkLengthRefusal(config.GetString("SingleFileLength")) << '\n';
        return 2;
    }
    const std::string stream = options.stream.empty() ? config.GetString("ActiveStream") : options.stream;
    if (!EnsureStream(stream, err)) return 1;

    RecordingSettings settings;
    config.ReadRecordingSettings(settings);
    const int channels = settings.mode == kModeMono ? 1 : 2;
    std::string why;
    std::unique_ptr<CaptureDevice> first =
        CreateCaptureDevice(CaptureInputOrDefault(options.input), &why);
    if (!first) {
        err << "wavkeep: " << why << '\n';
        return 2;
    }
    // Refuse an unusable input before any chunk exists.
    if (!first->SupportsFormat(44100, channels, &why)) {
        err << "wavkeep: " << first->Name() << ": " << why << '\n';
        return 1;
    }
    const bool fast = !first->IsRealTime();
    std::unique_ptr<VirtualClock> virtualClock;
    if (fast) {
        DateTime now = GetClock().Now();
        now.millisecond = 0;
        virtualClock = std::make_unique<VirtualClock>(now);
        SetClock(virtualClock.get());
        // Read exactly the requested stretch, so the chunks hold it to the block.
        if (auto* queued = dynamic_cast<QueuedCaptureDevice*>(first.get()); queued && options.seconds > 0)
            queued->SetFrameLimit(options.seconds * 44100);
    }

    Scheduler scheduler;
    SwitchedTask task;
    const DateTime start = GetClock().Now();
    const long long seconds = options.seconds > 0 ? options.seconds : kOpenEndedSeconds;
    task.SetStreamName(stream);
    task.SetDescription("recorded from the command line");
    task.SetStart(start);
    task.SetEnd(DateTime::FromStreamTime(start.ToStreamTime() + seconds * 1000));
    task.SetSwitchedOn(true);
    ScheduleTask* inserted = scheduler.insertTask(task);

    EventLoop loop;
    Progress progress;
    ReceiverSlot slot(loop, &progress);
    auto& notifier = RecordingNotifier::Instance();
    for (int code : {kEventRecordingStarted, kEventRecordingStopped, kEventRecordSkipped,
                     kEventRecordingError, kEventChunkCompleted})
        notifier.Subscribe(code, loop, slot.Id(), code);

    int status = 0;
    {
        SignalGuard signals;
        CTRecordingController controller(scheduler);
        controller.SetDeviceFactory(MakeCaptureDeviceFactory(std::move(first), options.input));
        controller.Create();
        controller.Start();
        controller.StartEvent().Set();
        // A recording that runs for days keeps the streams within
        // "DiskSpace" as the daemon would, by the same clock as the chunks.
        DiskSpaceManager disk(StreamNameFile::StreamRoot());
        disk.Start();

        const bool terminal = ::isatty(STDERR_FILENO);
        auto lastShown = std::chrono::steady_clock::now();
        const StreamTime end = task.End().ToStreamTime();
        for (;;) {
            loop.ProcessPending();
            if (g_stopSignal || progress.skipped || progress.stopped) break;
            if (progress.errors > 0 && !controller.IsRecording()) break;
            if (GetClock().NowStream() >= end) break;
            if (progress.started && !controller.IsRecording()) break;
            if (terminal && std::chrono::steady_clock::now() - lastShown > std::chrono::seconds(1)) {
                lastShown = std::chrono::steady_clock::now();
                const long long done = (GetClock().NowStream() - start.ToStreamTime()) / 1000;
                std::fprintf(stderr, "\rrecording %s  %s, %d chunks done ", stream.c_str(),
                             Clock2Text(done).c_str(), progress.chunks);
            }
            // The virtual clock stands still when the input ends; the
            // controller must still get to see that.
            if (fast) controller.Poke();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (terminal) std::fprintf(stderr, "\n");
        // Switching the task off lets the controller stop as at any task end:
        // the chunk being written is closed, not lost.
        {
            auto lock = scheduler.LockGuard();
            scheduler.deleteTask(inserted);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMs);
        while (controller.IsRecording() && std::chrono::steady_clock::now() < deadline) {
            controller.Poke();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        controller.Shutdown();
        loop.ProcessPending();
        const std::string session = controller.CurrentSessionFolder();
        if (progress.skipped) {
            err << "wavkeep: the input for stream \"" << stream << "\" could not be prepared\n";
            status = 1;
        } else if (!progress.started) {
            err << "wavkeep: the recording could not be started (see \"wavkeep events\" and the trace)\n";
            status = 1;
        } else {
            const long long recorded = (GetClock().NowStream() - start.ToStreamTime()) / 1000;
            out << "recorded " << Clock2Text(recorded) << " into " << session << "_*\n";
            if (progress.errors > 0) status = 1;
        }
        if (g_stopSignal) Trace(kTraceInfo, "Recording stopped by a signal");
    }
    notifier.Unsubscribe(loop, slot.Id());
    if (virtualClock) SetClock(nullptr);
    return status;
}

void AddRecordCommand(CliCommandTable& table) {
    auto o = std::make_shared<RecordOptions>();
    CLI::App* record = table.App().add_subcommand(
        "record", "Record now into the stream's folder until --for runs out, Ctrl-C or SIGTERM, "
                  "or the input ends; the last chunk is closed, not lost");
    record->add_option("--for", o->seconds, "Seconds to record (default: until stopped)")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                // Chunk names hold the planned seconds; more could not be read back.
                const bool digits = !text.empty() && text.size() <= 10 &&
                                    text.find_first_not_of("0123456789") == std::string::npos;
                if (digits && std::stoll(text) >= 1 && std::stoll(text) <= kLongestRecordSeconds)
                    return {};
                return "give whole seconds from 1 to " + std::to_string(kLongestRecordSeconds) +
                       " (68 years), not \"" + text + "\"";
            },
            "SECONDS (1 to 2147483647)"));
    record->add_option("--stream", o->stream,
                       "Stream to record into (default: \"ActiveStream\"); a new name is added "
                       "to the stream list")
        ->type_name("STREAM");
    record->add_option(
        "--input", o->input,
        "alsa (the stored capture device, \"default\" when none), alsa:DEVICE (an ALSA PCM), "
        "file:PATH (a 16-bit 44100 Hz WAV, read as fast as it is encoded), "
        "file:PATH:realtime, generator[:SEED] (music-like test audio in real time), "
        "generator:SEED:fast");
    table.On(record, [o](std::ostream& out, std::ostream& err) { return RunRecord(*o, out, err); });
}

}  // namespace wk
