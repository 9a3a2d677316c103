#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>

#include "player/StreamWaveform.h"
#include "player/TimeLine.h"
#include "support/TempHome.h"

namespace wk {
namespace {

constexpr StreamTime S = 1000;
constexpr StreamTime D = 24 * 3600 * S;
const StreamTime T0 = DateTime(2024, 3, 1, 10, 0, 0).ToStreamTime();

struct Byte {
    StreamTime time;
    int8_t value;
};

class SummaryTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        m_folder = HomeFile("stream");
        std::filesystem::create_directory(m_folder);
        Write("a1.dat", T0, 10 * S, 1000);
        Write("a2.dat", T0 + 10 * S, 10 * S, 1000);
        Write("a3.dat", T0 + 20 * S, 10 * S, 730);  // the short last chunk
        Write("b1.dat", T0 + 300 * S, 60 * S, 6004);
        Write("c1.dat", T0 + 3 * D + 3600 * S, 10 * S, 1000);
    }

    void Write(const std::string& name, StreamTime start, StreamTime length, int size, int fixed = 0) {
        std::string bytes;
        for (int i = 0; i < size; ++i) bytes.push_back(static_cast<char>(fixed ? fixed : m_random() % 256));
        std::FILE* f = std::fopen((m_folder + "/" + name).c_str(), "ab");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        std::erase_if(m_chunks, [&](const WaveChunk& c) { return c.datName == name; });
        m_chunks.push_back({name, start, length, false, -1, 0});
        m_bytes.clear();
        for (const WaveChunk& c : m_chunks) {
            const std::string all = test::ReadFile(m_folder + "/" + c.datName);
            for (size_t k = 0; k < all.size(); ++k)
                m_bytes.push_back({c.start + static_cast<StreamTime>(k) * 10, static_cast<int8_t>(all[k])});
        }
    }

    std::vector<WaveColumn> Draw(StreamWaveform& wave, StreamTime from, StreamTime to, int n) {
        wave.Sync(m_folder, m_chunks);
        wave.Prepare(from, to, n);
        std::vector<WaveColumn> columns;
        wave.Columns(from, to, n, columns);
        return columns;
    }

    // Each column holds at least every byte inside it and nothing from
    // further than one step of the level away; at the finest level exactly
    // the bytes inside it.
    void ExpectBruteForce(const std::vector<WaveColumn>& got, StreamTime from, StreamTime to, int n,
                          StreamTime step) {
        std::vector<WaveColumn> inner(static_cast<size_t>(n)), outer(static_cast<size_t>(n));
        const auto add = [&](std::vector<WaveColumn>& into, StreamTime a, StreamTime b, int8_t v) {
            const int64_t c0 = std::max<int64_t>(ColumnOf(a - from, to - from, n), 0);
            const int64_t c1 = std::min<int64_t>(ColumnOf(b - from, to - from, n), n - 1);
            for (int64_t c = c0; c <= c1; ++c) {
                WaveColumn& col = into[static_cast<size_t>(c)];
                col = col.present ? WaveColumn{std::min(col.min, v), std::max(col.max, v), true}
                                  : WaveColumn{v, v, true};
            }
        };
        for (const Byte& b : m_bytes) {
            add(inner, b.time, b.time + 9, b.value);
            add(outer, b.time - step + 1, b.time + step - 1, b.value);
        }
        for (size_t c = 0; c < got.size(); ++c) {
            SCOPED_TRACE(c);
            if (inner[c].present) {
                ASSERT_TRUE(got[c].present);
                EXPECT_LE(got[c].min, inner[c].min);
                EXPECT_GE(got[c].max, inner[c].max);
            }
            if (step == StreamWaveform::kRawStep) {
                EXPECT_EQ(got[c], inner[c]);
            }
            EXPECT_TRUE(!got[c].present || outer[c].present);
            if (got[c].present) {
                EXPECT_GE(got[c].min, outer[c].min);
                EXPECT_LE(got[c].max, outer[c].max);
            }
        }
    }

    std::string m_folder;
    std::mt19937 m_random{7};
    std::vector<WaveChunk> m_chunks;
    std::vector<Byte> m_bytes;
};

