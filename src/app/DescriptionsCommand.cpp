#include "app/DescriptionsCommand.h"

#include <atomic>
#include <cmath>
#include <filesystem>
#include <memory>
#include <ostream>

#include "app/CliCommandTable.h"
#include "app/StreamChoice.h"
#include "core/ClockDifference.h"
#include "core/ConfigStore.h"
#include "core/PrintableText.h"
#include "core/SystemInfo.h"
#include "core/Trace.h"
#include "descriptions/CTrackToStreamThread.h"
#include "descriptions/DescriptionStore.h"
#include "descriptions/TimeShifting.h"
#include "server/TimeCheck.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

const char* CoverageText(int state) {
    switch (state) {
    case kCoverageComplete: return "complete";
    case kCoveragePartial: return "partial";
    default: return "missing";
    }
}

// The stream's descriptions with their coverage marked against what is
// recorded; returns the recorded ranges.
std::vector<RecordedRange> LoadMarked(const std::string& folder, StreamInfo& info,
                                      DescriptionStore& store) {
    info.folder = folder;
    UpdateStreamInfo(info);
    store.SetFolder(folder);
    store.SetName("desc");
    store.SetStreamInfo(&info);
    store.Load();
    std::vector<RecordedRange> ranges;
    std::vector<int> codes;
    GetRecordedRanges(info, ranges, codes);
    store.MarkCoverage(ranges);
    return ranges;
}

}  // namespace

int RunImport(const ImportOptions& o, std::ostream& out, std::ostream& err) {
    int status = 0;
    const auto chosen = ChooseStream(o.stream, err, &status);
    if (!chosen) return status;
    const std::string& stream = chosen->name;
    const std::string& folder = chosen->folder;
    std::error_code ec;
    DescriptionStore incoming;
    std::error_code fileError;
    // Read under the name it has: "PL.DES" is not "PL.des".
    if (!std::filesystem::is_regular_file(o.file, fileError) || !incoming.LoadFrom(o.file)) {
        err << "wavkeep: cannot read " << o.file;
        if (fileError) err << ": " << fileError.message();
        err << '\n';
        return 1;
    }
    if (!incoming.IsTrusted() && !o.trust) {
        Trace(kTraceInfo, "Current .des file is not from a trusted user, ignoring it!");
        err << "wavkeep: " << o.file
            << " is not from a trusted user (no _WAVKEEP_STAFF_ in its third header); "
               "--trust imports it anyway\n";
        return 1;
    }
    // The file is rewritten while it is moved onto the recording: work on a
    // copy in the stream folder, so the user's file stays as it was. The
    // name is this run's own: another import may work beside it.
    static std::atomic<unsigned> imports{0};
    std::filesystem::create_directories(folder, ec);
    const std::string copy = folder + "/import." + std::to_string(CurrentProcessId()) + "." +
                             std::to_string(imports++) + ".des";
    ec.clear();
    std::filesystem::copy_file(o.file, copy, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        err << "wavkeep: cannot copy " << o.file << " to " << copy << ": " << ec.message() << '\n';
        std::filesystem::remove(copy, ec);
        return 1;
    }
    // The stream's file is read when the merge goes onto it, under its lock.
    StreamInfo info;
    info.folder = folder;
    UpdateStreamInfo(info);
    DescriptionStore store(folder, "desc");
    store.SetStreamInfo(&info);
    ConfigStore config;
    config.Load();
    std::string why;
    MergeResult merged;
    const bool ok = CTrackToStreamThread::RunNow(config.GetString("ExportPath"), store, info, copy,
                                                 o.difference, &why, &merged);
    std::filesystem::remove(copy, ec);
    std::filesystem::remove(copy + "tmp", ec);
    if (!ok) {
        err << "wavkeep: " << o.file << " was not imported: " << why << '\n';
        return 1;
    }
    out << "imported " << incoming.Size() << " descriptions into " << stream << " (now "
        << store.Size() << ", were " << merged.held;
    if (merged.same > 0) out << "; " << merged.same << " held already";
    // The time shift keeps what one file may add; the merge may refuse more.
    const size_t cut = incoming.Size() > kMaxMergedRecords ? incoming.Size() - kMaxMergedRecords : 0;
    if (cut + merged.refused > 0) out << "; " << cut + merged.refused << " not added";
    out << "), clock difference " << o.difference << " s\n";
    return 0;
}

int RunDescriptions(const std::string& streamName, std::ostream& out, std::ostream& err) {
    int status = 0;
    const auto chosen = ChooseStream(streamName, err, &status);
    if (!chosen) return status;
    const std::string& stream = chosen->name;
    const std::string& folder = chosen->folder;
    StreamInfo info;
    DescriptionStore store;
    LoadMarked(folder, info, store);
    int n = 0;
    for (const auto& d : store.Records()) {
        out << ++n << '\t' << DateTime::FromStreamTime(d->start).LongText() << '\t'
            << DateTime::FromStreamTime(d->end).LongText() << '\t'
            << PrintableText(d->artist + " - " + d->title)
            << '\t' << CoverageText(d->coverage) << (d->notIdentified ? "\tnot identified" : "")
            << '\n';
    }
    if (n == 0) out << "no descriptions for " << stream << '\n';
    return 0;
}

