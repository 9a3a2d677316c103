#include "app/CommandLine.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "core/ClockDifference.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/ProgramHome.h"
#include "core/SystemInfo.h"
#include "core/Trace.h"
#include "core/Translation.h"
#include "core/UserPrompt.h"
#include "core/Version.h"
#include "app/RecordCommand.h"
#include "app/DaemonCommand.h"
#include "app/DemoCommand.h"
#include "app/DescriptionsCommand.h"
#include "app/DownloadCommand.h"
#include "app/ExportCommand.h"
#include "app/PlayCommand.h"
#include "app/ScheduleCommand.h"
#include "app/StreamsCommand.h"
#include "export/ExportThread.h"
#include "recording/EncoderLibrary.h"
#include "platform/HttpClientCurl.h"
#include "recording/EngineChoice.h"
#include "server/Credentials.h"
#include "server/TimeCheck.h"

namespace wk {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// A key that config.ini cannot hold: the first "=" splits a line and a line
// end ends it.
bool IsStorableKey(const std::string& key) {
    return !key.empty() && key.find_first_of("=\r\n") == std::string::npos;
}

bool IsStorableValue(const std::string& value) {
    return value.find_first_of("\r\n") == std::string::npos;
}

struct Options {
    std::string home;
    std::string path;
    RecordOptions record;
    ScheduleAddOptions scheduleAdd;
    int taskNumber = 0;
    std::string name;
    DeleteOptions remove;
    ImportOptions import;
    ExportOptions exportRun;
    std::vector<std::string> files;
    bool dryRun = false;
    double shiftSeconds = 0;
    int shiftIndex = 0;
    std::string key;
    std::string value;
    bool yes = false;
};

class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

int ConfigList(std::ostream& out) {
    ConfigStore config;
    config.Load();
    for (const auto& [key, value] : config.Entries()) out << key << '=' << value << '\n';
    return kExitOk;
}

int ConfigGet(const Options& o, std::ostream& out, std::ostream& err) {
    if (!IsStorableKey(o.key)) throw UsageError("not a config.ini key: \"" + o.key + "\"");
    ConfigStore config;
    config.Load();
    if (!config.HasKey(o.key)) {
        err << "wavkeep: config.ini has no key \"" << o.key << "\"\n";
        return kExitFailed;
    }
    out << config.GetString(o.key) << '\n';
    return kExitOk;
}

int ConfigSet(const Options& o, std::ostream& err) {
    if (!IsStorableKey(o.key)) throw UsageError("not a config.ini key: \"" + o.key + "\"");
    if (!IsStorableValue(o.value)) throw UsageError("a value cannot hold a line end");
    ConfigStore config;
    config.Load();
    if (!ConfigStore::IsKnownKey(o.key))
        err << "wavkeep: note: \"" << o.key << "\" is not a key wavkeep knows; it is kept\n";
    config.SetString(o.key, o.value);
    std::string why;
    if (!config.Save(&why)) {
        err << "wavkeep: " << ConfigStore::FilePath() << " was not changed: " << why << '\n';
        return kExitFailed;
    }
    Trace(kTraceInfo, "config.ini: %s set to \"%s\"", o.key.c_str(), o.value.c_str());
    return kExitOk;
}

int ConfigReset(const Options& o, std::ostream& err) {
    if (!ConfigStore::IsKnownKey(o.key)) {
        if (!IsStorableKey(o.key)) throw UsageError("not a config.ini key: \"" + o.key + "\"");
        err << "wavkeep: \"" << o.key << "\" has no default\n";
        return kExitFailed;
    }
    ConfigStore config;
    config.Load();
    config.ResetToDefault(o.key);
    std::string why;
    if (!config.Save(&why)) {
        err << "wavkeep: " << ConfigStore::FilePath() << " was not changed: " << why << '\n';
        return kExitFailed;
    }
    return kExitOk;
}

int EventsShow(std::ostream& out) {
    for (const auto& line : EventLog::Instance().ReadLines()) out << line << '\n';
    return kExitOk;
}

int EventsClear(const Options& o, std::ostream& err) {
    StderrPrompt prompt(o.yes);
    SetUserPrompt(&prompt);
    const bool cleared = ClearEvents();
    SetUserPrompt(nullptr);
    if (!cleared) {
        err << "wavkeep: events kept; run \"wavkeep events clear --yes\" to delete them\n";
        return kExitFailed;
    }
    return kExitOk;
}

int EncoderList(std::ostream& out) {
    ConfigStore config;
    config.Load();
    const int chosen = ChooseEncoderEngine(config);
    for (const auto& e : ListEncoderEngines()) {
        out << (e.kind == chosen ? "* " : "  ") << e.setting << " (engine " << e.kind << "): "
            << (e.usable ? "usable" : "not usable");
        if (!e.library.empty()) out << ", " << e.library;
        if (!e.usable && !e.why.empty()) out << " (" << e.why << ")";
        out << '\n';
    }
    return kExitOk;
}

int EncoderTest(const Options& o, std::ostream& out, std::ostream& err) {
    std::string why;
    if (!TestEncoderLibrary(o.path.find('/') == std::string::npos ? "./" + o.path : o.path, &why)) {
        err << "wavkeep: " << o.path << ": " << why << '\n';
        return kExitFailed;
    }
    out << o.path << ": a usable encoder library\n";
    return kExitOk;
}

int EncoderImport(const Options& o, std::ostream& out, std::ostream& err) {
    std::string why;
    if (!ImportEncoderLibrary(o.path, &why)) {
        err << "wavkeep: " << o.path << ": " << why << '\n';
        return kExitFailed;
    }
    out << "copied into " << ProgramFolder() << '\n';
    return kExitOk;
}

int AccountSet(const std::string& login, const std::string& password, std::ostream& out,
               std::ostream& err) {
    std::string why;
    if (!WriteCredentials({login, password, "-"}, &why)) {
        err << "wavkeep: " << why << '\n';
        return why.rfind("cannot write", 0) == 0 ? kExitFailed : kExitUsage;
    }
    out << "account stored in " << ProgramFile("Options.txt") << '\n';
    return kExitOk;
}

}  // namespace

