#include "app/DemoCommand.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <optional>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/CliCommandTable.h"
#include "app/ExportCommand.h"
#include "app/RecordCommand.h"
#include "core/ConfigStore.h"
#include "core/DateTime.h"
#include "core/EventLog.h"
#include "core/ProgramHome.h"
#include "core/SystemInfo.h"
#include "core/Trace.h"
#include "descriptions/DescriptionStore.h"
#include "platform/HttpClientCurl.h"
#include "platform/Process.h"
#include "server/Credentials.h"
#include "server/PlaylistDownload.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

constexpr const char* kDemoStream = "Default";
constexpr StreamTime kStartTolerance = 50;

using SteadyClock = std::chrono::steady_clock;

double SecondsSince(SteadyClock::time_point t) {
    return std::chrono::duration<double>(SteadyClock::now() - t).count();
}

// wavkeep-service: beside this executable (where the build puts both), else
// on the PATH. "" with `why` set when there is none.
std::string FindServiceProgram(std::string* why) {
    const std::string exe = FindProgram("wavkeep-service", {GetExecutableFolder()});
    if (exe.empty()) {
        *why = "wavkeep-service is missing: it is neither beside " + GetExecutablePath() +
               " nor on the PATH (it is built and installed with wavkeep)";
    }
    return exe;
}

// wavkeep-service running as a child process for the demo's duration.
class ServiceProcess {
public:
    // Starts it on a free loopback port; the port, or -1 with `why` set.
    int Start(const std::string& data, double clockOffset, std::string* why) {
        const std::string exe = FindServiceProgram(why);
        if (exe.empty()) return -1;
        char offset[32];
        std::snprintf(offset, sizeof offset, "%.3f", clockOffset);
        m_log = data + "/service.log";
        if (!m_process.Start({exe, "--listen", "127.0.0.1:0", "--data", data, "--clock-offset",
                              offset},
                             m_log, why)) {
            return -1;
        }
        // Its first line says where it listens.
        const std::string line = m_process.ReadLine(200);
        const auto colon = line.rfind(':');
        if (line.rfind("listening on ", 0) != 0 || colon == std::string::npos) {
            *why = "wavkeep-service did not start (see " + m_log + ")";
            Stop();
            return -1;
        }
        return std::atoi(line.c_str() + colon + 1);
    }
    void Stop() { m_process.Stop(); }

private:
    ChildProcess m_process;
    std::string m_log;
};

// How long seeding may take: it computes the broadcast's fingerprints.
constexpr int64_t kSeedTimeoutMs = 10 * 60 * 1000;

// What the demo asks "wavkeep-service seed" to write: the playlist of the
// generator's broadcast as the service's clock has it.
struct DemoSeed {
    std::string dataFolder;
    std::string stream;
    unsigned seed = 1;
    StreamTime start = 0;  // server time of the generator's first frame
    int minutes = 0;
    int64_t offsetErrorMs = 0;
};

// Runs "wavkeep-service seed" (the demo links no service code) and reads
// back the descriptions it wrote, in the order of the broadcast. False with
// `why` set when it failed.
bool SeedService(const DemoSeed& s, std::vector<Description>* records, std::string* why) {
    const std::string exe = FindServiceProgram(why);
    if (exe.empty()) return false;
    const std::string output = s.dataFolder + "/seed.txt";
    const std::string log = s.dataFolder + "/seed.log";
    const std::vector<std::string> args = {exe,
                                           "seed",
                                           "--data",
                                           s.dataFolder,
                                           "--seed",
                                           std::to_string(s.seed),
                                           "--start",
                                           DateTime::FromStreamTime(s.start).LongText(),
                                           "--minutes",
                                           std::to_string(s.minutes),
                                           "--stream",
                                           s.stream,
                                           "--offset-error-ms",
                                           std::to_string(s.offsetErrorMs)};
    std::error_code ec;
    std::filesystem::create_directories(s.dataFolder, ec);
    int status = 0;
    if (RunProgram(args, kSeedTimeoutMs, &status, {output, log}) != ProgramResult::kDone) {
        *why = "\"wavkeep-service seed\" failed (see " + log + ")";
        return false;
    }
    // Its first line: "N descriptions of generator seed S written to PATH".
    std::ifstream written(output);
    std::string line;
    std::getline(written, line);
    const std::string marker = " written to ";
    const size_t at = line.find(marker);
    DescriptionStore store;
    if (at == std::string::npos || !store.LoadFrom(line.substr(at + marker.size()))) {
        *why =
            "the descriptions \"wavkeep-service seed\" wrote cannot be read (see " + output + ")";
        return false;
    }
    records->clear();
    for (const auto& record : store.Records()) records->push_back(*record);
    return true;
}

