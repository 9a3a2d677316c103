// wavkeep-service under a year of uploads: a data folder filled with one
// upload a day for ten streams (about 100,000 descriptions), then
//   1. playlist requests one after another over loopback: latency p50/p99;
//   2. CLIENTS concurrent loopback clients for SECONDS, each asking for
//      playlists and uploading (one request in ten) as fast as answered:
//      throughput, p99 latency and errors (any failed connection, status
//      other than 200 or answer not as expected).
// Usage: wavkeep_bench_service [SECONDS [CLIENTS]]   (30 s, 200 clients)
// Prints the figures, then RATIO lines for bench/run; exit 1 on any error.
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/Clock.h"
#include "descriptions/Description.h"
#include "service/Service.h"
#include "service/ServiceData.h"

namespace {

using namespace wk;
using Steady = std::chrono::steady_clock;

constexpr int kStreams = 10;
constexpr int kDays = 365;
constexpr int kTracksPerDay = 27;  // 10 * 365 * 27 = 98,550 descriptions
const DateTime kYearStart(2025, 1, 1, 0, 0, 0);

std::string StreamName(int i) { return "Station " + std::to_string(i); }

StreamTime DayStart(int day) { return kYearStart.ToStreamTime() + int64_t{day} * 86'400'000; }

std::string DayFile(int stream, int day, std::mt19937& random) {
    std::string text = "# 0.9\r\n# " + StreamName(stream) + "\r\n# \r\n";
    StreamTime t = DayStart(day) + 6 * 3'600'000;
    for (int i = 0; i < kTracksPerDay; ++i) {
        Description d;
        d.artist = "Artist " + std::to_string(random() % 500);
        d.title = "Title " + std::to_string(random() % 5000);
        d.start = t;
        d.end = t + 150'000 + static_cast<int64_t>(random() % 150'000);
        t = d.end + 60'000 + static_cast<int64_t>(random() % 1'200'000);
        text += d.ToLine() + "\r\n";
    }
    return text;
}

