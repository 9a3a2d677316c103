// "wavkeep demo --second-station": a second station's recording of the
// broadcast whose playlist a first station made (src/fixture/SecondStation.h),
// the playlist matched onto it and its songs exported; each song's start is
// measured in the exported file itself, by cross-correlating the decoded
// song with what the second station recorded.

#include <mpg123.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "app/DemoCommand.h"
#include "core/ConfigStore.h"
#include "core/ProgramHome.h"
#include "descriptions/CTrackToStreamThread.h"
#include "descriptions/DescriptionStore.h"
#include "export/CutAccuracy.h"
#include "export/ExportThread.h"
#include "fixture/SecondStation.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

constexpr double kMatchGoalMs = 15;
constexpr double kStartGoalMs = 13;

// The file's mono samples as mpg123 plays them; `gapless` says whether it
// read the encoder's delay from the file and took it off.
std::vector<float> DecodeMono(const std::string& path, bool& gapless) {
    std::vector<float> mono;
    gapless = false;
    int error = MPG123_OK;
    mpg123_handle* h = mpg123_new(nullptr, &error);
    if (!h) return mono;
    mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
    if (mpg123_open(h, path.c_str()) == MPG123_OK) {
        mpg123_format_none(h);
        mpg123_format(h, kStationRate, MPG123_STEREO, MPG123_ENC_SIGNED_16);
        std::vector<int16_t> pcm(8192);
        size_t got = 0;
        int rc = MPG123_OK;
        while ((rc = mpg123_read(h, pcm.data(), pcm.size() * 2, &got)) == MPG123_OK ||
               rc == MPG123_NEW_FORMAT) {
            const std::vector<float> part = MonoMix({pcm.data(), got / 2}, 2);
            mono.insert(mono.end(), part.begin(), part.end());
        }
        double delay = -1;
        long value = -1;
        gapless = mpg123_getstate(h, MPG123_ENC_DELAY, &value, &delay) == MPG123_OK && value >= 0;
        mpg123_close(h);
    }
    mpg123_delete(h);
    return mono;
}

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f ms", ms);
    return text;
}

bool AddStream(const std::string& name, std::string& folder) {
    StreamNameFile streams;
    streams.load();
    StreamRecord record;
    record.name = name;
    streams.AddCopy(record);
    folder = StreamNameFile::StreamRoot() + name;
    return streams.CreateFolders() && streams.save();
}

}  // namespace

int RunSecondStationDemo(const DemoOptions& o, std::ostream& out, std::ostream& err) {
    SecondStationOptions s;
    s.seed = o.seed;
    s.songs = 5;
    s.songSeconds = 20;
    out << "wavkeep demo --second-station in " << ProgramFolder() << '\n'
        << "1. recording one broadcast at two stations: " << s.songs
        << " songs joined by pauses, fades and crossfades; the second station hears it "
        << s.delaySeconds << " s later, " << s.gainDb << " dB, band-limited to " << s.lowPassHz
        << " Hz, noise at " << s.noiseDbfs << " dBFS..." << std::endl;
    std::string firstFolder, secondFolder, why;
    if (!AddStream("First station", firstFolder) || !AddStream("Second station", secondFolder)) {
        err << "wavkeep: cannot add the demo's streams in " << ProgramFolder() << '\n';
        return 1;
    }
    const std::string received = ProgramFolder() + "first-station.des";
    StationRecordings r;
    if (!RecordStations(s, DateTime(2024, 5, 1, 10, 0, 0), firstFolder, secondFolder, received, r,
                        &why)) {
        err << "wavkeep: " << why << '\n';
        return 1;
    }
    out << "2. the first station's playlist (" << r.described.size()
        << " descriptions, fingerprinted from its own recording) matched onto the second's..."
        << std::endl;
    const std::string copy = secondFolder + "/received.des";
    std::filesystem::copy_file(received, copy, std::filesystem::copy_options::overwrite_existing);
    StreamInfo info;
    info.folder = secondFolder;
    UpdateStreamInfo(info);
    DescriptionStore store(secondFolder, "desc");
    store.SetStreamInfo(&info);
    SetMatchedExportHook(nullptr);  // the export below is the one looked at
    if (!CTrackToStreamThread::RunNow("", store, info, copy, 0.0, &why)) {
        err << "wavkeep: the matching failed: " << why << '\n';
        return 1;
    }
    std::error_code ec;
    std::filesystem::remove(copy, ec);
    out << "3. exporting the songs of the second station..." << std::endl;
    DescriptionStore marked;
    LoadStreamDescriptions(secondFolder, marked);
    const ExportRunResult result =
        RunMusicExport(BuildExportRequest(marked, "Second station", secondFolder, -1, false));

    const std::vector<float> recording = MonoMix(r.audio.second, 2);
    out << "\n" << "song     join       matching     song start   file\n";
    int matchedWell = 0, startedWell = 0;
    for (size_t i = 0; i < r.described.size(); ++i) {
        const Description& d = r.described[i];
        const ExportedFile* file = nullptr;
        for (const ExportedFile& f : result.files)
            if (f.entry.track.title == d.title) file = &f;
        std::string matching = "not matched", start = "-", name = "(not exported)";
        if (file) {
            const double matchError = static_cast<double>(file->entry.start) - r.secondTruth[i];
            matching = Ms(matchError);
            if (std::fabs(matchError) <= kMatchGoalMs && !file->entry.track.notIdentified) ++matchedWell;
            if (!file->path.empty()) {
                name = std::filesystem::path(file->path).filename().string();
                bool gapless = false;
                const std::vector<float> song = DecodeMono(file->path, gapless);
                const int64_t truth = r.audio.songs[i].secondFrame;
                // The export picks the frame whose decoded audio (the
                // decoder's own delay included) begins at the description's
                // start, so the decoded song's first sample is compared as
                // is; from a second in, past the quiet start of a fade-in.
                const auto at =
                    FindInSource(song, recording, truth, kStationRate / 4, kStationRate);
                if (at && at->correlation >= 0.9) {
                    const double startError =
                        static_cast<double>(at->frame - truth) * 1000.0 / kStationRate;
                    start = Ms(startError);
                    if (std::fabs(startError) <= kStartGoalMs) ++startedWell;
                }
            }
        }
        char line[200];
        std::snprintf(line, sizeof line, "%-8s %-10s %-12s %-12s %s\n", d.title.c_str(),
                      d.comment.c_str(), matching.c_str(), start.c_str(), name.c_str());
        out << line;
    }
    const auto n = static_cast<int>(r.described.size());
    const bool matchGoal = matchedWell == n, startGoal = startedWell == n;
    out << "\nmatching: " << matchedWell << " of " << n << " descriptions within "
        << kMatchGoalMs << " ms of the true start (" << (matchGoal ? "goal met" : "goal NOT met")
        << ")\nsong start (the song as mpg123 decodes it, found in the recording): "
        << startedWell << " of " << n << " within " << kStartGoalMs << " ms ("
        << (startGoal ? "goal met" : "goal NOT met") << ")\n";
    return matchGoal && startGoal ? 0 : 1;
}

}  // namespace wk
