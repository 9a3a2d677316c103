#include "app/StreamsCommand.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>

#include "app/CommandLock.h"
#include "app/CliCommandTable.h"
#include "app/StreamChoice.h"
#include "app/UserTime.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/Translation.h"
#include "core/UserPrompt.h"
#include "streamstore/DiskSpaceManager.h"
#include "streamstore/StreamDeletion.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamListChange.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

std::string TimeText(StreamTime t) {
    return DateTime::FromStreamTime(t).LongText();
}

std::string DurationText(StreamTime ms) {
    const long long s = ms / 1000;
    char text[48];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

}  // namespace

int RunStreamsList(bool namesOnly, std::ostream& out) {
    StreamNameFile streams;
    streams.load();
    if (namesOnly) {
        for (const auto& r : streams.Records()) out << r->name << '\n';
        return 0;
    }
    ConfigStore config;
    config.Load();
    const std::string current = config.GetString("ActiveStream");
    out << "  name\tkind\tservice\tactive\tcovered until\n";
    for (const auto& r : streams.Records()) {
        out << (r->name == current ? "* " : "  ") << r->name << '\t'
            << (r->sourceType == kSourceRadio ? "radio" : "music TV") << '\t' << r->serviceNumber
            << '\t' << (r->active == 1 ? "yes" : "no") << '\t'
            << (r->coveredUntil > 0 ? TimeText(r->coveredUntil) : std::string("-")) << '\n';
    }
    return 0;
}

namespace {

// The exit status of a refused change: 2 for a name no stream can have.
int ReportChange(const StreamChangeResult& r, std::ostream& err) {
    err << "wavkeep: " << r.problem;
    if (r.status == StreamChangeStatus::kNotFound) err << " (see \"wavkeep streams\")";
    err << '\n';
    return r.status == StreamChangeStatus::kBadName ? 2 : 1;
}

}  // namespace

int RunStreamsAdd(const std::string& name, std::ostream& out, std::ostream& err) {
    StreamNameFile list;
    list.load();
    StreamListChanges changes;
    changes.added.push_back(NewStreamRecord(list, name));
    const StreamChangeResult r = ChangeStreamList(changes);
    if (!r.Done()) return ReportChange(r, err);
    out << "added " << name << " (inactive; \"wavkeep streams activate " << name
        << "\" lets scheduled tasks record it)\n";
    return 0;
}

int RunStreamsActivate(const std::string& name, bool active, std::ostream& out, std::ostream& err) {
    StreamNameFile list;
    list.load();
    const StreamRecord* record = list.Find(name);
    if (!record) {
        err << "wavkeep: no stream \"" << name << "\" (see \"wavkeep streams\")\n";
        return 1;
    }
    StreamListChanges changes;
    changes.changed.push_back({*record, *record});
    changes.changed.back().after.active = active ? 1 : 0;
    const StreamChangeResult r = ChangeStreamList(changes);
    if (!r.Done()) return ReportChange(r, err);
    out << record->name << (active ? " is active\n" : " is inactive\n");
    return 0;
}

int RunStreamsImport(const std::string& path, std::ostream& out, std::ostream& err) {
    if (!std::ifstream(path)) {
        err << "wavkeep: cannot read " << path << '\n';
        return 1;
    }
    FileLock lock;
    if (!LockFileForCommand(lock, StreamNameFile::FilePath(), err)) return 1;
    StreamNameFile streams;
    streams.load();
    std::vector<std::string> skipped;
    const int added = streams.ImportFrom(path, &skipped);
    for (const std::string& line : skipped) err << "wavkeep: stream " << line << "; skipped\n";
    if (!streams.save()) {
        err << "wavkeep: cannot write " << StreamNameFile::FilePath() << '\n';
        return 1;
    }
    out << added << " streams added\n";
    return 0;
}