// The session start of the stream's first chunk.
std::optional<DateTime> RecordedSessionStart(const std::string& folder) {
    std::optional<DateTime> first;
    for (const std::string& name : ListChunkFiles(folder, ".mp3")) {
        const auto fields = ParseChunkName(name);
        if (fields && (!first || fields->start.ToStreamTime() < first->ToStreamTime()))
            first = fields->start;
    }
    return first;
}

// The stream a demo records into: "Default", or in a home where an earlier
// demo recorded there, the first of "Demo 2", "Demo 3"... without chunks.
// The generator's recording runs on a clock of its own, far ahead of the
// wall clock, so a second recording into one stream would overlap the
// first one's stretch and the served playlist could match neither.
std::string DemoStream() {
    for (int n = 1;; ++n) {
        std::string name = kDemoStream;
        if (n > 1) name = "Demo " + std::to_string(n);
        const std::string folder = StreamNameFile::StreamRoot() + name;
        if (ListChunkFiles(folder, ".mp3").empty() && ListChunkFiles(folder, ".ogg").empty())
            return name;
    }
}

// Why a playlist download did not apply the one file the demo serves.
std::string NotAppliedReason(const PlaylistDownloadResult& r) {
    switch (r.status) {
    case PlaylistStatus::kBusy: return "another playlist download was running";
    case PlaylistStatus::kTimeCheckFailed: return "the time check against the service failed";
    case PlaylistStatus::kUnknownStream: return "the demo stream is not in the stream list";
    case PlaylistStatus::kRequestFailed: return "a playlist request to the service failed";
    case PlaylistStatus::kNoRequest:
        return "nothing was recorded after the stream's covered-until time";
    case PlaylistStatus::kDownloaded: break;
    }
    if (r.skipped > 0) return "the served description file was applied before (AppliedDesIDs.dat)";
    if (r.failed > 0) return "the time shift and matching refused the served description file";
    if (r.notDescriptions > 0) return "the service answered without a description file";
    return std::to_string(r.applied) + " description files were applied, not 1";
}

std::string Ms(long long ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%+lld ms", ms);
    return text;
}

}  // namespace

std::string MakeDemoHome() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/wavkeep-demo-XXXXXX";
    if (!::mkdtemp(pattern.data())) return {};
    return pattern;
}

std::string DemoOptionsProblem(const DemoOptions& o) {
    if (o.minutes < 4 || o.minutes > 120)
        return "--minutes wants 4 to 120 (the generator's tracks last 2 to 5 minutes)";
    if (o.shortForm && !o.secondStation) return "--short goes with --second-station";
    return {};
}

