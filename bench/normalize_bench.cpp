// wavkeep_bench_normalize [--measure] [--threads N] FILE...
//
// Normalises the MP3 files in place as one album, the way an export run
// does, and prints the measured album gain, the steps applied, how many
// threads analysed the files and the wall time. With --measure the files are
// only analysed. --threads N analyses on at most N threads (0, the default:
// one per processor, as the program does).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "export/Mp3Normalize.h"

namespace {

// Threads of this process besides the calling one: while the analysis runs,
// its workers. Counted rather than worked out from the processors, so that
// the benchmark reports what ran.
size_t OtherThreads() {
    std::error_code ec;
    size_t tasks = 0;
    for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end;
         it.increment(ec))
        ++tasks;
    return tasks > 1 ? tasks - 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool measureOnly = false;
    bool usage = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--measure") == 0) {
            measureOnly = true;
        } else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
            char* end = nullptr;
            const long n = std::strtol(argv[++i], &end, 10);
            usage |= *end != '\0' || n < 0 || n > 1024;
            wk::detail::SetMp3AnalysisWorkers(static_cast<unsigned>(std::max(n, 0L)));
        } else {
            files.emplace_back(argv[i]);
        }
    }
    if (files.empty() || usage) {
        std::fprintf(stderr, "usage: %s [--measure] [--threads N] FILE...\n", argv[0]);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto seconds = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    if (measureOnly) {
        const double gain = wk::MeasureAlbumGain(files);
        if (gain == wk::kGainNotEnoughSamples) {
            std::printf("album gain: not enough samples\n");
            return 1;
        }
        std::printf("album gain %.2f dB, steps %d, %.3f s\n", gain, wk::GainSteps(gain), seconds());
        return 0;
    }
    int64_t progressBytes = 0;
    size_t threads = 0;
    int looks = 0;
    // All workers start before the first report; a few looks see them all.
    const wk::NormalizeResult r =
        wk::NormalizeMp3Files(files, [&](int64_t bytes) {
            progressBytes += bytes;
            if (looks < 16) {
                ++looks;
                threads = std::max(threads, OtherThreads());
            }
        });
    const double elapsed = seconds();
    if (r.corrupt) {
        std::printf("corrupt data: nothing changed, %.3f s\n", elapsed);
        return 1;
    }
    if (!r.analysed) {
        std::printf("not analysed: nothing changed, %.3f s\n", elapsed);
        return 1;
    }
    // Without a worker the calling thread analysed the files itself.
    std::printf("album gain %.2f dB, steps %d, %d of %zu files changed, %zu skipped, "
                "progress %lld bytes, threads %zu, %.3f s\n",
                r.albumGain, r.steps, r.changedFiles, files.size(), r.skipped.size(),
                static_cast<long long>(progressBytes), std::max<size_t>(threads, 1), elapsed);
    return r.skipped.empty() ? 0 : 1;
}