int RunShift(double seconds, int index, const std::string& streamName, std::ostream& out,
             std::ostream& err) {
    int status = 0;
    const auto chosen = ChooseStream(streamName, err, &status);
    if (!chosen) return status;
    const std::string& folder = chosen->folder;
    StreamInfo info;
    DescriptionStore store;
    const std::vector<RecordedRange> ranges = LoadMarked(folder, info, store);
    if (index > static_cast<int>(store.Size()) || store.Size() == 0) {
        err << "wavkeep: no description " << index << " (see \"wavkeep descriptions\")\n";
        return 1;
    }
    if (ranges.empty()) {
        err << "wavkeep: the stream holds no recording to move descriptions within\n";
        return 1;
    }
    const double whole = std::trunc(std::fabs(seconds));
    const int ms = static_cast<int>(std::lround((std::fabs(seconds) - whole) * 1000)) % 1000;
    const int64_t amount = TimeShiftAmount(static_cast<int64_t>(whole), ms, seconds < 0);
    const StreamTime viewStart = ranges.front().first;
    StreamTime viewEnd = ranges.front().second;
    for (const auto& r : ranges) viewEnd = std::max(viewEnd, r.second);
    // The numbers are those "wavkeep descriptions" shows; another process may
    // have changed the file since it was read, so the move goes onto what
    // the file holds under its lock.
    int moved = 0;
    bool gone = false;
    std::string why;
    const bool saved = store.Update(
        [&](DescriptionStore& fresh) {
            if (fresh.Size() == 0 || index > static_cast<int>(fresh.Size())) {
                gone = true;
                return false;
            }
            moved = ShiftDescriptionsWithin(fresh, amount, index - 1, viewStart, viewEnd);
            return moved > 0;
        },
        &why);
    if (!saved) {
        err << "wavkeep: nothing moved: " << why << '\n';
        return 1;
    }
    if (gone) {
        err << "wavkeep: no description " << index << " (see \"wavkeep descriptions\")\n";
        return 1;
    }
    out << moved << " descriptions moved by " << amount << " ms\n";
    return 0;
}

void AddDescriptionsCommands(CliCommandTable& table) {
    struct Options {
        ImportOptions import;
        std::string stream;
        double shiftSeconds = 0;
        int shiftIndex = 0;
    };
    auto o = std::make_shared<Options>();
    CLI::App& app = table.App();
    CLI::App* import = app.add_subcommand(
        "import", "Move a description file (.des) onto the recording of a stream: shift it by "
                  "the clock difference, correct it by fingerprint matching, and merge it into "
                  "the stream's desc.des (overlapping descriptions are replaced)");
    import->add_option("FILE", o->import.file, "A description file (.des); it is not changed")
        ->required();
    import->add_option("--difference", o->import.difference,
                       "Seconds the service's clock runs ahead of this computer's (default: "
                       "the last \"wavkeep timecheck\", else 0); at most a day either way")
        ->check(CheckClockDifferenceText);
    import->add_flag("--trust", o->import.trust,
                     "Import a file whose third header lacks the trusted marker");
    import->add_option("--stream", o->import.stream, "Stream (default: \"ActiveStream\")")->type_name("STREAM");
    table.On(import, [o, import](std::ostream& out, std::ostream& err) {
        if (import->count("--difference") == 0)
            o->import.difference = LastTimeDifference().value_or(0.0);
        return RunImport(o->import, out, err);
    });

    CLI::App* descriptions = app.add_subcommand(
        "descriptions", "List the stream's descriptions: times, artist - title, whether the "
                        "recording covers them (complete/partial/missing), not identified");
    descriptions->add_option("--stream", o->stream, "Stream (default: \"ActiveStream\")")->type_name("STREAM");
    table.On(descriptions, [o](std::ostream& out, std::ostream& err) {
        return RunDescriptions(o->stream, out, err);
    });

    CLI::App* shift = app.add_subcommand(
        "shift", "Move descriptions by SECONDS (negative: to the past), each only when it stays "
                 "inside the recorded stretch of the stream");
    shift->add_option("SECONDS", o->shiftSeconds,
                      "Seconds, with milliseconds as decimals; at most a day either way")
        ->required()
        ->check(CheckClockDifferenceText);
    shift
        ->add_option("--index", o->shiftIndex,
                     "Move only description N of \"wavkeep descriptions\"")
        ->check(CLI::PositiveNumber);
    shift->add_option("--stream", o->stream, "Stream (default: \"ActiveStream\")")->type_name("STREAM");
    table.On(shift, [o](std::ostream& out, std::ostream& err) {
        return RunShift(o->shiftSeconds, o->shiftIndex, o->stream, out, err);
    });
}

}  // namespace wk
