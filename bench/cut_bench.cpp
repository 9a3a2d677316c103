// How exactly exported MP3 songs start: generator music recorded through a
// real recording session, songs exported at exact descriptions with the
// chunks' start notes and again without them (the nominal frame rule), each
// decoded and found in the generator's audio by cross-correlation.
//
//   wavkeep_bench_cuts [SECONDS]   (default 180 s of audio)
//
// Prints the start errors' p50, p95 and worst for both rules, and a RATIO
// line: the worst error with notes against half an MP3 frame (13 ms).

#include <mpg123.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/Event.h"
#include "core/ProgramHome.h"
#include "descriptions/Description.h"
#include "export/CutAccuracy.h"
#include "export/ExportProgress.h"
#include "export/ExportTrack.h"
#include "platform/CaptureDeviceGenerator.h"
#include "platform/GeneratedMusic.h"
#include "recording/EncoderBase.h"
#include "recording/RecordingSession.h"
#include "streamstore/ChunkName.h"
#include "streamstore/ChunkStartNote.h"
#include "streamstore/StreamInfo.h"

namespace {

namespace fs = std::filesystem;
constexpr uint32_t kSeed = 19;
constexpr int kRate = 44100;
const wk::GeneratorTiming kTiming{4, 7, 1, 2};
const wk::DateTime kStart{2004, 3, 1, 9, 0, 0};

std::vector<float> DecodeMono(const std::string& path) {
    std::vector<float> mono;
    int err = 0;
    mpg123_handle* h = mpg123_new(nullptr, &err);
    if (h == nullptr) return mono;
    mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    if (mpg123_open(h, path.c_str()) == MPG123_OK) {
        long rate = 0;
        int channels = 0, encoding = 0;
        for (;;) {
            off_t num = 0;
            unsigned char* audio = nullptr;
            size_t size = 0;
            const int r = mpg123_decode_frame(h, &num, &audio, &size);
            if (r == MPG123_NEW_FORMAT) {
                mpg123_getformat(h, &rate, &channels, &encoding);
                continue;
            }
            if (r != MPG123_OK) break;
            const auto* pcm = reinterpret_cast<const int16_t*>(audio);
            const std::vector<float> part =
                wk::MonoMix({pcm, size / 2}, channels > 0 ? channels : 2);
            mono.insert(mono.end(), part.begin(), part.end());
        }
        mpg123_close(h);
    }
    mpg123_delete(h);
    return mono;
}

// The start errors (ms) of songs every 1.931 s whose comparison window holds music.
std::vector<double> Measure(const wk::StreamInfo& info, const std::vector<float>& source,
                            const std::vector<wk::GeneratedTrack>& layout, int64_t seconds,
                            const std::string& music) {
    const auto dirs = wk::ExportDirectories::ForMusicFolder(music);
    wk::SilentExportProgress progress;
    std::vector<double> errors;
    const wk::StreamTime t0 = kStart.ToStreamTime();
    for (int64_t from = 700; from + 2600 < seconds * 1000; from += 1931) {
        const double truth = double(from) * kRate / 1000;
        bool inMusic = false;
        for (const auto& t : layout)
            inMusic |= !t.pause && t.startFrame <= int64_t(truth) + 4096 &&
                       int64_t(truth) + 4096 + 8192 <= t.endFrame;
        if (!inMusic) continue;
        const std::string path = wk::ExportTrack(info, t0 + from, t0 + from + 2600, "song",
                                                 wk::Description{}, dirs, false, progress);
        const auto place = wk::FindInSource(DecodeMono(path), source, int64_t(truth), kRate / 8);
        if (path.empty() || !place || place->correlation < 0.9) {
            std::fprintf(stderr, "song from %lld ms: not found in the source\n",
                         static_cast<long long>(from));
            std::exit(1);
        }
        errors.push_back((double(place->frame) - truth) * 1000 / kRate);
        fs::remove(path);
    }
    return errors;
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t seconds = argc > 1 ? std::atoll(argv[1]) : 180;
    if (seconds < 10) return 2;
    mpg123_init();
    std::string folder = (fs::temp_directory_path() / "wavkeep-cuts-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) return 1;
    wk::SetProgramHome(folder + "/");
    fs::create_directories(folder + "/stream");
    {
        wk::RecordingSession session;
        auto device = std::make_unique<wk::CaptureDeviceGenerator>(kSeed, false, kTiming);
        device->SetFrameLimit(kRate * seconds);
        session.SetDevice(std::move(device));
        session.Configure(wk::kEngineLame, 128, 0, 10,
                          folder + "/stream/" + wk::ChunkSessionName(kStart, 3600, 10));
        wk::Event ended;
        session.SetOnEndedByItself([&ended] { ended.Set(); });
        session.Open();
        session.Start();
        if (!ended.Wait(600000)) return 1;
        session.Stop();
        session.Close();
    }
    wk::GeneratedMusic generator(kSeed, kRate, 2, kTiming);
    std::vector<int16_t> pcm(size_t(kRate * seconds) * 2);
    generator.Render(pcm.data(), kRate * seconds);
    const std::vector<float> source = wk::MonoMix(pcm, 2);
    const auto layout = wk::GeneratedMusic::Layout(kSeed, kRate, kRate * seconds, kTiming);

    wk::StreamInfo info;
    info.folder = folder + "/stream";
    wk::UpdateStreamInfo(info);
    const wk::ErrorSpread noted = wk::SpreadOf(Measure(info, source, layout, seconds, folder + "/m"));
    for (const auto& e : fs::directory_iterator(info.folder))
        if (e.path().extension() == wk::kChunkNoteExtension) fs::remove(e.path());
    const wk::ErrorSpread old = wk::SpreadOf(Measure(info, source, layout, seconds, folder + "/m"));
    fs::remove_all(folder);

    std::printf("MP3 cut start error over %zu songs (ms): start notes p50 %.1f p95 %.1f worst %.1f; "
                "nominal rule p50 %.1f p95 %.1f worst %.1f\n",
                noted.count, noted.p50, noted.p95, noted.worst, old.p50, old.p95, old.worst);
    const double halfFrameMs = 576.0 * 1000 / kRate;
    std::printf("RATIO cut_start %.4f %.5f %.3f <=1.0 MP3 cut start, worst |error| vs half a "
                "frame (p50/p95/worst ms: notes %.1f/%.1f/%.1f, nominal rule %.1f/%.1f/%.1f)\n",
                noted.worst / 1000, halfFrameMs / 1000, noted.worst / halfFrameMs, noted.p50, noted.p95, noted.worst, old.p50,
                old.p95, old.worst);
    return 0;
}
