// Playback of recorded generator chunks into the WAV sink under a
// VirtualClock, checked against independent decodes (libmpg123 reading the
// whole file, libvorbisfile) by correlation.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include "core/Clock.h"
#include "core/EventLoop.h"
#include "core/ProgramHome.h"
#include "platform/DeadlineSleep.h"
#include "platform/GeneratedMusic.h"
#include "platform/PlaybackDeviceWavFile.h"
#include "platform/WavReader.h"
#include "player/PlaybackController.h"
#include "player/Player.h"
#include "player/PlayerMessages.h"
#include "recording/ChunkEncoder.h"
#include "recording/SideFileCalculator.h"
#include "streamstore/ChunkName.h"
#include "support/Mp3Decode.h"
#include "support/OggDecode.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using Pcm = std::vector<int16_t>;  // interleaved stereo

constexpr int kChunkSeconds = 3;
constexpr int kChunks = 5;
constexpr int64_t kFrame = 1152;   // one MP3 frame
constexpr int64_t kWindow = 1024;  // frames compared at a time
const DateTime kStart(2024, 3, 1, 12, 0, 0);
const StreamTime kT0 = kStart.ToStreamTime();

int64_t Frames(int64_t ms) {
    return ms * 441 / 10;
}

std::string ChunkFile(const std::string& folder, int n, const std::string& ext) {
    return folder + "/" + ChunkBaseName(kStart, kChunks * kChunkSeconds, kChunkSeconds, n) + ext;
}

void Record(const std::string& folder, int engine) {
    fs::create_directories(folder);
    ChunkEncoder enc;
    enc.SetEngine(engine);
    enc.SetBitRate(128);
    enc.Open();
    enc.SetFileName(FolderFile(folder, ChunkSessionName(kStart, kChunks * kChunkSeconds, kChunkSeconds)));
    enc.SetChunkSize(ChunkEncoder::ChunkBytes(2, 44100, kChunkSeconds));
    const int block = enc.StartFile();
    SideFileCalculator side(44100, 2);
    GeneratedMusic music(5, 44100, 2);
    Pcm pcm(static_cast<size_t>(block));
    for (int64_t done = 0; done < Frames(kChunks * kChunkSeconds * 1000); done += block / 2) {
        music.Render(pcm.data(), block / 2);
        side.AddBlock(pcm);
        enc.SetSideBlocks(side.Dat(), side.Fgp());
        enc.EncodeBlock(pcm.data(), block);
    }
    enc.FlushFile();
    enc.StopFile();
    enc.Close();
}

Pcm ReadWav(const std::string& path) {
    WavReader reader;
    EXPECT_TRUE(reader.Open(path)) << reader.Error();
    Pcm pcm(static_cast<size_t>(reader.Frames() * 2));
    reader.Read(pcm.data(), reader.Frames());
    return pcm;
}

// The session decoded by other decoders than the player's way of using them:
// libmpg123 on the chunks joined, libvorbisfile on each chunk.
Pcm Reference(const std::string& folder, const std::string& ext, const std::string& scratch) {
    Pcm all;
    if (ext == ".mp3") {
        std::ofstream cat(scratch, std::ios::binary);
        for (int n = 1; n <= kChunks; ++n) cat << std::ifstream(ChunkFile(folder, n, ext), std::ios::binary).rdbuf();
        cat.close();
        test::DecodeMp3File(scratch, &all);
        return all;
    }
    for (int n = 1; n <= kChunks; ++n) {
        const test::DecodedOgg d = test::DecodeOgg(ChunkFile(folder, n, ext));
        EXPECT_TRUE(d.valid) << n;
        for (int64_t i = 0; i < d.Frames(); ++i)
            for (const std::vector<float>& c : d.channels)
                all.push_back(
                    int16_t(std::lround(std::clamp(c[size_t(i)] * 32768.0f, -32768.0f, 32767.0f))));
    }
    return all;
}

int64_t FrameCount(const Pcm& p) {
    return static_cast<int64_t>(p.size() / 2);
}

// Normalised correlation of `n` frames of a at i with b at j; 1 when both are silent.
double Correlation(const Pcm& a, int64_t i, const Pcm& b, int64_t j, int64_t n) {
    if (i < 0 || j < 0 || i + n > FrameCount(a) || j + n > FrameCount(b)) return 0;
    double ab = 0, aa = 0, bb = 0;
    for (int64_t k = 0; k < 2 * n; ++k) {
        const double x = a[static_cast<size_t>(2 * i + k)], y = b[static_cast<size_t>(2 * j + k)];
        ab += x * y, aa += x * x, bb += y * y;
    }
    if (aa < 1e4 * static_cast<double>(n) && bb < 1e4 * static_cast<double>(n)) return 1;
    return ab / std::sqrt(aa * bb + 1);
}

