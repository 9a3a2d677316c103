// Cutting a track out of MP3 chunks, for bench/run-export-bench.
//
//   wavkeep_bench_export prepare DIR [SECONDS] [CHUNK_SECONDS]
//       encodes SECONDS (300) of generated music at 128 kbit/s into chunks of
//       CHUNK_SECONDS (10) in DIR/stream, as one recording session names
//       them, and writes their concatenation to DIR/all.mp3
//   wavkeep_bench_export export DIR FROM_S TO_S [RUNS]
//       reads DIR/stream and exports the track [FROM_S, TO_S) seconds into
//       the session into DIR/music/temp, RUNS (1) times; prints the best
//       time of ExportTrack alone, the file's size and its path
//
// The encoder library (lame_enc.so) is taken from the program home
// ($WAVKEEP_HOME) or from beside this executable.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/CTError.h"
#include "core/DateTime.h"
#include "descriptions/Description.h"
#include "export/ExportProgress.h"
#include "export/ExportTrack.h"
#include "platform/GeneratedMusic.h"
#include "recording/ChunkEncoder.h"
#include "recording/SideFileCalculator.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"

namespace {

namespace fs = std::filesystem;

const wk::DateTime kSessionStart(2024, 5, 1, 20, 0, 0);

int Prepare(const std::string& dir, int seconds, int chunkSeconds) {
    const std::string folder = dir + "/stream";
    fs::create_directories(folder);
    try {
        wk::ChunkEncoder enc;
        enc.SetEngine(wk::kEngineLame);
        enc.SetBitRate(128);
        enc.Open();
        enc.SetFileName(
            wk::FolderFile(folder, wk::ChunkSessionName(kSessionStart, seconds, chunkSeconds)));
        enc.SetChunkSize(wk::ChunkEncoder::ChunkBytes(2, 44100, chunkSeconds));
        const int block = enc.StartFile();
        wk::SideFileCalculator side(44100, 2);
        wk::GeneratedMusic music(7, 44100, 2);
        std::vector<int16_t> pcm(static_cast<size_t>(block));
        // One block short of the session, so that the last chunk ends with
        // the encoder's flush as a recording's last chunk does.
        const int64_t frames = int64_t{seconds} * 44100 - block / 2;
        for (int64_t done = 0; done < frames; done += block / 2) {
            music.Render(pcm.data(), block / 2);
            side.AddBlock(pcm);
            enc.SetSideBlocks(side.Dat(), side.Fgp());
            enc.EncodeBlock(pcm.data(), block);
        }
        enc.FlushFile();
        enc.StopFile();
        enc.Close();
        std::printf("%d chunks\n", enc.ChunkNumber());
    } catch (const wk::CTError& e) {
        std::fprintf(stderr, "%s\n", e.GetText().c_str());
        return 1;
    }
    // Short chunks have short side files; the stream info wants 951 bytes.
    const int chunks = (seconds + chunkSeconds - 1) / chunkSeconds;
    std::ofstream all(dir + "/all.mp3", std::ios::binary | std::ios::trunc);
    for (int n = 1; n <= chunks; ++n) {
        const std::string base =
            wk::FolderFile(folder, wk::ChunkBaseName(kSessionStart, seconds, chunkSeconds, n));
        std::error_code ec;
        if (fs::file_size(base + ".dat", ec) < 1000) fs::resize_file(base + ".dat", 1000, ec);
        std::ifstream in(base + ".mp3", std::ios::binary);
        all << in.rdbuf();
    }
    return all.good() ? 0 : 1;
}

int Export(const std::string& dir, double fromSeconds, double toSeconds, int runs) {
    wk::StreamInfo info;
    info.folder = dir + "/stream";
    wk::UpdateStreamInfo(info);
    if (info.sessions.empty()) {
        std::fprintf(stderr, "no session in %s\n", info.folder.c_str());
        return 1;
    }
    const wk::StreamTime s0 = info.sessions.front().start;
    wk::Description track;
    track.artist = "Bench";
    track.title = "Track";
    const auto dirs = wk::ExportDirectories::ForMusicFolder(dir + "/music");
    double best = 1e9;
    std::string path;
    for (int i = 0; i < std::max(runs, 1); ++i) {
        if (!path.empty()) ::unlink(path.c_str());
        wk::SilentExportProgress progress;
        const auto t0 = std::chrono::steady_clock::now();
        path = wk::ExportTrack(info, s0 + static_cast<wk::StreamTime>(fromSeconds * 1000),
                               s0 + static_cast<wk::StreamTime>(toSeconds * 1000), "Bench - Track",
                               track, dirs, false, progress);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
        best = std::min(best, took.count());
        if (path.empty()) {
            std::fprintf(stderr, "export failed\n");
            return 1;
        }
    }
    struct stat st {};
    ::stat(path.c_str(), &st);
    std::printf("%.6f %lld %s\n", best, static_cast<long long>(st.st_size), path.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "prepare" && argc >= 3) {
        return Prepare(argv[2], argc > 3 ? std::atoi(argv[3]) : 300,
                       argc > 4 ? std::atoi(argv[4]) : 10);
    }
    if (mode == "export" && argc >= 5) {
        return Export(argv[2], std::atof(argv[3]), std::atof(argv[4]),
                      argc > 5 ? std::atoi(argv[5]) : 1);
    }
    std::fprintf(stderr,
                 "usage: %s prepare DIR [SECONDS] [CHUNK_SECONDS]\n"
                 "       %s export DIR FROM_S TO_S [RUNS]\n",
                 argv[0], argv[0]);
    return 2;
}
