#include "app/DaemonCommand.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <thread>

#include "app/Application.h"
#include "app/CliCommandTable.h"
#include "app/DescriptionsCommand.h"
#include "app/StreamsCommand.h"
#include "core/Clock.h"
#include "core/EventLog.h"
#include "core/ProgramHome.h"
#include "export/ExportThread.h"
#include "platform/ControlChannel.h"
#include "platform/InstanceLock.h"
#include "scheduler/Scheduler.h"
#include "server/TimeCheck.h"
#include "streamstore/DiskSpaceManager.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

// A shutdown waits for a running download, import or export to end.
constexpr auto kStopWait = std::chrono::seconds(120);
constexpr auto kStopPoll = std::chrono::milliseconds(50);
constexpr size_t kStatusEvents = 5;

std::string Describe(const RunningInstance& instance) {
    std::string text =
        instance.command.empty() ? std::string("wavkeep") : "\"wavkeep " + instance.command + "\"";
    return text + ", pid " + std::to_string(instance.pid);
}

bool TakesRequests(const RunningInstance& instance) {
    return instance.command != "record";
}

std::map<std::string, std::string> ParseStatus(const std::string& text) {
    std::map<std::string, std::string> values;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

std::string When(const DateTime& t) {
    return t.DateText() + " " + t.TimeText();
}

// Returns the daemon's status answer, empty when there is none.
std::map<std::string, std::string> PrintRecorder(std::ostream& out) {
    const auto running = FindRunningInstance();
    if (!running) {
        out << "recorder: none runs in this home (" << ProgramFolder() << ")\n";
        return {};
    }
    out << "recorder: " << Describe(*running) << '\n';
    const auto answer = TakesRequests(*running) ? SendControlRequest("status") : std::nullopt;
    if (!answer) {
        out << "recording: " << (TakesRequests(*running) ? "unknown (no answer)" : "unknown")
            << '\n';
        return {};
    }
    auto values = ParseStatus(*answer);
    if (values["recording"] == "1") {
        out << "recording: " << values["stream"] << ", chunk "
            << std::filesystem::path(values["chunk"]).filename().string() << '\n';
    } else {
        out << "recording: nothing now";
        if (!values["session"].empty())
            out << " (last: " << std::filesystem::path(values["session"]).filename().string()
                << ")";
        out << '\n';
    }
    return values;
}

void PrintNextTask(std::ostream& out) {
    Scheduler scheduler;
    scheduler.load();
    const DateTime now = GetClock().Now();
    scheduler.advanceRecurringTasks(now);  // in memory only; the file stays
    std::unique_ptr<ScheduleTask> next;
    for (auto& task : scheduler.Tasks()) {
        if (task->Kind() == 'C' || task->End() <= now) continue;
        if (!next || task->Start() < next->Start()) next = std::move(task);
    }
    if (!next) {
        out << "next task: none\n";
        return;
    }
    out << "next task: " << (next->Start() <= now ? "now, " : "") << When(next->Start()) << " -> "
        << When(next->End()) << ' ' << next->StreamName();
    if (!next->Description().empty()) out << " (" << next->Description() << ')';
    out << '\n';
}

void PrintDisk(std::ostream& out, std::map<std::string, std::string>& daemon) {
    StreamNameFile streams;
    streams.load();
    std::vector<std::string> names;
    for (const auto& r : streams.Records()) names.push_back(r->name);
    const std::string root = StreamNameFile::StreamRoot();
    const DiskUsage u = DiskSpaceManager::MeasureDiskUsage(root, names);
    out << "disk: the streams in " << root << " use " << SizeText(u.used) << " of "
        << SizeText(u.allowance) << " allowed (DiskSpace), "
        << (u.used <= u.allowance ? "within it" : "over it") << "; "
        << (u.freeKnown ? SizeText(u.free) : std::string("unknown")) << " free on the disk\n";
    if (daemon["diskChecked"] == "1" && daemon["diskMet"] != "1")
        out << "disk: the daemon's last check could not bring the streams within DiskSpace: only the "
               "chunks being recorded were left to delete\n";
}

void PrintEvents(std::ostream& out) {
    const std::vector<std::string> lines = EventLog::Instance().ReadLines();
    if (lines.empty()) {
        out << "last events: none\n";
        return;
    }
    out << "last events:\n";
    const size_t from = lines.size() > kStatusEvents ? lines.size() - kStatusEvents : 0;
    for (size_t i = from; i < lines.size(); ++i) out << "  " << lines[i] << '\n';
}

}  // namespace

