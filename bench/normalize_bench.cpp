// wavkeep_bench_normalize [--measure] FILE...
//
// Normalises the MP3 files in place as one album, the way an export run
// does, and prints the measured album gain, the steps applied and the wall
// time. With --measure the files are only analysed.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "export/Mp3Normalize.h"

int main(int argc, char** argv) {
    bool measureOnly = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--measure") == 0)
            measureOnly = true;
        else
            files.emplace_back(argv[i]);
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: %s [--measure] FILE...\n", argv[0]);
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
    const wk::NormalizeResult r =
        wk::NormalizeMp3Files(files, [&progressBytes](int64_t bytes) { progressBytes += bytes; });
    const double elapsed = seconds();
    if (r.corrupt) {
        std::printf("corrupt data: nothing changed, %.3f s\n", elapsed);
        return 1;
    }
    if (!r.analysed) {
        std::printf("not analysed: nothing changed, %.3f s\n", elapsed);
        return 1;
    }
    std::printf("album gain %.2f dB, steps %d, %d of %zu files changed, %zu skipped, "
                "progress %lld bytes, %.3f s\n",
                r.albumGain, r.steps, r.changedFiles, files.size(), r.skipped.size(),
                static_cast<long long>(progressBytes), elapsed);
    return r.skipped.empty() ? 0 : 1;
}
