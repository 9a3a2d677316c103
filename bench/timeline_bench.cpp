// The stream view's time line over a week of 10-second chunks, for
// bench/run-timeline-bench.
//
//   wavkeep_bench_timeline generate DIR DAYS   day-long sessions of chunks with
//                                              music-like .dat files and a desc.des
//   wavkeep_bench_timeline open HOME DIR       open the view: stream scan,
//                                              descriptions, every summary
//   wavkeep_bench_timeline frames HOME DIR     1920x300 frames from the whole
//                                              stream down to 6 s, zooming in
//
// HOME is the program home holding the summary cache.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QImage>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/ConfigStore.h"
#include "core/ProgramHome.h"
#include "player/StreamViewData.h"
#include "player/WaveSummaryCache.h"
#include "streamstore/ChunkName.h"
#include "ui/render/TimeLineRenderer.h"

namespace {

constexpr long long kChunkSeconds = 10;
constexpr long long kSessionSeconds = 86400;
constexpr int kChunksPerDay = static_cast<int>(kSessionSeconds / kChunkSeconds);
constexpr size_t kSideBytes = 1000;
constexpr int kTrackChunks = 23;  // songs of about four minutes
constexpr int kFrameWidth = 1920;
constexpr int kFrameHeight = 300;

bool WriteBytes(const std::string& path, const char* bytes, size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = ::write(fd, bytes, size) == static_cast<ssize_t>(size);
    return ::close(fd) == 0 && ok;
}

// Processor time of this process so far (user and system), which a busy
// machine does not stretch as it does the wall time.
double CpuSeconds() {
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int Generate(const std::string& folder, int days) {
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(folder.c_str());
        return 1;
    }
    const wk::DateTime first(2024, 3, 4, 0, 0, 0);
    uint32_t seed = 12345;
    const auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    std::string dat(kSideBytes, '\0');
    std::string fgp(kSideBytes, '\0');
    std::string descriptions = "# 0.9\r\n# \r\n# \r\n";
    const long total = static_cast<long>(days) * kChunksPerDay;
    int amplitude = 60;
    for (long i = 0; i < total; ++i) {
        const int number = static_cast<int>(i % kChunksPerDay) + 1;
        const wk::DateTime day =
            wk::DateTime::FromStreamTime(first.ToStreamTime() + (i / kChunksPerDay) * wk::kMsPerDay);
        const bool trackStart = i % kTrackChunks == 0;
        if (trackStart) amplitude = 20 + static_cast<int>(next() % 100);
        for (size_t k = 0; k < kSideBytes; ++k) {
            // Two seconds of pause between songs.
            const bool pause = trackStart && k < 200;
            const int v = pause ? 0 : static_cast<int>(next() % (2 * amplitude + 1)) - amplitude;
            dat[k] = static_cast<char>(v);
            fgp[k] = static_cast<char>(pause ? 0 : amplitude / 2);
        }
        const std::string base =
            wk::FolderFile(folder, wk::ChunkBaseName(day, kSessionSeconds, kChunkSeconds, number));
        if (!WriteBytes(base + ".mp3", "mp3", 3) || !WriteBytes(base + ".dat", dat.data(), dat.size()) ||
            !WriteBytes(base + ".fgp", fgp.data(), fgp.size())) {
            std::perror(base.c_str());
            return 1;
        }
        if (trackStart) {
            const wk::StreamTime start = first.ToStreamTime() + i * kChunkSeconds * 1000 + 2000;
            const wk::StreamTime end = start + kTrackChunks * kChunkSeconds * 1000 - 2000;
            const long n = i / kTrackChunks + 1;
            descriptions += wk::DateTime::FromStreamTime(start).LongText() + "\t" +
                            wk::DateTime::FromStreamTime(end).LongText() + "\tBand " + std::to_string(n % 97) +
                            "\tSong " + std::to_string(n) + "\tAlbum\t2024\t\t17\t\t" + (n % 20 ? "0" : "1") +
                            "\r\n";
        }
    }
    if (!WriteBytes(wk::FolderFile(folder, "desc.des"), descriptions.data(), descriptions.size())) {
        std::perror("desc.des");
        return 1;
    }
    std::printf("%ld chunks in %s\n", total, folder.c_str());
    return 0;
}

int Open(const std::string& folder) {
    const auto start = std::chrono::steady_clock::now();
    wk::StreamViewData data(folder, wk::WaveCachePathFor(folder));
    data.Refresh();
    const auto extent = data.Extent();
    if (!extent) {
        std::fprintf(stderr, "no recording in %s\n", folder.c_str());
        return 1;
    }
    data.Wave().Prepare(extent->first, extent->second, kFrameWidth);
    const auto& n = data.Wave().Count();
    std::printf("opened in %.3f s: %zu chunks, %zu summaries built, %zu from the cache, %zu descriptions\n"
                "processor time %.3f s\n",
                Seconds(start), data.Wave().ChunkCount(), n.built, n.fromCache, data.Descriptions().Size(),
                CpuSeconds());
    return 0;
}

int Frames(int argc, char** argv, const std::string& folder) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    wk::StreamViewData data(folder, wk::WaveCachePathFor(folder));
    data.Refresh();
    const auto extent = data.Extent();
    if (!extent) {
        std::fprintf(stderr, "no recording in %s\n", folder.c_str());
        return 1;
    }
    wk::TimeLine line;
    line.SetTrack(0, kFrameWidth);
    line.SetExtent(extent->first, extent->second);
    line.SetVisibleRange(extent->first, extent->second);
    // Off any round time, inside a song.
    line.SetCursorTime(extent->first + (extent->second - extent->first) * 537 / 1000 + 1234);
    wk::TimeLineRenderer renderer(wk::ReadTimeLineColors(wk::ConfigStore()));
    QImage image(kFrameWidth, kFrameHeight, QImage::Format_RGB32);
    wk::TimeLineMarks marks;
    double worstFrame = 0, worstFirst = 0;
    wk::StreamTime worstWidth = 0;
    int zooms = 0;
    bool smallest = false;
    for (;;) {
        const auto prepareStart = std::chrono::steady_clock::now();
        data.Wave().Prepare(line.VisibleStart(), line.VisibleEnd(), kFrameWidth);
        const double prepare = Seconds(prepareStart);
        double best = 1e9, first = 0;
        for (int run = 0; run < 3; ++run) {
            const auto frameStart = std::chrono::steady_clock::now();
            renderer.Render(image, line, data.Scene(), marks);
            const double t = Seconds(frameStart);
            if (run == 0) first = prepare + t;
            best = std::min(best, t);
        }
        const wk::StreamTime width = line.VisibleEnd() - line.VisibleStart();
        std::printf("zoom %12.3f s  prepare %7.2f ms  frame %6.2f ms\n", width / 1000.0, prepare * 1000,
                    best * 1000);
        if (best > worstFrame) {
            worstFrame = best;
            worstWidth = width;
        }
        worstFirst = std::max(worstFirst, first);
        ++zooms;
        if (smallest) break;
        if (!line.ZoomIn()) {
            // Halving ends between 6 and 12 s; the view's narrowest is 6 s.
            const wk::StreamTime c = line.CursorTime();
            line.SetVisibleRange(c - wk::TimeLine::kMinZoomInWidth / 2, c + wk::TimeLine::kMinZoomInWidth / 2);
            smallest = true;
        }
    }
    std::printf("worst frame %.4f s at a view of %.3f s over %d zooms; worst first frame with its reading %.4f s\n",
                worstFrame, worstWidth / 1000.0, zooms, worstFirst);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "generate" && argc == 4) return Generate(argv[2], std::atoi(argv[3]));
    if ((mode == "open" || mode == "frames") && argc == 4) {
        wk::SetProgramHome(argv[2]);
        return mode == "open" ? Open(argv[3]) : Frames(argc, argv, argv[3]);
    }
    std::fprintf(stderr, "usage: %s generate DIR DAYS | open HOME DIR | frames HOME DIR\n", argv[0]);
    return 2;
}