int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    CLI::App app{"wavkeep records music broadcast on radio or TV and turns it into a library "
                 "of tagged, loudness-normalised music files.",
                 "wavkeep"};
    app.require_subcommand(1);
    app.fallthrough();
    Options o;
    app.add_option("--home", o.home,
                   "Program home: config.ini, events.txt, trace files, schedule.txt ... "
                   "(default: $WAVKEEP_HOME, else $XDG_DATA_HOME/wavkeep, else "
                   "~/.local/share/wavkeep)");

    auto* config = app.add_subcommand("config", "Show or change the settings in config.ini");
    config->require_subcommand(1);
    auto* configList = config->add_subcommand(
        "list", "Print every setting as key=value: the known keys in their fixed order, then "
                "keys wavkeep does not know (they are kept)");
    auto* configGet = config->add_subcommand("get", "Print the value of KEY (exit 1 if absent)");
    configGet->add_option("KEY", o.key, "Key, case-sensitive")->required();
    auto* configSet =
        config->add_subcommand("set", "Set KEY to VALUE and save config.ini at once");
    configSet->add_option("KEY", o.key, "Key, case-sensitive; may not hold \"=\"")->required();
    configSet->add_option("VALUE", o.value, "Value, taken as it is (no trimming)")->required();
    auto* configReset =
        config->add_subcommand("reset", "Set KEY back to its default and save config.ini");
    configReset->add_option("KEY", o.key, "A key wavkeep knows")->required();

    auto* events = app.add_subcommand("events", "Print the event log (events.txt)");
    auto* eventsClear = events->add_subcommand(
        "clear", "Delete all the events; refused unless --yes answers the question");
    eventsClear->add_flag("--yes,-y", o.yes, "Answer yes to \"Do you really want to delete the "
                                             "events?\"");

    auto* encoder = app.add_subcommand("encoder", "The MP3 encoder libraries and the engines");
    encoder->require_subcommand(1);
    auto* encoderList = encoder->add_subcommand(
        "list", "Show the three engines (Lame, Blade, Vorbis), whether each can record now, "
                "and mark the one \"Encoder\" selects with *");
    auto* encoderTest = encoder->add_subcommand(
        "test", "Load PATH and check that it exports the BladeEnc functions");
    encoderTest->add_option("PATH", o.path, "A lame_enc.so or bladeenc.so")->required();
    auto* encoderImport = encoder->add_subcommand(
        "import", "Test PATH and copy it into the program home under its own name, replacing "
                  "an earlier copy (the home is searched before the executable's folder)");
    encoderImport->add_option("PATH", o.path, "A lame_enc.so or bladeenc.so")->required();

    auto* record = app.add_subcommand(
        "record", "Record now into the stream's folder until --for runs out, Ctrl-C or SIGTERM, "
                  "or the input ends; the last chunk is closed, not lost");
    record->add_option("--for", o.record.seconds, "Seconds to record (default: until stopped)")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                // Chunk names hold the planned seconds; more could not be read back.
                const bool digits = !text.empty() && text.size() <= 10 &&
                                    text.find_first_not_of("0123456789") == std::string::npos;
                if (digits && std::stoll(text) >= 1 && std::stoll(text) <= kLongestRecordSeconds) return {};
                return "give whole seconds from 1 to " + std::to_string(kLongestRecordSeconds) +
                       " (68 years), not \"" + text + "\"";
            },
            "SECONDS (1 to 2147483647)"));
    record->add_option("--stream", o.record.stream,
                       "Stream to record into (default: \"ActiveStream\"); a new name is added "
                       "to the stream list");
    record->add_option(
        "--input", o.record.input,
        "alsa (the stored capture device, \"default\" when none), alsa:DEVICE (an ALSA PCM), "
        "file:PATH (a 16-bit 44100 Hz WAV, read as fast as it is encoded), "
        "file:PATH:realtime, generator[:SEED] (music-like test audio in real time), "
        "generator:SEED:fast");

    auto* schedule = app.add_subcommand("schedule", "Show or edit the recording tasks (schedule.txt)");
    schedule->require_subcommand(1);
    auto* scheduleList = schedule->add_subcommand("list", "Print the tasks, numbered");
    auto* scheduleAdd = schedule->add_subcommand(
        "add", "Add a task: once (--from/--to \"YYYY-MM-DD hh:mm:ss\" or \"DD/MM/YYYY  hh:mm:ss\"), "
               "daily or weekly (--from/--to \"hh:mm[:ss]\", weekly also --day)");
    scheduleAdd->add_option("KIND", o.scheduleAdd.kind, "once, daily or weekly")
        ->required()
        ->check(CLI::IsMember({"once", "daily", "weekly"}));
    scheduleAdd->add_option("--from", o.scheduleAdd.from, "Start")->required();
    scheduleAdd->add_option("--to", o.scheduleAdd.to, "End")->required();
    scheduleAdd->add_option("--day", o.scheduleAdd.day, "Weekly: 0-6 (0 is Sunday) or a day name");
    scheduleAdd->add_option("--stream", o.scheduleAdd.stream, "Stream (default: \"ActiveStream\")");
    scheduleAdd->add_option("--description", o.scheduleAdd.description, "Free text");
    auto* scheduleDelete = schedule->add_subcommand("delete", "Delete task N of \"schedule list\"");
    scheduleDelete->add_option("N", o.taskNumber, "Task number")->required();

    auto* streams = app.add_subcommand(
        "streams", "List the streams (StreamFileNames.txt): kind, the service's number, whether "
                   "scheduled tasks record it, and up to when it was cut into tracks; * marks "
                   "\"ActiveStream\"");
    auto* streamsAdd = streams->add_subcommand("add", "Add a stream (inactive) and its folder");
    streamsAdd->add_option("NAME", o.name, "Stream name")->required();
    auto* streamsActivate =
        streams->add_subcommand("activate", "Let scheduled tasks record the stream");
    streamsActivate->add_option("NAME", o.name, "Stream name")->required();
    auto* streamsDeactivate =
        streams->add_subcommand("deactivate", "Make scheduled tasks skip the stream");
    streamsDeactivate->add_option("NAME", o.name, "Stream name")->required();
    auto* streamsImport = streams->add_subcommand(
        "import", "Add the streams of another StreamFileNames.txt that are not in the list yet");
    streamsImport->add_option("FILE", o.path, "A stream list file")->required();

    auto* info = app.add_subcommand(
        "info", "Show the sessions of a stream (start, chunk length, duration, chunks present) "
                "and its recorded ranges");
    info->add_option("--stream", o.name, "Stream (default: \"ActiveStream\")");

    auto* remove = app.add_subcommand(
        "delete", "Delete the chunks lying wholly between --from and --to and renumber the rest, "
                  "or with --all every file of the stream's folder");
    remove->add_option("--from", o.remove.from,
                       "Start: \"DD/MM/YYYY  hh:mm:ss[.mmm]\" or \"YYYY-MM-DD hh:mm:ss\"");
    remove->add_option("--to", o.remove.to, "End, in the same forms");
    remove->add_option("--stream", o.remove.stream, "Stream (default: \"ActiveStream\")");
    remove->add_flag("--all", o.remove.all, "Delete every file of the stream's folder");
    remove->add_flag("--yes,-y", o.remove.yes, "Answer the --all question with yes");

    auto* importCmd = app.add_subcommand(
        "import", "Move a description file (.des) onto the recording of a stream: shift it by "
                  "the clock difference, correct it by fingerprint matching, and merge it into "
                  "the stream's desc.des (overlapping descriptions are replaced)");
    importCmd->add_option("FILE", o.import.file, "A description file (.des); it is not changed")
        ->required();
    importCmd->add_option("--difference", o.import.difference,
                          "Seconds the service's clock runs ahead of this computer's (default: "
                          "the last \"wavkeep timecheck\", else 0); at most a day either way")
        ->check(CheckClockDifferenceText);
    importCmd->add_flag("--trust", o.import.trust,
                        "Import a file whose third header lacks the trusted marker");
    importCmd->add_option("--stream", o.import.stream, "Stream (default: \"ActiveStream\")");

    auto* descriptions = app.add_subcommand(
        "descriptions", "List the stream's descriptions: times, artist - title, whether the "
                        "recording covers them (complete/partial/missing), not identified");
    descriptions->add_option("--stream", o.name, "Stream (default: \"ActiveStream\")");

    auto* shift = app.add_subcommand(
        "shift", "Move descriptions by SECONDS (negative: to the past), each only when it stays "
                 "inside the recorded stretch of the stream");
    shift->add_option("SECONDS", o.shiftSeconds,
                      "Seconds, with milliseconds as decimals; at most a day either way")
        ->required()
        ->check(CheckClockDifferenceText);
    shift->add_option("--index", o.shiftIndex, "Move only description N of \"wavkeep descriptions\"")
        ->check(CLI::PositiveNumber);
    shift->add_option("--stream", o.name, "Stream (default: \"ActiveStream\")");

    std::string login, password;
    auto* account = app.add_subcommand("account", "The service account (Options.txt)");
    account->require_subcommand(1);
    auto* accountSet = account->add_subcommand(
        "set", "Store LOGIN and PASSWORD (one word of printable ASCII; stored scrambled)");
    accountSet->add_option("LOGIN", login, "Login; may hold blanks")->required();
    accountSet->add_option("PASSWORD", password, "Password")->required();

    auto* timecheck = app.add_subcommand(
        "timecheck", "Measure how far the service's clock (\"TimeCheckURL\") runs ahead: three "
                     "samples averaged, kept for \"wavkeep import\"");
    bool timecheckInit = false;
    timecheck->add_flag("--init", timecheckInit,
                        "The initial time check instead: one sample, the service's and this "
                        "computer's clock written to the active stream's initcheck.txt");

    auto* download = app.add_subcommand("download", "One run of a download from the service");
    download->require_subcommand(1);
    auto* downloadSchedule = download->add_subcommand(
        "schedule", "Time check, then the service's recording tasks (\"ScheduleURL\"), moved to "
                    "local time; tasks colliding with the schedule are skipped");
    auto* downloadPlaylist = download->add_subcommand(
        "playlist", "Time check, then the description files of every stretch recorded since "
                    "covered-until (\"UploadURL\"); each is applied once: shifted, matched and "
                    "merged into the stream's desc.des, then the complete tracks exported");
    downloadPlaylist->add_option("--stream", o.name, "Stream (default: \"ActiveStream\")");
    auto* upload = app.add_subcommand(
        "upload", "Time check, then upload the stream's desc.des, shifted to the service's "
                  "clock, with the account (\"UploadURL\"; at most 20000 bytes)");
    upload->add_option("--stream", o.name, "Stream (default: \"ActiveStream\")");
    auto* exportCmd = app.add_subcommand(
        "export", "Cut every completely recorded description of the stream into a music file "
                  "(\"ExportPath\"; not-identified ones into its badcut folder), tag it, "
                  "normalise the MP3 files as one album; exported descriptions leave desc.des. "
                  "With --from/--to: one file of that range instead");
    exportCmd->add_option("--stream", o.exportRun.stream, "Stream (default: \"ActiveStream\")");
    exportCmd->add_option("--from", o.exportRun.from,
                          "Start: \"DD/MM/YYYY  hh:mm:ss[.mmm]\" or \"YYYY-MM-DD hh:mm:ss\"");
    exportCmd->add_option("--to", o.exportRun.to, "End, in the same forms");
    auto* normalize = app.add_subcommand(
        "normalize", "Bring MP3 files to one loudness as one album (ReplayGain analysis; every "
                     "frame's global gain moved by the same steps of 1.5 dB, no re-encoding)");
    normalize->add_option("FILE", o.files, "MP3 files, changed in place")->required();
    normalize->add_flag("--dry-run", o.dryRun, "Only measure and print the album gain");
    auto* songs = app.add_subcommand(
        "songs", "List the music folder (\"ExportPath\"): files, durations and tags");
    bool openFolder = false;
    songs->add_flag("--open", openFolder,
                    "Open the music folder in the desktop's file manager (xdg-open) instead");
    DemoOptions demoOptions;
    auto* demo = app.add_subcommand(
        "demo", "Show the whole chain without a sound card or a service: in a fresh temporary "
                "home (or --home) record the generator's broadcast as fast as it encodes, seed "
                "and start wavkeep-service with its clock off, download the playlist (time check, "
                "timeshift, fingerprint matching), export and normalise the songs, and check "
                "their starts against the generator's own track list");
    demo->add_option("--minutes", demoOptions.minutes, "Minutes of broadcast to record (4-120)")
        ->capture_default_str();
    demo->add_option("--seed", demoOptions.seed, "The generator's seed")->capture_default_str();

    auto* streamsUpdate = streams->add_subcommand(
        "fetch", "Add the channels of the service's channel list (\"URLChanelList\")");
    streamsUpdate->alias("update");

    bool prune = false;
    auto* disk = app.add_subcommand(
        "disk", "Show the space the streams use against \"DiskSpace\" (MiB) and the free space");
    disk->add_flag("--prune", prune,
                   "Run one check now: when the streams use more than allowed, delete the oldest "
                   "sessions (chunks with side files) down to nine tenths of the allowance");

    RunOptions daemonRun;
    std::string openFile;
    auto* run = app.add_subcommand(
        "run", "Run the recorder of this home until \"wavkeep stop\", Ctrl-C or SIGTERM: record "
               "the scheduled tasks, download schedules and playlists every five minutes, export "
               "the described songs; SIGHUP reloads config.ini and schedule.txt");
    run->add_option("--input", daemonRun.input,
                    "As for \"wavkeep record\", at real-time pace (default: alsa)");
    run->add_option("FILE", daemonRun.descriptionFile,
                    "A description file (.des) to open; handed to the recorder running already");
    auto* stop = app.add_subcommand(
        "stop", "Stop the recorder running in this home and wait until it is gone (exit 1: none)");
    auto* status = app.add_subcommand(
        "status", "Show whether a recorder runs in this home (pid) and what it records, the next "
                  "task, the streams' disk use against \"DiskSpace\" and the last five events");
    auto* open = app.add_subcommand(
        "open", "Hand a description file to the running recorder, which imports it; when none "
                "runs, import it here as \"wavkeep import\" does");
    open->add_option("FILE", openFile, "A description file (.des)")->required();

    PlayOptions playOptions;
    auto* play = AddPlayCommand(app, playOptions);
    auto* version = app.add_subcommand("version", "Print wavkeep's version");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        return code == 0 ? kExitOk : kExitUsage;
    }

    if (app.count("--home") > 0 && o.home.empty()) {
        err << "wavkeep: --home wants a folder; an empty name names none\n";
        return kExitUsage;
    }
    if (version->parsed()) {
        out << "wavkeep " << kWavkeepVersion << '\n';
        return kExitOk;
    }

    if (demo->parsed()) {
        if (const std::string problem = DemoOptionsProblem(demoOptions); !problem.empty()) {
            err << "wavkeep: " << problem << '\n';
            return kExitUsage;
        }
    }
    if (demo->parsed() && o.home.empty()) {
        demoOptions.temporaryHome = true;
        o.home = MakeDemoHome();
        if (o.home.empty()) {
            err << "wavkeep: cannot make a temporary folder for the demo\n";
            return kExitFailed;
        }
    }
    if (!o.home.empty()) SetProgramHome(o.home);
    std::string why;
    if (!PrepareProgramHome(&why)) {
        err << "wavkeep: " << why << '\n';
        return kExitFailed;
    }
    GLStart();
    GLAddThread(CurrentThreadId());
    SetUpTraceFromConfig();
    // The password of "account set" stays out of the trace files.
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        const bool secret = accountSet->parsed() && !password.empty() && argv[i] == password;
        commandLine += (i > 1 ? " " : "") + std::string(secret ? "********" : argv[i]);
    }
    Trace(kTraceInfo, "wavkeep %s: %s", GetProgramVersion().c_str(), commandLine.c_str());

    try {
        if (play->parsed()) return RunPlay(playOptions, out, err);
        if (run->parsed()) return RunDaemon(daemonRun, out, err);
        if (stop->parsed()) return RunStop(out, err);
        if (status->parsed()) return RunStatus(out, err);
        if (open->parsed()) return RunOpen(openFile, out, err);
        if (configList->parsed()) return ConfigList(out);
        if (configGet->parsed()) return ConfigGet(o, out, err);
        if (configSet->parsed()) return ConfigSet(o, err);
        if (configReset->parsed()) return ConfigReset(o, err);
        if (eventsClear->parsed()) return EventsClear(o, err);
        if (events->parsed()) return EventsShow(out);
        if (encoderList->parsed()) return EncoderList(out);
        if (record->parsed()) return RunRecord(o.record, out, err);
        if (streamsAdd->parsed()) return RunStreamsAdd(o.name, out, err);
        if (streamsUpdate->parsed()) return RunStreamsUpdate(out, err);
        if (downloadSchedule->parsed()) return RunDownloadSchedule(out, err);
        if (downloadPlaylist->parsed()) return RunDownloadPlaylist(o.name, out, err);
        if (upload->parsed()) return RunUpload(o.name, out, err);
        if (exportCmd->parsed()) {
            if (o.exportRun.from.empty() != o.exportRun.to.empty())
                throw UsageError("give both --from and --to, or neither");
            return RunExport(o.exportRun, out, err);
        }
        if (normalize->parsed()) return RunNormalize(o.files, o.dryRun, out, err);
        if (songs->parsed()) {
            if (!openFolder) return RunSongs(out, err);
            if (OpenMusicDirectory()) return kExitOk;
            err << "wavkeep: the music folder could not be opened (is xdg-open installed?)\n";
            return kExitFailed;
        }
        if (demo->parsed()) return RunDemo(demoOptions, out, err);
        if (streamsActivate->parsed()) return RunStreamsActivate(o.name, true, out, err);
        if (streamsDeactivate->parsed()) return RunStreamsActivate(o.name, false, out, err);
        if (streamsImport->parsed()) return RunStreamsImport(o.path, out, err);
        if (streams->parsed()) return RunStreamsList(out);
        if (info->parsed()) return RunInfo(o.name, out, err);
        if (disk->parsed()) return RunDisk(prune, out, err);
        if (accountSet->parsed()) return AccountSet(login, password, out, err);
        if (timecheck->parsed()) return RunTimeCheck(timecheckInit, out, err);
        if (importCmd->parsed()) {
            if (importCmd->count("--difference") == 0) o.import.difference = LastTimeDifference().value_or(0.0);
            return RunImport(o.import, out, err);
        }
        if (descriptions->parsed()) return RunDescriptions(o.name, out, err);
        if (shift->parsed()) return RunShift(o.shiftSeconds, o.shiftIndex, o.name, out, err);
        if (remove->parsed()) {
            if (!o.remove.all && (o.remove.from.empty() || o.remove.to.empty()))
                throw UsageError("give --from and --to, or --all");
            return RunDelete(o.remove, out, err);
        }
        if (scheduleList->parsed()) return RunScheduleList(out);
        if (scheduleAdd->parsed()) return RunScheduleAdd(o.scheduleAdd, out, err);
        if (scheduleDelete->parsed()) return RunScheduleDelete(o.taskNumber, out, err);
        if (encoderTest->parsed()) return EncoderTest(o, out, err);
        if (encoderImport->parsed()) return EncoderImport(o, out, err);
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
