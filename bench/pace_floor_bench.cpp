// The least CPU a player of our player's rhythm can spend: the chunks' bytes
// fed to libmpg123 one block of 100 ms of audio at a time, each block decoded
// at once (nothing written anywhere), and a sleep to the next block's
// absolute deadline in between: one wake-up per block, nothing else. Beside
// "wavkeep play" it tells what the rhythm itself costs on this machine.
//
//   wavkeep_bench_pace_floor CHUNK_LENGTH_MS CHUNK...
//
// Prints "floor: C s CPU for S s played" (the process's user + system time).

#include <mpg123.h>
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

double CpuSeconds() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

void AddMs(timespec& t, double ms) {
    const auto ns = static_cast<long long>(ms * 1e6) + t.tv_nsec;
    t.tv_sec += static_cast<time_t>(ns / 1'000'000'000);
    t.tv_nsec = static_cast<long>(ns % 1'000'000'000);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: wavkeep_bench_pace_floor CHUNK_LENGTH_MS CHUNK...\n");
        return 2;
    }
    const double lengthMs = std::atof(argv[1]);
    int error = MPG123_OK;
    mpg123_handle* mh = mpg123_new(nullptr, &error);
    if (mh == nullptr) return 1;
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    mpg123_format_none(mh);
    mpg123_format(mh, 44100, MPG123_STEREO, MPG123_ENC_SIGNED_16);
    const double cpu0 = CpuSeconds();
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    double played = 0;
    for (int i = 2; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), {}};
        if (bytes.empty() || mpg123_open_feed(mh) != MPG123_OK) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        const auto block = static_cast<size_t>(static_cast<double>(bytes.size()) * 100 / lengthMs);
        const double blockMs = static_cast<double>(block) * lengthMs / static_cast<double>(bytes.size());
        for (size_t at = 0; at < bytes.size(); at += block) {
            const size_t n = std::min(block, bytes.size() - at);
            mpg123_feed(mh, bytes.data() + at, n);
            off_t frame = 0;
            unsigned char* audio = nullptr;
            size_t done = 0;
            for (int r = MPG123_OK; r == MPG123_OK || r == MPG123_NEW_FORMAT;)
                r = mpg123_decode_frame(mh, &frame, &audio, &done);
            const double ms = n == block ? blockMs : static_cast<double>(n) * lengthMs / static_cast<double>(bytes.size());
            played += ms;
            AddMs(deadline, ms);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0) {
            }
        }
    }
    mpg123_delete(mh);
    std::printf("floor: %.4f s CPU for %.1f s played\n", CpuSeconds() - cpu0, played / 1000);
    return 0;
}