int RunInfo(const std::string& streamName, std::ostream& out, std::ostream& err) {
    int status = 0;
    const auto chosen = ChooseStream(streamName, err, &status);
    if (!chosen) return status;
    const std::string& stream = chosen->name;
    StreamInfo info;
    info.folder = chosen->folder;
    UpdateStreamInfo(info);
    out << "stream " << stream << " (" << info.folder << ")\n";
    if (info.sessions.empty()) {
        out << "no recorded chunks\n";
        return 0;
    }
    out << "sessions:\n";
    for (const auto& s : info.sessions) {
        out << "  " << TimeText(s.start) << "  chunk " << s.length / 1000 << " s  duration "
            << DurationText(s.duration) << "  chunks present " << s.spans.size() << '\n';
    }
    std::vector<std::pair<StreamTime, StreamTime>> ranges;
    std::vector<int> codes;
    GetRecordedRanges(info, ranges, codes);
    out << "recorded ranges:\n";
    for (const auto& [from, to] : ranges)
        out << "  " << TimeText(from) << "  to  " << TimeText(to) << "  (" << DurationText(to - from)
            << ")\n";
    return 0;
}

int RunDelete(const DeleteOptions& o, std::ostream& out, std::ostream& err) {
    int status = 0;
    const auto chosen = ChooseStream(o.stream, err, &status);
    if (!chosen) return status;
    const std::string& stream = chosen->name;
    const std::string& folder = chosen->folder;
    if (o.all) {
        StderrPrompt prompt(o.yes);
        const std::string question =
            "This will delete the whole selected stream " + stream + ". Are you sure?";
        if (prompt.Show(question, kMbOkCancel | kMbIconQuestion) != kIdOk) {
            err << "wavkeep: nothing deleted; \"wavkeep delete --all --yes\" deletes the stream's files\n";
            return 1;
        }
        std::string kept;
        try {
            if (!DeleteWholeStream(folder, &kept)) {
                err << "wavkeep: the description file of " << stream
                    << " could not be emptied (see \"wavkeep events\")\n";
                return 1;
            }
        } catch (const StreamsBusyError& e) {
            err << "wavkeep: nothing deleted: " << e.what() << '\n';
            return 1;
        }
        if (kept.empty()) {
            out << "deleted every file of " << folder << '\n';
        } else {
            out << "deleted every file of " << folder << " but those of the session being recorded ("
                << kept << "_*)\n";
        }
        return 0;
    }
    const auto from = ParseUserDateTime(o.from);
    const auto to = ParseUserDateTime(o.to);
    if (!from || !to) {
        err << "wavkeep: give --from and --to as \"DD/MM/YYYY  hh:mm:ss[.mmm]\" or \"YYYY-MM-DD hh:mm:ss\"\n";
        return 2;
    }
    try {
        std::string spared;
        const int deleted = DeleteMarkedStretch(folder, from->ToStreamTime(), to->ToStreamTime(), &spared);
        out << deleted << " chunks deleted\n";
        if (!spared.empty())
            out << "the chunks of the session being recorded (" << spared << "_*) were left alone\n";
    } catch (const StreamsBusyError& e) {
        err << "wavkeep: nothing deleted: " << e.what() << '\n';
        return 1;
    } catch (const MoveError&) {
        ReportId(kStrStreamFolderLocked, kMbOk | kMbIconStop);
        return 1;
    }
    return 0;
}