// The client's form encoding of a file's bytes: 0x20..0x2F as "%xx".
std::string Encode(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c <= 0x2F) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%2.2x", c);
            out += hex;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string PlaylistBody(int stream, StreamTime start, StreamTime end) {
    return "a=dofp&timestampstart=" + DateTime::FromStreamTime(start).LongText() +
           "&timestampend=" + DateTime::FromStreamTime(end).LongText() +
           "&srcname=" + StreamName(stream) + "&srctype=1";
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

double Ms(Steady::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// One request; its latency in ms, or a negative value when it failed.
double Request(int port, const std::string& body, bool upload) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(10);
    client.set_read_timeout(30);
    const auto t0 = Steady::now();
    auto res = client.Post(Service::kTimeCheckPath, body, "application/x-www-form-urlencoded");
    const double ms = Ms(Steady::now() - t0);
    if (!res || res->status != 200) return -1;
    if (upload ? res->body != "OK\n" : res->body.rfind("# 0.9\n", 0) != 0) return -1;
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    const int clients = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("wavkeep-service-bench-" + std::to_string(getpid()));
    fs::create_directories(folder);

    std::mt19937 random(7);
    const auto fill0 = Steady::now();
    {
        ServiceData data(folder.string());
        for (int s = 0; s < kStreams; ++s)
            for (int day = 0; day < kDays; ++day)
                if (!data.StoreUpload(StreamName(s), DayFile(s, day, random),
                                      DateTime::FromStreamTime(DayStart(day) + 86'000'000))) {
                    std::cerr << "cannot store the uploads in " << folder << "\n";
                    return 1;
                }
    }
    std::printf("data: %d streams x %d days x %d descriptions = %d, stored in %.1f s\n", kStreams,
                kDays, kTracksPerDay, kStreams * kDays * kTracksPerDay,
                Ms(Steady::now() - fill0) / 1000.0);

    std::ostringstream log;  // one line a request: kept, not printed
    ServiceOptions options;
    options.port = 0;
    options.dataFolder = folder.string();
    Service service(options, GetClock(), log);
    const int port = service.Start();
    if (port < 0) {
        std::cerr << "the service does not start\n";
        return 1;
    }
    // The first request of each stream takes its folder in; not timed.
    for (int s = 0; s < kStreams; ++s)
        Request(port, PlaylistBody(s, DayStart(0), DayStart(1)), false);

    // 1. One after another: a two-hour stretch of a random day and stream,
    // within the hours the descriptions cover.
    std::vector<double> single;
    int errors = 0;
    for (int i = 0; i < 2000; ++i) {
        const int s = static_cast<int>(random() % kStreams);
        const StreamTime start = DayStart(static_cast<int>(random() % kDays)) +
                                 (6 + static_cast<int64_t>(random() % 5)) * 3'600'000;
        const double ms = Request(port, PlaylistBody(s, start, start + 7'200'000), false);
        if (ms < 0) ++errors; else single.push_back(ms);
    }
    const double p50 = Percentile(single, 0.5);
    const double p99 = Percentile(single, 0.99);
    std::printf("playlist one by one: %zu requests, p50 %.2f ms, p99 %.2f ms, %d errors\n",
                single.size(), p50, p99, errors);
    // The database lookup alone, without HTTP.
    std::vector<double> lookups;
    {
        ServiceData data(folder.string());
        for (int s = 0; s < kStreams; ++s) data.Overlapping(StreamName(s), 0, 0);  // takes the folders in
        for (int i = 0; i < 2000; ++i) {
            const int s = static_cast<int>(random() % kStreams);
            const StreamTime start = DayStart(static_cast<int>(random() % kDays)) +
                                     (6 + static_cast<int64_t>(random() % 5)) * 3'600'000;
            const auto t0 = Steady::now();
            const auto found = data.Overlapping(StreamName(s), start, start + 7'200'000);
            lookups.push_back(Ms(Steady::now() - t0));
            if (!found || found->empty()) ++errors;
        }
    }
    std::printf("lookup alone: p50 %.3f ms, p99 %.3f ms\n", Percentile(lookups, 0.5),
                Percentile(lookups, 0.99));

    // 2. Concurrent clients mixing playlists and uploads.
    std::atomic<bool> stop{false};
    std::atomic<int> mixedErrors{0};
    std::atomic<long> uploads{0};
    std::mutex latencyMutex;
    std::vector<double> latencies;
    std::vector<std::thread> threads;
    const auto mix0 = Steady::now();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            std::mt19937 r(static_cast<unsigned>(100 + c));
            std::vector<double> mine;
            for (long n = 0; !stop.load(); ++n) {
                const int s = static_cast<int>(r() % kStreams);
                const int day = static_cast<int>(r() % kDays);
                const bool upload = n % 10 == 9;
                const std::string body =
                    upload ? "a=uploadfp&login=x&passwd=y&srcname=" + StreamName(s) +
                                 "&srctype=1&MAX_FILE_SIZE=20000&userfile=desc.des&fileContent=" +
                                 Encode(DayFile(s, day, r))
                           : PlaylistBody(s, DayStart(day) + 36'000'000, DayStart(day) + 43'200'000);
                const double ms = Request(port, body, upload);
                if (ms < 0) ++mixedErrors; else mine.push_back(ms);
                if (upload) ++uploads;
            }
            std::lock_guard lock(latencyMutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    for (auto& t : threads) t.join();
    const double elapsed = Ms(Steady::now() - mix0) / 1000.0;
    service.Stop();
    const double mixP99 = Percentile(latencies, 0.99);
    const double throughput = static_cast<double>(latencies.size()) / elapsed;
    std::printf("mixed load: %d clients for %.1f s, %zu answers (%ld uploads), %.0f requests/s, "
                "p50 %.1f ms, p99 %.1f ms, %d errors\n",
                clients, elapsed, latencies.size(), uploads.load(), throughput,
                Percentile(latencies, 0.5), mixP99, mixedErrors.load());

    std::printf("RATIO service_playlist %.6f 0.005 %.3f 1.0 playlist request over loopback, p50 "
                "(year of uploads, 10 streams) vs 5 ms\n",
                p50 / 1000.0, p50 / 5.0);
    std::printf("RATIO service_playlist_p99 %.6f 0.005 %.3f - playlist request over loopback, p99 "
                "vs 5 ms\n",
                p99 / 1000.0, p99 / 5.0);
    std::printf("RATIO service_mixed_p99 %.6f 1.0 %.3f - %d clients mixing playlists and uploads: "
                "p99 vs 1 s (%.0f requests/s, %d errors)\n",
                mixP99 / 1000.0, mixP99 / 1000.0, clients, throughput, mixedErrors.load());
    std::error_code ec;
    fs::remove_all(folder, ec);
    return errors + mixedErrors.load() == 0 ? 0 : 1;
}
