// How exactly the first station's descriptions land on a second station's
// recording of the same broadcast (src/fixture/SecondStation.h): every
// matched description's distance from where its song really starts, for the
// confidence rule and for the lowest-score rule on the same recordings, and
// the time each rule's TimeShiftDescriptionFile took.
//
//   wavkeep_bench_second_station [--quick] [DIR]
//
// Prints one line per condition and rule, then
//   errors RULE: p50 X ms, p95 Y ms, worst Z ms over N descriptions
//   timeshift: confident A s, lowest score B s
// and exits 1 when a recording or a time shift failed.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/ProgramHome.h"
#include "descriptions/DescriptionStore.h"
#include "descriptions/Timeshift.h"
#include "fixture/SecondStation.h"
#include "streamstore/StreamInfo.h"

namespace {

namespace fs = std::filesystem;

struct Condition {
    double delay, gainDb, lowPassHz, noiseDbfs;
};

struct RuleResult {
    std::vector<double> errors;  // |matched start - truth|, ms
    double seconds = 0;
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const auto at = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1;
    return v[std::min(at, v.size() - 1)];
}

// Time-shifts a copy of the first station's file onto the second recording
// with `rule`; false when the shift failed.
bool Measure(const wk::StationRecordings& r, wk::CorrectionRule rule, const std::string& copy,
             RuleResult& result, std::string& line) {
    fs::copy_file(r.descriptionFile, copy, fs::copy_options::overwrite_existing);
    wk::StreamInfo second;
    second.folder = r.secondFolder;
    wk::UpdateStreamInfo(second);
    const auto t0 = std::chrono::steady_clock::now();
    if (!wk::TimeShiftDescriptionFile(second, copy, 0.0, rule)) return false;
    result.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    wk::DescriptionStore shifted;
    if (!shifted.LoadFrom(copy) || shifted.Size() != r.described.size()) return false;
    for (size_t i = 0; i < shifted.Size(); ++i) {
        const wk::Description& d = *shifted.Records()[i];
        const double error = static_cast<double>(d.start) - r.secondTruth[i];
        result.errors.push_back(std::fabs(error));
        char text[48];
        std::snprintf(text, sizeof text, " %s%+.1f%s", d.comment.substr(0, 1).c_str(), error,
                      d.notIdentified ? "!" : "");
        line += text;
    }
    return true;
}

void PrintErrors(const char* name, const RuleResult& r) {
    std::printf("errors %s: p50 %.1f ms, p95 %.1f ms, worst %.1f ms over %zu descriptions\n", name,
                Percentile(r.errors, 0.5), Percentile(r.errors, 0.95),
                Percentile(r.errors, 1.0), r.errors.size());
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::string folder;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--quick") {
            quick = true;
        } else {
            folder = argv[i];
        }
    }
    const bool keep = !folder.empty();
    if (folder.empty()) {
        std::string pattern = (fs::temp_directory_path() / "wavkeep-station-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            return 1;
        }
        folder = pattern;
    }
    fs::create_directories(folder);
    wk::SetProgramHome(folder);

    std::vector<Condition> conditions = {
        {2.3, -4, 7000, -45}, {0.73, 6, 7000, -45}, {9.96, -6, 7000, -45}, {5.117, 3, 7000, -45},
        {7.005, -2, 7000, -45}, {1.234, 0, 0, -45}, {3.3, 5, 7000, -120}, {6.66, -5, 7000, -45},
    };
    if (quick) conditions.resize(3);
    RuleResult confident, lowest;
    const wk::DateTime start(2024, 5, 1, 10, 0, 0);
    for (size_t c = 0; c < conditions.size(); ++c) {
        wk::SecondStationOptions o;
        o.seed = static_cast<uint32_t>(11 + c);
        o.songs = quick ? 5 : 8;
        o.delaySeconds = conditions[c].delay;
        o.gainDb = conditions[c].gainDb;
        o.lowPassHz = conditions[c].lowPassHz;
        o.noiseDbfs = conditions[c].noiseDbfs;
        const std::string base = folder + "/c" + std::to_string(c);
        wk::StationRecordings r;
        std::string why;
        if (!wk::RecordStations(o, start, base + "/first", base + "/second", base + "/first.des", r,
                                &why)) {
            std::fprintf(stderr, "condition %zu: %s\n", c, why.c_str());
            return 1;
        }
        std::string confidentLine, lowestLine;
        if (!Measure(r, wk::CorrectionRule::kConfident, base + "/confident.des", confident,
                     confidentLine) ||
            !Measure(r, wk::CorrectionRule::kLowestScore, base + "/lowest.des", lowest,
                     lowestLine)) {
            std::fprintf(stderr, "condition %zu: the time shift failed\n", c);
            return 1;
        }
        std::printf("delay %.3f s, level %+.0f dB, band %s, noise %s\n  confident   :%s\n"
                    "  lowest score:%s\n",
                    o.delaySeconds, o.gainDb,
                    o.lowPassHz > 0 ? (std::to_string(int(o.lowPassHz)) + " Hz").c_str() : "full",
                    o.noiseDbfs > -120 ? (std::to_string(int(o.noiseDbfs)) + " dBFS").c_str()
                                       : "none",
                    confidentLine.c_str(), lowestLine.c_str());
        std::fflush(stdout);
    }
    PrintErrors("confident", confident);
    PrintErrors("lowest score", lowest);
    std::printf("timeshift: confident %.4f s, lowest score %.4f s\n", confident.seconds,
                lowest.seconds);
    if (!keep) fs::remove_all(folder);
    return 0;
}
