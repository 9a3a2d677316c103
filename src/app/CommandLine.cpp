#include "app/CommandLine.h"

#include <filesystem>
#include <ostream>
#include <string>

#include "app/CliCommandTable.h"
#include "app/DaemonCommand.h"
#include "app/DemoCommand.h"
#include "app/DescriptionsCommand.h"
#include "app/DownloadCommand.h"
#include "app/ExportCommand.h"
#include "app/PlayCommand.h"
#include "app/RecordCommand.h"
#include "app/ScheduleCommand.h"
#include "app/SettingsCommand.h"
#include "app/StreamsCommand.h"
#include "clidoc/CliDoc.h"
#include "core/ProgramHome.h"
#include "core/SystemInfo.h"
#include "core/Trace.h"
#include "core/Translation.h"
#include "core/Version.h"

namespace wk {

CLI::App* CliCommandTable::Given() const {
    CLI::App* command = &m_app;
    for (std::vector<CLI::App*> given = command->get_subcommands(); !given.empty();
         given = command->get_subcommands()) {
        command = given.front();
    }
    return command;
}

const CliCommandTable::Handler* CliCommandTable::HandlerOf(CLI::App* command) const {
    for (const auto& [c, handler] : m_handlers)
        if (c == command) return &handler;
    return nullptr;
}

const CliCommandTable::EarlyHandler* CliCommandTable::EarlyHandlerOf(CLI::App* command) const {
    for (const auto& [c, handler] : m_early)
        if (c == command) return &handler;
    return nullptr;
}

std::string CliCommandTable::TraceableArguments(int argc, const char* const* argv) const {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        bool secret = false;
        for (const auto& [command, value] : m_secrets)
            secret = secret || (command->parsed() && !value->empty() && argv[i] == *value);
        if (i > 1) line += ' ';
        line += secret ? "********" : argv[i];
    }
    return line;
}

namespace {

void AddVersionCommand(CliCommandTable& table) {
    CLI::App* version = table.App().add_subcommand("version", "Print wavkeep's version");
    table.Early(version, [](std::string&, std::ostream& out, std::ostream&) -> std::optional<int> {
        out << "wavkeep " << kWavkeepVersion << '\n';
        return kExitOk;
    });
}

// The commands in the order "wavkeep --help" lists them.
void AddCommands(CliCommandTable& table) {
    AddConfigCommands(table);
    AddEventsCommands(table);
    AddEncoderCommands(table);
    AddRecordCommand(table);
    AddScheduleCommands(table);
    AddStreamsCommands(table);
    AddDescriptionsCommands(table);
    AddAccountCommands(table);
    AddDownloadCommands(table);
    AddExportCommands(table);
    AddDemoCommand(table);
    AddDiskCommand(table);
    AddDaemonCommands(table);
    AddPlayCommand(table);
    AddVersionCommand(table);
}

// The program home, its trace and the first trace line of the run; false
// (with the message on `err`) when the home cannot be used.
bool PrepareHome(const std::string& home, const std::string& arguments, std::ostream& err) {
    if (!home.empty()) SetProgramHome(home);
    std::string why;
    if (!PrepareProgramHome(&why)) {
        err << "wavkeep: " << why << '\n';
        return false;
    }
    GLStart();
    GLAddThread(CurrentThreadId());
    SetUpTraceFromConfig();
    Trace(kTraceInfo, "wavkeep %s: %s", GetProgramVersion().c_str(), arguments.c_str());
    return true;
}

// The manual's text beyond the commands and options ("wavkeep --help-man").
clidoc::ManPage ManPageText() {
    clidoc::ManPage page;
    page.summary = "unattended radio and TV music recorder";
    page.version = std::string("wavkeep ") + kWavkeepVersion;
    page.sections = {
        {"Program home",
         "Everything wavkeep keeps for itself (config.ini, schedule.txt, events.txt, the trace files "
         "Log_*.txt, the stream list StreamFileNames.txt, the single-instance lock) lives in one folder, "
         "the program home:\n"
         "--home DIR\ton the command line, else\n"
         "$WAVKEEP_HOME\tfrom the environment, else\n"
         "$XDG_DATA_HOME/wavkeep\t(~/.local/share/wavkeep when XDG_DATA_HOME is unset), made on first use.\n"
         "\n"
         "Streams and songs go to Streams/ and Songs/ inside the home unless config.ini says otherwise. "
         "Each home runs one recorder at a time; several homes record side by side."},
        {"Environment",
         "WAVKEEP_HOME\tthe program home when --home is not given\n"
         "XDG_DATA_HOME\tthe folder holding the default home"},
        {"Exit status", "0\tdone\n1\tthe job failed\n2\tbad usage"},
        {"Examples",
         "Record the generator's broadcast, download its playlist from a local reference service and "
         "export the songs, in a temporary home:\n"
         "  wavkeep demo --minutes 6\n"
         "\n"
         "Record by the schedule as a service of your user, or one station per home with the "
         "template unit (home ~/.local/share/wavkeep-radio1):\n"
         "  systemctl --user enable --now wavkeep\n"
         "  systemctl --user enable --now wavkeep@radio1"},
        {"See also", "wavkeep-gui(1), wavkeep-service(1), systemctl(1)"},
    };
    return page;
}

}  // namespace

int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    CLI::App app{"wavkeep records music broadcast on radio or TV and turns it into a library "
                 "of tagged, loudness-normalised music files.",
                 "wavkeep"};
    app.require_subcommand(1);
    app.fallthrough();
    std::string home;
    app.add_option("--home", home,
                   "Program home: config.ini, events.txt, trace files, schedule.txt ... "
                   "(default: $WAVKEEP_HOME, else $XDG_DATA_HOME/wavkeep, else "
                   "~/.local/share/wavkeep)")
        ->type_name("DIR");
    CliCommandTable table(app);
    AddCommands(table);
    if (clidoc::HandleDocRequest(argc, argv, app, ManPageText(), "wavkeep", out)) return kExitOk;

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        return code == 0 ? kExitOk : kExitUsage;
    }
    if (!HomeOptionUsable(app.count("--home") > 0, home, "wavkeep", err)) return kExitUsage;
    CLI::App* given = table.Given();
    if (const CliCommandTable::EarlyHandler* early = table.EarlyHandlerOf(given)) {
        if (const std::optional<int> status = (*early)(home, out, err)) return *status;
    }
    if (!PrepareHome(home, table.TraceableArguments(argc, argv), err)) return kExitFailed;

    const CliCommandTable::Handler* handler = table.HandlerOf(given);
    try {
        if (handler != nullptr) return (*handler)(out, err);
    } catch (const UsageError& e) {
        err << "wavkeep: " << e.what() << '\n';
        return kExitUsage;
    } catch (const std::filesystem::filesystem_error& e) {
        // The commands check their file operations; this is the last guard.
        Trace(kTraceError, "%s", e.what());
        err << "wavkeep: " << e.what() << '\n';
        return kExitFailed;
    }
    err << app.help();
    return kExitUsage;
}

}  // namespace wk