// The lag (reference frame minus output frame) in [lo, hi] that fits output
// frames [at, at + 4 windows) best.
int64_t BestLag(const Pcm& out, int64_t at, const Pcm& ref, int64_t lo, int64_t hi) {
    int64_t best = lo;
    double bestScore = -2;
    for (int64_t lag = lo; lag <= hi; ++lag) {
        const double c = Correlation(out, at, ref, at + lag, 4 * kWindow);
        if (c > bestScore) bestScore = c, best = lag;
    }
    return best;
}

bool Silent(const Pcm& p, int64_t at) {
    for (int64_t k = 2 * at; k < 2 * (at + kWindow) && k < static_cast<int64_t>(p.size()); ++k)
        if (std::abs(p[static_cast<size_t>(k)]) > 64) return false;
    return true;
}

// Windows of the output from `from` on that are neither silent nor the
// reference at one of `lags`: audio that was never recorded there.
int Misfits(const Pcm& out, const Pcm& ref, std::vector<int64_t> lags, int64_t from = 0) {
    int misfits = 0;
    for (int64_t at = from; at + kWindow <= FrameCount(out); at += kWindow) {
        bool fits = Silent(out, at);
        for (int64_t lag : lags) fits = fits || Correlation(out, at, ref, at + lag, kWindow) > 0.98;
        misfits += fits ? 0 : 1;
    }
    return misfits;
}

class Ends final : public PlaybackController::Listener {
public:
    void CursorMoved(StreamTime) override {}
    void PlaybackEnded(const std::string& why) override {
        ended = true;
        this->why = why;
    }
    bool ended = false;
    std::string why;
};

// Runs the loop until `done` holds, at most a minute of real time.
template <typename Done>
bool RunUntil(EventLoop& loop, Done done) {
    for (int i = 0; i < 60000 && !done(); ++i) {
        if (loop.ProcessPending() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

class PlayerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new test::TempDir;
        SetProgramHome(s_dir->Path());
        Record(s_dir->File("mp3"), kEngineLame);
        Record(s_dir->File("ogg"), kEngineVorbis);
        s_ref[".mp3"] = Reference(s_dir->File("mp3"), ".mp3", s_dir->File("ref"));
        s_ref[".ogg"] = Reference(s_dir->File("ogg"), ".ogg", s_dir->File("ref"));
        SetProgramHome("");
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override { SetClock(&m_clock); }
    void TearDown() override { SetClock(nullptr); }

    // A stream folder with the session of `ext` chunks, to be spoilt at will.
    std::string CopyStream(const std::string& ext) {
        const std::string folder = m_tmp.File("stream");
        fs::copy(s_dir->File(ext.substr(1)), folder);
        m_info.folder = folder;
        UpdateStreamInfo(m_info);
        return folder;
    }
    // Plays [from, to) of the copied stream into out.wav; returns what was written.
    Pcm Play(StreamTime from, StreamTime to, int64_t* underruns = nullptr) {
        EventLoop loop;
        auto device = std::make_unique<PlaybackDeviceWavFile>(m_tmp.File("out.wav"));
        PlaybackDeviceWavFile* sink = device.get();
        {
            PlaybackController controller(loop, std::move(device), &m_ends);
            controller.SetStreamInfo(&m_info);
            EXPECT_TRUE(controller.PlayStretch(from, to));
            EXPECT_TRUE(RunUntil(loop, [&] { return m_ends.ended; }));
            if (underruns) *underruns = sink->UnderrunFrames();
        }
        return ReadWav(m_tmp.File("out.wav"));
    }

    static inline test::TempDir* s_dir = nullptr;
    static inline std::map<std::string, Pcm> s_ref;
    VirtualClock m_clock{DateTime(2024, 3, 2, 9, 0, 0)};
    test::TempDir m_tmp;
    StreamInfo m_info;
    Ends m_ends;
};

// The audio written is the recording from the offset asked for (within one
// MP3 frame), on across chunk borders without a gap or a repeat, up to the end.
TEST_F(PlayerTest, PlaysTheRecordingFromTheOffsetAcrossChunkBordersToTheEnd) {
    const StreamTime kAll = std::numeric_limits<StreamTime>::max();
    const struct {
        const char* ext;
        int64_t fromMs, toMs;
    } kCases[] = {{".mp3", 0, kAll},        {".mp3", 1, kAll},    {".mp3", 4321, kAll},
                  {".mp3", 1500, 7700},     {".ogg", 0, kAll},    {".ogg", 2500, kAll},
                  {".ogg", 1000, 6500}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.ext) + " from " + std::to_string(c.fromMs));
        fs::remove_all(m_tmp.File("stream"));
        CopyStream(c.ext);
        m_ends = Ends();
        const Pcm& ref = s_ref[c.ext];
        int64_t underruns = -1;
        const int64_t endMs = c.toMs == kAll ? kChunks * kChunkSeconds * 1000 : c.toMs;
        const Pcm out = Play(kT0 + c.fromMs, c.toMs == kAll ? kAll : kT0 + c.toMs, &underruns);
        EXPECT_EQ(m_ends.why, "");
        EXPECT_EQ(underruns, 0);
        // Played from the chunk's start, the output is the reference from its
        // start (codec delays included); from an offset, the same sound from there.
        const int64_t expected = Frames(c.fromMs);
        const int64_t lag = BestLag(out, 2 * kFrame, ref, expected - 2 * kFrame, expected + 2 * kFrame);
        EXPECT_LE(std::abs(lag - expected), kFrame);
        // Offsets 0 and 1 ms play from the chunk's first byte.
        if (c.fromMs < 2) {
            EXPECT_EQ(lag, 0);
        }
        EXPECT_EQ(Misfits(out, ref, {lag}, 2 * kFrame), 0);
        EXPECT_NEAR(static_cast<double>(FrameCount(out)), static_cast<double>(expected - Frames(c.fromMs) + Frames(endMs) - lag),
                    static_cast<double>(2 * kFrame));
    }
}