int RunDaemon(const RunOptions& options, std::ostream& out, std::ostream& err) {
    (void)err;  // start-up messages go through the UserPrompt (stderr)
    ApplicationOptions app;
    app.input = options.input;
    app.descriptionFile = options.descriptionFile;
    Application application(app);
    const int started = application.Start();
    if (started != 0) {
        if (!application.StopRequested()) return started;
        out << "wavkeep stopped during the start-up" << std::endl;
        return 0;
    }
    out << "wavkeep runs in " << ProgramFolder() << " (pid " << ::getpid()
        << "); \"wavkeep stop\", Ctrl-C or SIGTERM ends it" << std::endl;
    const int code = application.Run();
    out << "wavkeep stopped" << std::endl;
    return code;
}

int RunStop(std::ostream& out, std::ostream& err) {
    const auto running = FindRunningInstance();
    if (!running) {
        err << "wavkeep: no recorder runs in this home (" << ProgramFolder() << ")\n";
        return 1;
    }
    const auto answer = TakesRequests(*running) ? SendControlRequest("stop") : std::nullopt;
    if (!answer || answer->rfind("ok", 0) != 0) {
        err << "wavkeep: the recorder of this home (" << Describe(*running)
            << ") takes no requests";
        if (!TakesRequests(*running))
            err << "; Ctrl-C or \"kill -TERM " << running->pid << "\" ends it";
        err << '\n';
        return 1;
    }
    const auto deadline = std::chrono::steady_clock::now() + kStopWait;
    while (FindRunningInstance()) {
        if (std::chrono::steady_clock::now() > deadline) {
            err << "wavkeep: " << Describe(*running) << " did not stop within "
                << std::chrono::duration_cast<std::chrono::seconds>(kStopWait).count() << " s\n";
            return 1;
        }
        std::this_thread::sleep_for(kStopPoll);
    }
    out << "stopped " << Describe(*running) << '\n';
    return 0;
}

int RunStatus(std::ostream& out, std::ostream& err) {
    (void)err;
    auto daemon = PrintRecorder(out);
    PrintNextTask(out);
    PrintDisk(out, daemon);
    PrintEvents(out);
    return 0;
}

int RunOpen(const std::string& file, std::ostream& out, std::ostream& err) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        err << "wavkeep: cannot read " << file << '\n';
        return 1;
    }
    const auto running = FindRunningInstance();
    if (running && TakesRequests(*running)) {
        std::string why;
        if (HandOverDescriptionFile(file, &why)) {
            out << "handed " << std::filesystem::absolute(file, ec).lexically_normal().string()
                << " to " << Describe(*running) << " (see \"wavkeep events\")\n";
            return 0;
        }
        err << "wavkeep: " << Describe(*running) << " did not take the file: " << why << '\n';
        return 1;
    }
    // No daemon; "wavkeep record" (if it runs) takes no files, and importing
    // beside it is safe.
    InstallMatchingExport();  // as the daemon would: the matched songs are exported
    ImportOptions options;
    options.file = file;
    options.difference = LastTimeDifference().value_or(0.0);
    return RunImport(options, out, err);
}

void AddDaemonCommands(CliCommandTable& table) {
    struct Options {
        RunOptions run;
        std::string file;
    };
    auto o = std::make_shared<Options>();
    CLI::App& app = table.App();
    CLI::App* run = app.add_subcommand(
        "run", "Run the recorder of this home until \"wavkeep stop\", Ctrl-C or SIGTERM: record "
               "the scheduled tasks, download schedules and playlists every five minutes, export "
               "the described songs; SIGHUP reloads config.ini and schedule.txt");
    run->add_option("--input", o->run.input,
                    "As for \"wavkeep record\", at real-time pace (default: alsa)");
    run->add_option("FILE", o->run.descriptionFile,
                    "A description file (.des) to open; handed to the recorder running already");
    table.On(run,
             [o](std::ostream& out, std::ostream& err) { return RunDaemon(o->run, out, err); });
    CLI::App* stop = app.add_subcommand(
        "stop", "Stop the recorder running in this home and wait until it is gone (exit 1: none)");
    table.On(stop, [](std::ostream& out, std::ostream& err) { return RunStop(out, err); });
    CLI::App* status = app.add_subcommand(
        "status", "Show whether a recorder runs in this home (pid) and what it records, the next "
                  "task, the streams' disk use against \"DiskSpace\" and the last five events");
    table.On(status, [](std::ostream& out, std::ostream& err) { return RunStatus(out, err); });
    CLI::App* open = app.add_subcommand(
        "open", "Hand a description file to the running recorder, which imports it; when none "
                "runs, import it here as \"wavkeep import\" does");
    open->add_option("FILE", o->file, "A description file (.des)")->required();
    table.On(open,
             [o](std::ostream& out, std::ostream& err) { return RunOpen(o->file, out, err); });
}

}  // namespace wk
