// "wavkeep demo --second-station": a second station's recording of the
// broadcast whose playlist a first station made (src/fixture/SecondStation.h),
// the playlist matched onto it and its songs exported; each song's start is
// measured in the exported file itself, by cross-correlating the decoded
// song with what the second station recorded.

#include <mpg123.h>
#include <vorbis/vorbisfile.h>

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
constexpr double kMp3StartGoalMs = 13;  // half an MP3 frame
constexpr double kOggStartGoalMs = 5;   // granule positions are exact

// The MP3 file's mono samples as mpg123 plays them.
std::vector<float> DecodeMp3(const std::string& path) {
    std::vector<float> mono;
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
        mpg123_close(h);
    }
    mpg123_delete(h);
    return mono;
}

// The Ogg Vorbis file's mono samples, from its first granule on.
std::vector<float> DecodeOgg(const std::string& path) {
    std::vector<float> mono;
    OggVorbis_File vf;
    if (ov_fopen(path.c_str(), &vf) != 0) return mono;
    const vorbis_info* vi = ov_info(&vf, -1);
    const int channels = vi ? vi->channels : 0;
    std::vector<int16_t> pcm(8192);
    int section = 0;
    long got = 0;
    while (channels > 0 &&
           (got = ov_read(&vf, reinterpret_cast<char*>(pcm.data()), static_cast<int>(pcm.size() * 2),
                          0, 2, 1, &section)) > 0) {
        const std::vector<float> part = MonoMix({pcm.data(), static_cast<size_t>(got) / 2}, channels);
        mono.insert(mono.end(), part.begin(), part.end());
    }
    ov_clear(&vf);
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

// One described song on one recording of the second station.
struct SongFigures {
    std::string matching = "not matched";
    std::string start = "-";
    std::string file = "(not exported)";
    bool matchedWell = false;
    bool startedWell = false;
};

// The first station's playlist matched onto the recording in `folder` (stream
// `name`) and its songs exported; per described song, how far the matching
// and the decoded song's start lie from the truth.
bool MatchAndExport(const StationRecordings& r, const std::string& received,
                    const std::string& name, const std::string& folder,
                    const std::vector<float>& recording, std::vector<SongFigures>& songs,
                    std::string& why) {
    const std::string copy = folder + "/received.des";
    std::filesystem::copy_file(received, copy, std::filesystem::copy_options::overwrite_existing);
    StreamInfo info;
    info.folder = folder;
    UpdateStreamInfo(info);
    DescriptionStore store(folder, "desc");
    store.SetStreamInfo(&info);
    SetMatchedExportHook(nullptr);  // the export below is the one looked at
    if (!CTrackToStreamThread::RunNow("", store, info, copy, 0.0, &why)) {
        why = "the matching failed: " + why;
        return false;
    }
    std::error_code ec;
    std::filesystem::remove(copy, ec);
    DescriptionStore marked;
    LoadStreamDescriptions(folder, marked);
    const ExportRunResult result = RunMusicExport(BuildExportRequest(marked, name, folder, -1, false));

    songs.assign(r.described.size(), SongFigures());
    for (size_t i = 0; i < r.described.size(); ++i) {
        SongFigures& f = songs[i];
        const ExportedFile* file = nullptr;
        for (const ExportedFile& e : result.files)
            if (e.entry.track.title == r.described[i].title) file = &e;
        if (!file) continue;
        const double matchError = static_cast<double>(file->entry.start) - r.secondTruth[i];
        f.matching = Ms(matchError);
        f.matchedWell = std::fabs(matchError) <= kMatchGoalMs && !file->entry.track.notIdentified;
        if (file->path.empty()) continue;
        f.file = std::filesystem::path(file->path).filename().string();
        const bool ogg = file->path.ends_with(".ogg");
        const std::vector<float> song = ogg ? DecodeOgg(file->path) : DecodeMp3(file->path);
        const int64_t truth = r.audio.songs[i].secondFrame;
        // The export picks the frame whose decoded audio (the decoder's own
        // delay included) begins at the description's start, so the decoded
        // song's first sample is compared as is; from a second in, past the
        // quiet start of a fade-in.
        const auto at = FindInSource(song, recording, truth, kStationRate / 10, kStationRate);
        if (!at || at->correlation < 0.9) continue;
        const double startError = static_cast<double>(at->frame - truth) * 1000.0 / kStationRate;
        f.start = Ms(startError);
        f.startedWell = std::fabs(startError) <= (ogg ? kOggStartGoalMs : kMp3StartGoalMs);
    }
    return true;
}

// How many of `songs` met the goals, as a line of the summary.
bool Summary(const std::vector<SongFigures>& songs, bool SongFigures::*well, const char* what,
             double goalMs, std::ostream& out) {
    int good = 0;
    for (const SongFigures& s : songs) good += s.*well ? 1 : 0;
    const bool met = good == static_cast<int>(songs.size());
    out << what << ": " << good << " of " << songs.size() << " within " << goalMs << " ms ("
        << (met ? "goal met" : "goal NOT met") << ")\n";
    return met;
}

}  // namespace