TEST_F(SummaryTest, ColumnsAgreeWithEveryByteAtEachLevel) {
    const struct {
        StreamTime from, to;
        int columns;
        StreamTime step;
    } views[] = {
        {T0 - 2 * D, T0 + 6 * D, 3, 86400000},       {T0, T0 + 3 * D + 7200 * S, 100, 600000},
        {T0, T0 + 3600 * S, 30, 60000},              {T0 - 5 * S, T0 + 600 * S, 30, 10000},
        {T0, T0 + 360 * S, 60, 1000},                {T0 + 5 * S, T0 + 25 * S, 30, 100},
        {T0 + 7500, T0 + 13500, 200, 10},            {T0 + 295 * S, T0 + 301 * S, 1920, 10},
    };
    StreamWaveform wave;
    for (const auto& v : views) {
        SCOPED_TRACE(v.step);
        ASSERT_EQ(StreamWaveform::LevelStep(v.to - v.from, v.columns), v.step);
        ExpectBruteForce(Draw(wave, v.from, v.to, v.columns), v.from, v.to, v.columns, v.step);
    }
}

TEST_F(SummaryTest, ChunksJoiningAndLeavingRebinOnlyWhatTheyTouchAsAWholeRebuildWould) {
    // The recording goes on a day after the others, where it alone makes
    // every level's bins; one view per stream-wide bin level.
    const StreamTime B = T0 + D;
    const struct {
        StreamTime from, to;
        int columns;
        StreamTime step;
    } views[] = {
        {T0 - 2 * D, T0 + 6 * D, 3, 86400000}, {T0 - 2 * D, T0 + 6 * D, 8, 21600000},
        {T0 - 2 * D, T0 + 6 * D, 40, 3600000}, {T0, T0 + 3 * D + 7200 * S, 100, 600000},
        {B, B + 3600 * S, 30, 60000},          {B - 5 * S, B + 600 * S, 30, 10000},
    };
    const StreamTime all = T0 - 2 * D, end = T0 + 6 * D;
    StreamWaveform live;
    live.Sync(m_folder, m_chunks);
    live.Prepare(all, end, 3);
    const auto expectAsRebuilt = [&](const char* after) {
        SCOPED_TRACE(after);
        live.Prepare(all, end, 3);
        StreamWaveform whole;
        whole.Sync(m_folder, m_chunks);
        for (const auto& v : views) {
            SCOPED_TRACE(v.step);
            ASSERT_EQ(StreamWaveform::LevelStep(v.to - v.from, v.columns), v.step);
            std::vector<WaveColumn> got, want;
            live.Prepare(v.from, v.to, v.columns);
            live.Columns(v.from, v.to, v.columns, got);
            whole.Prepare(v.from, v.to, v.columns);
            whole.Columns(v.from, v.to, v.columns, want);
            EXPECT_EQ(got, want);
        }
    };
    const auto growing = [&](const char* name, StreamTime start, int bytes, int value) {
        Write(name, start, 10 * S, bytes, value);
        m_chunks.back().growing = true;
        live.SetGrowing(m_chunks.back());
    };
    // Off the 10-second grid, so that a bin holds seconds of two chunks.
    growing("g1.dat", B + 25 * S + 500, 500, 20);
    expectAsRebuilt("a chunk begun");
    growing("g1.dat", B + 25 * S + 500, 500, -20);
    expectAsRebuilt("the chunk grown");
    live.Add(m_chunks.back());
    m_chunks.back().growing = false;
    growing("g2.dat", B + 35 * S + 500, 150, 90);
    expectAsRebuilt("the chunk completed and the next begun");
    // After a clock step a chunk lies over others.
    Write("o1.dat", B + 28 * S + 250, 10 * S, 1000, -100);
    live.Add(m_chunks.back());
    expectAsRebuilt("an overlapping chunk completed");
    live.SetGrowing(std::nullopt);
    std::erase_if(m_chunks, [](const WaveChunk& c) { return c.datName == "g2.dat"; });
    expectAsRebuilt("recording stopped without the chunk");
    EXPECT_EQ(live.Count().binRebuilds, 1u);
}