// Bad chunks end their own playback cleanly: the next chunk plays, and
// nothing is heard that was not recorded. A missing last chunk ends
// playback after the chunk before it.
TEST_F(PlayerTest, ABadChunkEndsItselfAndPlaybackGoesOnOrStops) {
    const struct {
        const char* ext;
        int chunk;
        const char* damage;  // "cut", "garbage", "empty", "missing"
    } kCases[] = {{".mp3", 2, "cut"},   {".mp3", 2, "garbage"}, {".mp3", 2, "empty"},
                  {".ogg", 2, "cut"},   {".ogg", 3, "garbage"}, {".mp3", kChunks, "missing"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.ext) + " " + c.damage);
        fs::remove_all(m_tmp.File("stream"));
        const std::string path = ChunkFile(CopyStream(c.ext), c.chunk, c.ext);
        const std::string damage = c.damage;
        std::string bytes = test::ReadFile(path);
        if (damage == "cut") bytes.resize(bytes.size() / 3);
        if (damage == "garbage") {
            uint32_t x = 7;
            for (char& b : bytes) b = static_cast<char>((x = x * 1103515245 + 12345) >> 23);
        }
        if (damage == "empty") bytes.clear();
        if (damage == "missing") fs::remove(path);
        else test::WriteFile(path, bytes);
        m_ends = Ends();
        const Pcm out = Play(kT0, std::numeric_limits<StreamTime>::max());
        const Pcm& ref = s_ref[c.ext];
        if (damage == "missing") {
            EXPECT_NE(m_ends.why.find("cannot be opened"), std::string::npos) << m_ends.why;
            EXPECT_EQ(Misfits(out, ref, {0}), 0);
            EXPECT_NEAR(static_cast<double>(FrameCount(out)),
                        static_cast<double>(Frames((kChunks - 1) * kChunkSeconds * 1000)),
                        static_cast<double>(2 * kFrame));
            continue;
        }
        EXPECT_EQ(m_ends.why, "");
        const int64_t endLag = FrameCount(ref) - FrameCount(out);
        EXPECT_GT(endLag, 0);
        // A border is a window or two that belongs to neither side.
        EXPECT_LE(Misfits(out, ref, {0, endLag}), 4);
    }
}

// The view of the player tests: counts what reaches it and, like the
// stream view, plays the next chunk when one finishes.
class CountingView final : public MessageReceiver {
public:
    void HandleMessage(Message& m) override {
        if (m.id == kMsgPlayProgress) {
            progressMs += m.p1;
            shortestProgress = std::min<int64_t>(shortestProgress, m.p1);
        }
        if (m.id != kMsgChunkFinished) return;
        ++finished;
        if (player && ++chunk <= kChunks)
            player->Play(ChunkFile(folder, chunk, ext), kChunkSeconds * 1000, 1);
    }
    Player* player = nullptr;  // set: chain the chunks of `folder`
    std::string folder, ext;
    int chunk = 1;
    int finished = 0;
    int64_t progressMs = 0;
    int64_t shortestProgress = std::numeric_limits<int64_t>::max();
};

