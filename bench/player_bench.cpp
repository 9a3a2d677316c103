// Time from Player::Play to the first frame written to the device, on a
// device that plays nothing at the pace of real time (as a sound card
// takes audio). Each run plays one of the chunks given, alternately from
// its start and from its middle (the harder case: the bytes before the
// offset are fed first), and stops once the first frame is out.
//
//   wavkeep_bench_player RUNS CHUNK_LENGTH_MS CHUNK...
//
// Prints "first frame: median M ms, worst W ms over N runs"; exit 1 when a
// run wrote nothing within two seconds (a failed run is never timed).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/EventLoop.h"
#include "platform/PlaybackDeviceNull.h"
#include "player/Player.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// A null device that notes when the first frame arrives.
class TimedDevice final : public wk::PlaybackDevice {
public:
    std::atomic<int64_t> firstNs{0};

    std::string Name() const override { return "timed null"; }
    bool Open(std::string* why) override { return m_null.Open(why); }
    bool IsOpen() const override { return m_null.IsOpen(); }
    bool WaitFor(int64_t ms, const std::atomic<int>* cancel = nullptr) override {
        return m_null.WaitFor(ms, cancel);
    }
    void Drain() override { m_null.Drain(); }
    void Close() override { m_null.Close(); }

protected:
    int64_t WriteFrames(const int16_t* samples, int64_t frames) override {
        int64_t none = 0;
        firstNs.compare_exchange_strong(none, SteadyClock::now().time_since_epoch().count());
        return m_null.Write(samples, frames);
    }

private:
    wk::PlaybackDeviceNull m_null;
};

class Ignore final : public wk::MessageReceiver {
public:
    void HandleMessage(wk::Message&) override {}
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: wavkeep_bench_player RUNS CHUNK_LENGTH_MS CHUNK...\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    const int64_t lengthMs = std::atoll(argv[2]);
    const std::vector<std::string> chunks(argv + 3, argv + argc);
    std::vector<double> ms;
    for (int run = 0; run < runs; ++run) {
        wk::EventLoop loop;
        Ignore view;
        auto device = std::make_unique<TimedDevice>();
        TimedDevice* timed = device.get();
        wk::Player player(loop, view, std::move(device));
        const std::string& chunk = chunks[static_cast<size_t>(run) % chunks.size()];
        const int64_t offset = run % 2 == 0 ? 0 : lengthMs / 2;
        const auto t0 = SteadyClock::now();
        if (!player.Play(chunk, lengthMs, offset)) {
            std::fprintf(stderr, "failed: cannot play %s\n", chunk.c_str());
            return 1;
        }
        while (timed->firstNs.load() == 0 && SteadyClock::now() - t0 < std::chrono::seconds(2))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const int64_t first = timed->firstNs.load();
        player.Stop();
        if (first == 0) {
            std::fprintf(stderr, "failed: nothing written within 2 s playing %s from %lld ms\n",
                         chunk.c_str(), static_cast<long long>(offset));
            return 1;
        }
        ms.push_back(static_cast<double>(first - t0.time_since_epoch().count()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("first frame: median %.1f ms, worst %.1f ms over %d runs\n", ms[ms.size() / 2], ms.back(),
                runs);
    return 0;
}