namespace {

// The demo's steps; `songsMade` is set once there are songs to look at.
int RunDemoSteps(const DemoOptions& o, std::ostream& out, std::ostream& err, bool& songsMade) {
    const auto began = SteadyClock::now();
    const std::string stream = DemoStream();
    out << "wavkeep demo in " << ProgramFolder() << ", stream " << stream << '\n';
    ConfigStore config;
    config.Load();
    config.SetString("Encoder", "Lame encoder");
    config.SetString("ActiveStream", stream);
    if (!config.Save()) {
        err << "wavkeep: cannot write config.ini in " << ProgramFolder() << '\n';
        return 1;
    }

    // 1. Record the broadcast.
    out << "1. recording " << o.minutes << " minutes of the generator's broadcast (seed " << o.seed
        << ") into 10-second MP3 chunks, as fast as they encode..." << std::endl;
    RecordOptions record;
    record.seconds = o.minutes * 60LL;
    record.stream = stream;
    record.input = "generator:" + std::to_string(o.seed) + ":fast";
    std::ostringstream recordOut;
    if (RunRecord(record, recordOut, err) != 0) {
        err << "wavkeep: the demo recording failed\n";
        return 1;
    }
    const std::string folder = StreamNameFile::StreamRoot() + stream;
    const std::optional<DateTime> sessionStart = RecordedSessionStart(folder);
    if (!sessionStart) {
        err << "wavkeep: the demo recording left no chunks in " << folder << '\n';
        return 1;
    }
    out << "   " << recordOut.str() << "   (" << std::fixed << std::setprecision(1)
        << SecondsSince(began) << " s so far)" << std::endl;

    // 2. The service: the broadcast's playlist by its own clock, a little off.
    const auto offsetMs = static_cast<StreamTime>(std::llround(o.clockOffset * 1000.0));
    DemoSeed seed;
    seed.dataFolder = ProgramFolder() + "service-data";
    seed.stream = stream;
    seed.seed = o.seed;
    seed.start = sessionStart->ToStreamTime() + offsetMs;
    seed.minutes = o.minutes;
    seed.offsetErrorMs = o.playlistErrorMs;
    std::string why;
    std::vector<Description> served;
    if (!SeedService(seed, &served, &why)) {
        err << "wavkeep: seeding the service failed: " << why << '\n';
        return 1;
    }
    ServiceProcess service;
    const int port = service.Start(seed.dataFolder, o.clockOffset, &why);
    if (port <= 0) {
        err << "wavkeep: " << why << '\n';
        return 1;
    }
    out << "2. wavkeep-service on 127.0.0.1:" << port << ", its clock " << std::showpos
        << std::setprecision(2) << o.clockOffset << std::noshowpos << " s off, serving "
        << served.size() << " descriptions whose times are " << o.playlistErrorMs
        << " ms late" << std::endl;
    const std::string url =
        "http://127.0.0.1:" + std::to_string(port) + "/html/playlists/upload.php3";
    config.Load();
    config.SetString("TimeCheckURL", url);
    config.SetString("UploadURL", url);
    if (!config.Save(&why)) {
        err << "wavkeep: cannot write config.ini: " << why << '\n';
        return 1;
    }
    if (!WriteCredentials({"demo", "demo", "-"}, &why)) {
        err << "wavkeep: " << why << '\n';
        return 1;
    }
    ::setenv("no_proxy", "127.0.0.1", 1);

    // 3. The playlist download, which exports what it applied.
    out << "3. playlist download: time check, request, timeshift, fingerprint matching, merge, "
           "export, normalisation..."
        << std::endl;
    HttpClientCurl http;
    const PlaylistDownloadResult r = RunPlaylistDownload(http, stream);
    service.Stop();
    if (r.status != PlaylistStatus::kDownloaded || r.applied != 1) {
        const std::string why =
            "the demo's playlist download did not apply the served file: " + NotAppliedReason(r);
        AddEvent(why);
        err << "wavkeep: " << why << '\n';
        return 1;
    }
    songsMade = !r.exportedFiles.empty();
    out << "   measured clock difference " << std::showpos << std::setprecision(3) << r.difference
        << std::noshowpos << " s" << std::endl;

    // 4. The songs, against where the generator really played them.
    // Where the generator really played each served track, by the service's
    // clock: the served times less the error the playlist was given.
    std::map<std::string, StreamTime> trueStart;
    for (const Description& d : served) trueStart[d.title] = d.start - o.playlistErrorMs;
    out << "\n"
        << std::left << std::setw(44) << "file" << std::setw(8) << "length" << std::setw(14)
        << "matching" << std::setw(14) << "true start"
        << "cut\n";
    int good = 0, made = 0;
    for (const ExportedFile& f : r.exportedFiles) {
        const std::string name = std::filesystem::path(f.path).filename().string();
        const double seconds = f.path.empty() ? -1 : MusicFileSeconds(f.path);
        char length[48];
        const long whole = seconds < 0 ? 0 : std::lround(seconds);
        std::snprintf(length, sizeof length, "%ld:%02ld", whole / 60, whole % 60);
        // Where the served description put the track on our clock, and how far
        // the matching moved it from there.
        const auto truth = trueStart.find(f.entry.track.title);
        std::string correction = "?", offTruth = "?";
        bool ok = false;
        if (truth != trueStart.end()) {
            const StreamTime servedLocal =
                truth->second + o.playlistErrorMs -
                static_cast<StreamTime>(std::llround(r.difference * 1000.0));
            correction = Ms(f.entry.start - servedLocal);
            const StreamTime trueLocal = truth->second - offsetMs;
            offTruth = Ms(f.entry.start - trueLocal);
            ok = std::llabs(f.entry.start - trueLocal) <= kStartTolerance;
        }
        if (!f.path.empty()) ++made;
        if (ok && !f.path.empty()) ++good;
        out << std::setw(44) << (f.path.empty() ? "(failed) " + f.entry.name : name) << std::setw(8)
            << (seconds < 0 ? "?" : length) << std::setw(14) << correction << std::setw(14)
            << offTruth << (f.badCut ? "bad cut" : "good") << '\n';
    }
    ConfigStore after;
    after.Load();
    out << "\n"
        << made << " songs in " << after.GetString("ExportPath")
        << " (MP3, tagged with ID3v2.4 and ID3v1 and ReplayGain, "
        << "normalised as one album)\n";
    const size_t complete = served.size();
    // The last described track may reach past the recording's end by a little;
    // everything the recording holds whole must have been made.
    const StreamTime recordingEnd = seed.start + int64_t{o.minutes} * 60 * 1000;
    size_t expected = 0;
    for (const Description& d : served)
        if (d.end - o.playlistErrorMs <= recordingEnd) ++expected;
    out << good << " of " << expected << " complete generator tracks start within "
        << kStartTolerance << " ms of where the generator really played them (" << complete
        << " described)\n";
    out << std::fixed << std::setprecision(1) << "done in " << SecondsSince(began) << " s; "
        << "\"wavkeep --home " << ProgramFolder() << " songs\" lists them again\n";
    return good >= static_cast<int>(expected) && expected > 0 ? 0 : 1;
}

}  // namespace