int RunSecondStationDemo(const DemoOptions& o, std::ostream& out, std::ostream& err) {
    SecondStationOptions s;
    s.seed = o.seed;
    s.songs = o.shortForm ? 3 : 5;
    s.songSeconds = o.shortForm ? 10 : 20;
    out << "wavkeep demo --second-station in " << ProgramFolder() << '\n'
        << "1. recording one broadcast at two stations: " << s.songs
        << " songs joined by pauses, fades and crossfades; the second station hears it "
        << s.delaySeconds << " s later, " << s.gainDb << " dB, band-limited to " << s.lowPassHz
        << " Hz, noise at " << s.noiseDbfs << " dBFS, and records it in MP3 and in Ogg Vorbis..."
        << std::endl;
    std::string firstFolder, mp3Folder, oggFolder, why;
    if (!AddStream("First station", firstFolder) || !AddStream("Second station", mp3Folder) ||
        !AddStream("Second station Ogg", oggFolder)) {
        err << "wavkeep: cannot add the demo's streams in " << ProgramFolder() << '\n';
        return 1;
    }
    const std::string received = ProgramFolder() + "first-station.des";
    const DateTime start(2024, 5, 1, 10, 0, 0);
    StationRecordings r;
    if (!RecordStations(s, start, firstFolder, mp3Folder, received, r, &why) ||
        !RecordSecondStation(s, start, oggFolder, r, &why, 10, kEngineVorbis)) {
        err << "wavkeep: " << why << '\n';
        return 1;
    }
    out << "2. the first station's playlist (" << r.described.size()
        << " descriptions, fingerprinted from its own recording) matched onto each recording of "
           "the second, and its songs exported..."
        << std::endl;
    const std::vector<float> recording = MonoMix(r.audio.second, 2);
    std::vector<SongFigures> mp3, ogg;
    if (!MatchAndExport(r, received, "Second station", mp3Folder, recording, mp3, why) ||
        !MatchAndExport(r, received, "Second station Ogg", oggFolder, recording, ogg, why)) {
        err << "wavkeep: " << why << '\n';
        return 1;
    }

    out << "\n" << "                    matching               song start\n"
        << "song     join       MP3         Ogg        MP3         Ogg         file\n";
    for (size_t i = 0; i < r.described.size(); ++i) {
        const Description& d = r.described[i];
        char line[300];
        std::snprintf(line, sizeof line, "%-8s %-10s %-11s %-10s %-11s %-11s %s\n",
                      d.title.c_str(), d.comment.c_str(), mp3[i].matching.c_str(),
                      ogg[i].matching.c_str(), mp3[i].start.c_str(), ogg[i].start.c_str(),
                      mp3[i].file.c_str());
        out << line;
    }
    out << '\n';
    bool met = Summary(mp3, &SongFigures::matchedWell, "matching (MP3 recording)", kMatchGoalMs, out);
    met = Summary(ogg, &SongFigures::matchedWell, "matching (Ogg recording)", kMatchGoalMs, out) && met;
    met = Summary(mp3, &SongFigures::startedWell,
                  "MP3 song start (as mpg123 decodes it, found in the recording)", kMp3StartGoalMs,
                  out) && met;
    met = Summary(ogg, &SongFigures::startedWell, "Ogg song start (found in the recording)",
                  kOggStartGoalMs, out) && met;
    return met ? 0 : 1;
}

}  // namespace wk