TEST_F(SummaryTest, TheDiskCacheServesOnlyUnchangedChunksAndLivesInTheHome) {
    const auto before = std::distance(std::filesystem::directory_iterator(m_folder), {});
    const StreamTime from = T0 - 2 * D, to = T0 + 6 * D;
    const std::string cache = WaveCachePathFor(m_folder);
    std::vector<WaveColumn> cold;
    {
        StreamWaveform wave(cache);
        cold = Draw(wave, from, to, 8);
        EXPECT_EQ(wave.Count().built, 5u);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_folder), {}), before);
    EXPECT_EQ(cache.rfind(HomeFile("waveforms/"), 0), 0u);
    {
        StreamWaveform wave(cache);
        EXPECT_EQ(Draw(wave, from, to, 8), cold);
        EXPECT_EQ(wave.Count().built, 0u);
        EXPECT_EQ(wave.Count().fromCache, 5u);
    }
    // A grown, a rewritten and a renamed chunk are read again, the others not.
    Write("a3.dat", T0 + 20 * S, 10 * S, 100, 127);
    test::WriteFile(m_folder + "/a2.dat", std::string(1000, '\x05'));
    std::filesystem::last_write_time(m_folder + "/a2.dat", std::filesystem::file_time_type::clock::now() +
                                                               std::chrono::seconds(5));
    Write("a2.dat", T0 + 10 * S, 10 * S, 0);
    std::filesystem::rename(m_folder + "/c1.dat", m_folder + "/c2.dat");
    std::erase_if(m_chunks, [](const WaveChunk& c) { return c.datName == "c1.dat"; });
    Write("c2.dat", T0 + D, 10 * S, 0);
    StreamWaveform wave(cache);
    ExpectBruteForce(Draw(wave, from, to, 8), from, to, 8, 86400000);
    ExpectBruteForce(Draw(wave, T0, T0 + 400 * S, 40), T0, T0 + 400 * S, 40, 1000);
    EXPECT_EQ(wave.Count().built, 3u);
    // The chunk being recorded is drawn as it grows, and never cached.
    Write("g1.dat", T0 + 2 * D, 10 * S, 300);
    m_chunks.back().growing = true;
    Draw(wave, from, to, 8);
    Write("g1.dat", T0 + 2 * D, 10 * S, 300, 126);
    m_chunks.back().growing = true;
    ExpectBruteForce(Draw(wave, T0 + 2 * D, T0 + 2 * D + 10 * S, 100), T0 + 2 * D, T0 + 2 * D + 10 * S, 100, 10);
    EXPECT_EQ(wave.Count().built, 5u);
    StreamWaveform again(cache);
    Draw(again, from, to, 8);
    EXPECT_EQ(again.Count().fromCache, 5u);
    EXPECT_EQ(again.Count().built, 1u);
}

TEST_F(SummaryTest, ADamagedCacheIsIgnoredAndRebuilt) {
    const std::string cache = WaveCachePathFor(m_folder);
    const StreamTime from = T0 - 2 * D, to = T0 + 6 * D;
    const struct {
        const char* what;
        void (*damage)(std::string&);
    } cases[] = {
        {"a byte of the last summary flipped", [](std::string& b) { b[b.size() - 10] ^= 0x55; }},
        {"cut short", [](std::string& b) { b.resize(b.size() - 3); }},
        {"no cache at all", [](std::string& b) { b[0] = 'X'; }},
        {"empty", [](std::string& b) { b.clear(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(cache);
        StreamWaveform first(cache);
        const auto good = Draw(first, from, to, 8);
        std::string bytes = test::ReadFile(cache);
        c.damage(bytes);
        test::WriteFile(cache, bytes);
        StreamWaveform second(cache);
        EXPECT_EQ(Draw(second, from, to, 8), good);
        EXPECT_GE(second.Count().built, 1u);
        EXPECT_EQ(second.Count().built + second.Count().fromCache, 5u);
        StreamWaveform third(cache);
        Draw(third, from, to, 8);
        EXPECT_EQ(third.Count().built, 0u);
    }
}

}  // namespace
}  // namespace wk