// At the default interval and at a longer one (the command line's view
// asks for fewer): the time between messages, and their sum.
TEST_F(PlayerTest, ProgressMessagesAddUpToTheTimePlayed) {
    const struct {
        std::string ext;
        int64_t interval;
    } cases[] = {{".mp3", 100}, {".ogg", 100}, {".mp3", 400}, {".ogg", 400}};
    for (const auto& c : cases) {
        const std::string& ext = c.ext;
        SCOPED_TRACE(ext + " every " + std::to_string(c.interval) + " ms");
        EventLoop loop;
        CountingView view;
        auto device = std::make_unique<PlaybackDeviceWavFile>(m_tmp.File("p.wav"));
        PlaybackDevice* sink = device.get();
        Player player(loop, view, std::move(device));
        view.player = &player;
        view.folder = s_dir->File(ext.substr(1));
        view.ext = ext;
        if (c.interval != 100) player.SetProgressInterval(c.interval);
        ASSERT_TRUE(player.Play(ChunkFile(view.folder, 1, ext), kChunkSeconds * 1000, 0));
        ASSERT_TRUE(RunUntil(loop, [&] { return view.finished == kChunks; }));
        EXPECT_GT(view.shortestProgress, c.interval);
        const int64_t played = sink->FramesWritten() * 1000 / 44100;
        EXPECT_GT(played, (kChunks * kChunkSeconds - 1) * 1000) << ext;
        EXPECT_NEAR(static_cast<double>(view.progressMs), static_cast<double>(played),
                    0.05 * static_cast<double>(played))
            << ext;
    }
}

// The waits of real-time playback: a deadline in the past or a flag set
// before returns at once; a flag set during a long sleep ends it.
TEST(DeadlineSleep, EndsAtTheDeadlineOrWhenCancelled) {
    std::atomic<int> flag{0};
    const auto past = std::chrono::steady_clock::now() - std::chrono::milliseconds(5);
    EXPECT_TRUE(SleepUntilDeadline(past, nullptr));
    EXPECT_TRUE(SleepUntilDeadline(past, &flag));
    flag = 1;
    EXPECT_FALSE(SleepUntilDeadline(std::chrono::steady_clock::now() + std::chrono::hours(1), &flag));

    flag = 0;
    std::atomic<int> result{-1};
    std::thread sleeper([&] {
        result = SleepUntilDeadline(std::chrono::steady_clock::now() + std::chrono::hours(1), &flag) ? 1 : 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    flag = 1;
    WakeCancelWaiters(&flag);
    sleeper.join();  // an hour when the wake-up were lost
    EXPECT_EQ(result.load(), 0);
}

// The handshakes of Play and Stop: what reaches the view of a stopped or
// replaced playback.
TEST_F(PlayerTest, StopAndReplayKeepOnlyTheChunkEndsTheViewMayFollow) {
    EventLoop loop;
    CountingView view;
    Player player(loop, view, std::make_unique<PlaybackDeviceWavFile>(m_tmp.File("h.wav")));
    const std::string mp3 = ChunkFile(s_dir->File("mp3"), 3, ".mp3");

    // Stop while idle: handled, and no chunk end for the view.
    player.Stop();
    player.Stop();
    loop.ProcessPending();
    EXPECT_EQ(view.finished, 0);

    // Stop while playing: the chunk end stays, its progress goes.
    ASSERT_TRUE(player.Play(mp3, kChunkSeconds * 1000, 0));
    ASSERT_TRUE(RunUntil(loop, [&] { return view.progressMs > 0; }));
    player.Stop();
    const int64_t progressAtStop = view.progressMs;
    loop.ProcessPending();
    EXPECT_EQ(view.finished, 1);
    EXPECT_EQ(view.progressMs, progressAtStop);

    // A new playback over a playing one, and over one whose end is still
    // queued: only the last playback's end reaches the view.
    ASSERT_TRUE(player.Play(mp3, kChunkSeconds * 1000, 0));
    ASSERT_TRUE(player.Play(mp3, kChunkSeconds * 1000, 2950));
    for (int i = 0; i < 1000 && player.IsPlaying(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_FALSE(player.IsPlaying());
    ASSERT_TRUE(player.Play(ChunkFile(s_dir->File("ogg"), 3, ".ogg"), kChunkSeconds * 1000, 2900));
    for (int i = 0; i < 1000 && player.IsPlaying(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_FALSE(player.IsPlaying());
    loop.ProcessPending();
    EXPECT_EQ(view.finished, 2);
}

}  // namespace
}  // namespace wk