std::string SizeText(uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(kUnits)) {
        value /= 1024;
        ++unit;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

int RunDisk(bool prune, std::ostream& out, std::ostream& err) {
    StreamNameFile streams;
    streams.load();
    std::vector<std::string> names;
    for (const auto& r : streams.Records()) names.push_back(r->name);
    const std::string root = StreamNameFile::StreamRoot();
    int status = 0;
    if (prune) {
        DiskSpaceManager manager(root);
        const DiskCheckResult r = manager.CheckOnce(names);
        if (r.busy) {
            err << "wavkeep: nothing deleted: another wavkeep process kept changing the streams\n";
            status = 1;
        } else if (r.wanted == 0) {
            out << "nothing to delete: the streams are within the allowance\n";
        } else {
            out << "freed " << SizeText(r.freed) << " of " << SizeText(r.wanted) << " wanted\n";
            if (!r.Met()) {
                err << "wavkeep: the streams are still over the allowance: only the chunks being "
                       "recorded are left to delete\n";
                status = 1;
            }
        }
        if (r.reducedAllowanceMb > 0)
            err << "wavkeep: Error: Disk space reduced! DiskSpace is now " << r.reducedAllowanceMb << '\n';
    }
    const DiskUsage u = DiskSpaceManager::MeasureDiskUsage(root, names);
    out << "streams use " << SizeText(u.used) << " of " << SizeText(u.allowance) << " allowed (DiskSpace); "
        << (u.freeKnown ? SizeText(u.free) : std::string("unknown")) << " free on the disk\n";
    return status;
}

void AddStreamsCommands(CliCommandTable& table) {
    struct Options {
        std::string name;
        std::string path;
        DeleteOptions remove;
        bool namesOnly = false;
    };
    auto o = std::make_shared<Options>();
    CLI::App& app = table.App();
    CLI::App* streams = app.add_subcommand(
        "streams", "List the streams (StreamFileNames.txt): kind, the service's number, whether "
                   "scheduled tasks record it, and up to when it was cut into tracks; * marks "
                   "\"ActiveStream\"");
    streams->add_flag("--names", o->namesOnly,
                      "Only the stream names, one a line (for scripts and shell completion)");
    table.On(streams, [o](std::ostream& out, std::ostream&) { return RunStreamsList(o->namesOnly, out); });
    CLI::App* add = streams->add_subcommand("add", "Add a stream (inactive) and its folder");
    add->add_option("NAME", o->name, "Stream name")->required();
    table.On(add, [o](std::ostream& out, std::ostream& err) {
        return RunStreamsAdd(o->name, out, err);
    });
    CLI::App* activate =
        streams->add_subcommand("activate", "Let scheduled tasks record the stream");
    activate->add_option("NAME", o->name, "Stream name")->required()->type_name("STREAM");
    table.On(activate, [o](std::ostream& out, std::ostream& err) {
        return RunStreamsActivate(o->name, true, out, err);
    });
    CLI::App* deactivate =
        streams->add_subcommand("deactivate", "Make scheduled tasks skip the stream");
    deactivate->add_option("NAME", o->name, "Stream name")->required()->type_name("STREAM");
    table.On(deactivate, [o](std::ostream& out, std::ostream& err) {
        return RunStreamsActivate(o->name, false, out, err);
    });
    CLI::App* import = streams->add_subcommand(
        "import", "Add the streams of another StreamFileNames.txt that are not in the list yet");
    import->add_option("FILE", o->path, "A stream list file")->required();
    table.On(import, [o](std::ostream& out, std::ostream& err) {
        return RunStreamsImport(o->path, out, err);
    });

    CLI::App* info = app.add_subcommand(
        "info", "Show the sessions of a stream (start, chunk length, duration, chunks present) "
                "and its recorded ranges");
    info->add_option("--stream", o->name, "Stream (default: \"ActiveStream\")")->type_name("STREAM");
    table.On(info,
             [o](std::ostream& out, std::ostream& err) { return RunInfo(o->name, out, err); });

    CLI::App* remove = app.add_subcommand(
        "delete", "Delete the chunks lying wholly between --from and --to and renumber the rest, "
                  "or with --all every file of the stream's folder");
    remove->add_option("--from", o->remove.from,
                       "Start: \"DD/MM/YYYY  hh:mm:ss[.mmm]\" or \"YYYY-MM-DD hh:mm:ss\"");
    remove->add_option("--to", o->remove.to, "End, in the same forms");
    remove->add_option("--stream", o->remove.stream, "Stream (default: \"ActiveStream\")")->type_name("STREAM");
    remove->add_flag("--all", o->remove.all, "Delete every file of the stream's folder");
    remove->add_flag("--yes,-y", o->remove.yes, "Answer the --all question with yes");
    table.On(remove, [o](std::ostream& out, std::ostream& err) {
        if (!o->remove.all && (o->remove.from.empty() || o->remove.to.empty()))
            throw UsageError("give --from and --to, or --all");
        return RunDelete(o->remove, out, err);
    });
}

void AddDiskCommand(CliCommandTable& table) {
    auto prune = std::make_shared<bool>(false);
    CLI::App* disk = table.App().add_subcommand(
        "disk", "Show the space the streams use against \"DiskSpace\" (MiB) and the free space");
    disk->add_flag("--prune", *prune,
                   "Run one check now: when the streams use more than allowed, delete the oldest "
                   "sessions (chunks with side files) down to nine tenths of the allowance");
    table.On(disk, [prune](std::ostream& out, std::ostream& err) {
        return RunDisk(*prune, out, err);
    });
}

}  // namespace wk
