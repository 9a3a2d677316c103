// The stream view's document kept up to date as the recorder completes
// chunks: each step of the incremental update must show exactly what a
// whole read of the folder shows, and a deletion must call for one.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "descriptions/DescriptionStore.h"
#include "player/StreamViewData.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamDeletion.h"
#include "support/TempHome.h"

namespace wk {
namespace {

constexpr long long kDay = 86400;
constexpr long long kChunk = 10;
const DateTime kFirst(2024, 3, 1, 10, 0, 0);
const DateTime kSecond(2024, 3, 2, 10, 0, 0);

class StreamViewDataTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        m_folder = HomeFile("Stream/");
        std::filesystem::create_directories(m_folder);
    }
    void TearDown() override {
        SetCurrentSessionPrefix("");
        TempHomeTest::TearDown();
    }

    // Chunk `n` of the day-long session from `start`, its side file full.
    void Chunk(const DateTime& start, int n) {
        const std::string base = m_folder + ChunkBaseName(start, kDay, kChunk, n);
        test::WriteFile(base + ".mp3", "audio");
        test::WriteFile(base + ".dat", std::string(kChunk * 100, '\x10'));
        test::WriteFile(base + ".fgp", "fingerprint");
    }
    void Recording(const DateTime& start) { SetCurrentSessionPrefix(ChunkSessionName(start, kDay, kChunk), m_folder); }
    void Song(const DateTime& day, int fromChunk, int toChunk, const std::string& title) {
        DescriptionStore store(m_folder, "desc");
        store.Load();
        Description d;
        d.artist = "Band";
        d.title = title;
        d.start = day.ToStreamTime() + (fromChunk - 1) * kChunk * 1000 + 500;
        d.end = day.ToStreamTime() + toChunk * kChunk * 1000 - 500;
        store.Add(d);
        ASSERT_TRUE(store.Save());
    }

    // Everything the time line draws from, in words.
    static std::string Shown(StreamViewData& data) {
        std::ostringstream out;
        for (const MP3SingleSaving& s : data.Info().sessions) {
            out << "session " << s.start << ":";
            for (const ChunkSpan& c : s.spans) out << " " << c.start - s.start << "-" << c.end - s.start;
            out << "\n";
        }
        for (const RecordedRange& r : data.Scene().recorded) out << "range " << r.first << "-" << r.second << "\n";
        if (data.Scene().growing) out << "growing " << data.Scene().growing->first << "\n";
        for (const TimeLineBar& b : data.Scene().bars) out << "bar " << b.label << " " << b.coverage << "\n";
        out << "wave chunks " << data.Wave().ChunkCount() << "\n";
        return out.str();
    }
    std::string WholeRead() {
        StreamViewData fresh(m_folder, "");
        fresh.Refresh();
        return Shown(fresh);
    }
    static size_t Spans(const StreamViewData& data) {
        size_t n = 0;
        for (const MP3SingleSaving& s : data.Info().sessions) n += s.spans.size();
        return n;
    }

    std::string m_folder;
};

TEST_F(StreamViewDataTest, EachCompletedChunkIsAddedAsAWholeReadWouldShowIt) {
    Recording(kFirst);
    for (int n = 1; n <= 3; ++n) Chunk(kFirst, n);
    Song(kFirst, 3, 4, "First");
    StreamViewData data(m_folder, "");
    EXPECT_FALSE(data.AppendCompleted());  // nothing read yet
    data.Refresh();
    ASSERT_EQ(Spans(data), 2u);  // chunk 3 is being written

    struct Step {
        const char* what;
        std::function<void()> change;
        size_t added;
        bool changed;
    };
    const Step steps[] = {
        {"chunk 4 begun: 3 closed", [&] { Chunk(kFirst, 4); }, 1, true},
        {"no news", [] {}, 0, false},
        {"news before the next chunk is begun", [] {}, 0, false},
        {"two chunks at once", [&] { Chunk(kFirst, 5), Chunk(kFirst, 6); }, 2, true},
        {"the recording stops: 6 closed", [] { SetCurrentSessionPrefix(""); }, 1, true},
        {"another recording begins", [&] { Recording(kSecond), Chunk(kSecond, 1), Chunk(kSecond, 2); }, 1, true},
        {"descriptions arrive", [&] { Song(kSecond, 1, 2, "Second"); }, 0, true},
    };
    for (const Step& step : steps) {
        step.change();
        const size_t before = Spans(data);
        bool changed = false;
        ASSERT_TRUE(data.AppendCompleted(&changed)) << step.what;
        EXPECT_EQ(Spans(data) - before, step.added) << step.what;
        EXPECT_EQ(changed, step.changed) << step.what;
        EXPECT_EQ(Shown(data), WholeRead()) << step.what;
    }
    // Now wholly recorded.
    EXPECT_NE(Shown(data).find("bar Band - First " + std::to_string(kCoverageComplete)), std::string::npos);
}

TEST_F(StreamViewDataTest, ADeletionCallsForAWholeReadAndAdoptingOneKeepsTheViewsOwnChanges) {
    for (int n = 1; n <= 4; ++n) Chunk(kFirst, n);
    StreamViewData data(m_folder, "");
    data.Refresh();
    ASSERT_EQ(Spans(data), 4u);

    const StreamTime chunk2 = kFirst.ToStreamTime() + kChunk * 1000;
    ASSERT_EQ(DeleteMarkedStretch(m_folder, chunk2, chunk2 + kChunk * 1000), 1);
    EXPECT_FALSE(data.AppendCompleted());
    EXPECT_EQ(Spans(data), 4u);  // nothing changed by the refusal

    // The whole read runs on an instance of its own; the view changes the
    // descriptions before it is taken in.
    StreamViewData fresh(m_folder, "");
    fresh.Refresh();
    Song(kFirst, 1, 1, "Marked meanwhile");
    data.Adopt(std::move(fresh));
    EXPECT_EQ(Shown(data), WholeRead());
    EXPECT_NE(Shown(data).find("Marked meanwhile"), std::string::npos);
    bool changed = true;
    EXPECT_TRUE(data.AppendCompleted(&changed));
    EXPECT_FALSE(changed);
}

}  // namespace
}  // namespace wk