int RunDemo(const DemoOptions& o, std::ostream& out, std::ostream& err) {
    if (const std::string problem = DemoOptionsProblem(o); !problem.empty()) {
        err << "wavkeep: " << problem << '\n';
        return 2;
    }
    bool songsMade = false;
    const int status =
        o.secondStation ? RunSecondStationDemo(o, out, err) : RunDemoSteps(o, out, err, songsMade);
    songsMade = songsMade || o.secondStation;
    if (status != 0 && o.temporaryHome && !songsMade) {
        // Nothing in it to look at: the reason has been printed.
        std::error_code ec;
        std::filesystem::remove_all(ProgramFolder(), ec);
        if (!ec) err << "wavkeep: the demo's temporary home " << ProgramFolder() << " is removed\n";
    }
    return status;
}

namespace {

// Before the home is prepared: the options checked, and without --home a
// fresh temporary home chosen.
std::optional<int> CheckDemoHome(DemoOptions& o, std::string& home, std::ostream& err) {
    if (const std::string problem = DemoOptionsProblem(o); !problem.empty()) {
        err << "wavkeep: " << problem << '\n';
        return kExitUsage;
    }
    if (!home.empty()) return std::nullopt;
    o.temporaryHome = true;
    home = MakeDemoHome();
    if (home.empty()) {
        err << "wavkeep: cannot make a temporary folder for the demo\n";
        return kExitFailed;
    }
    return std::nullopt;
}

}  // namespace

void AddDemoCommand(CliCommandTable& table) {
    auto o = std::make_shared<DemoOptions>();
    CLI::App* demo = table.App().add_subcommand(
        "demo", "Show the whole chain without a sound card or a service: in a fresh temporary "
                "home (or --home) record the generator's broadcast as fast as it encodes, seed "
                "and start wavkeep-service with its clock off, download the playlist (time check, "
                "timeshift, fingerprint matching), export and normalise the songs, and check "
                "their starts against the generator's own track list");
    demo->add_option("--minutes", o->minutes, "Minutes of broadcast to record (4-120)")
        ->capture_default_str();
    demo->add_option("--seed", o->seed, "The generator's seed")->capture_default_str();
    demo->add_flag("--second-station", o->secondStation,
                   "Instead: record the broadcast at a second station (2.3 s late, -4 dB, 7 kHz, "
                   "noise), match the first station's playlist onto it, export the songs and "
                   "print each one's matching error and measured start error");
    demo->add_flag("--short", o->shortForm,
                   "With --second-station: three songs of 10 s (a pause, a fade and a crossfade "
                   "before them) instead of five of 20 s");
    table.Early(demo, [o](std::string& home, std::ostream&, std::ostream& err) {
        return CheckDemoHome(*o, home, err);
    });
    table.On(demo, [o](std::ostream& out, std::ostream& err) { return RunDemo(*o, out, err); });
}

}  // namespace wk
