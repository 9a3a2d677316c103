#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>

#include "core/CTError.h"
#include "core/Clock.h"
#include "core/EventLoop.h"
#include "core/RecordingNotifier.h"
#include "recording/SideFileCalculator.h"
#include "recording/VorbisWriter.h"
#include "support/ErrorCode.h"
#include "support/OggDecode.h"
#include "support/TempHome.h"
#include "support/Tools.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using test::CodeOf;
using test::DecodeOgg;

// A continuous stereo tone, cut into blocks the way the session cuts it;
// different tones and levels on the two channels, so a swap or a wrong
// scale shows in the decoded audio.
class ToneSource {
public:
    std::vector<int16_t> Next(int samples) {
        std::vector<int16_t> block(static_cast<size_t>(samples));
        for (size_t i = 0; i + 1 < block.size(); i += 2, ++m_frame) {
            const double t = static_cast<double>(m_frame) / 44100;
            block[i] = int16_t(std::lround(12000 * std::sin(2 * M_PI * 440 * t)));
            block[i + 1] = int16_t(std::lround(5000 * std::sin(2 * M_PI * 1000 * t)));
        }
        return block;
    }

private:
    int64_t m_frame = 0;
};

// The decoded channel lines up with what was fed, sample for sample, at its level.
::testing::AssertionResult SameAudio(const std::vector<float>& decoded,
                                     const std::vector<int16_t>& fed, int c) {
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < decoded.size() && 2 * i + size_t(c) < fed.size(); ++i) {
        const double a = decoded[i] * 32768.0, b = fed[2 * i + size_t(c)];
        ab += a * b;
        aa += a * a;
        bb += b * b;
    }
    const double correlation = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0,
                 level = bb > 0 ? std::sqrt(aa / bb) : 0;
    if (correlation > 0.98 && std::abs(level - 1) < 0.05) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "channel " << c << ": correlation " << correlation << ", level " << level;
}

std::string Bytes(const std::vector<uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

class NoticeCounter : public MessageReceiver {
public:
    void HandleMessage(Message& message) override { ++m_counts[message.id]; }
    std::map<int, int> m_counts;
};

class VorbisWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetClock(&m_clock);
        RecordingNotifier::Instance().Clear();
        for (int code : {kEventChunkCompleted, kEventChunkFilesClosed})
            RecordingNotifier::Instance().Subscribe(code, m_loop, m_slot.Id(), code);
    }
    void TearDown() override {
        RecordingNotifier::Instance().Clear();
        SetClock(nullptr);
    }
    int Notices(int code) {
        m_loop.ProcessPending();
        return m_notices.m_counts[code];
    }
    std::string Base(const std::string& name) const { return m_dir.File(name); }
    // One complete chunk of `blocks` full blocks under `name`.
    void WriteChunk(VorbisWriter& writer, const std::string& name, int blocks) {
        writer.SetFileName(Base(name));
        ASSERT_EQ(writer.StartFile(), VorbisWriter::kBlockSamples);
        for (int i = 0; i < blocks; ++i) {
            const std::vector<int16_t> pcm = m_tone.Next(VorbisWriter::kBlockSamples);
            writer.EncodeBlock(pcm.data(), static_cast<int>(pcm.size()));
        }
        writer.StopFile();
    }
    int64_t Frames(const std::string& name) { return DecodeOgg(Base(name) + ".ogg").Frames(); }

    test::TempDir m_dir;
    ManualClock m_clock;
    EventLoop m_loop{&m_clock};
    NoticeCounter m_notices;
    ReceiverSlot m_slot{m_loop, &m_notices};
    ToneSource m_tone;
};

TEST_F(VorbisWriterTest, EveryChunkIsACompleteStreamWithItsOwnAudioAndSideBytes) {
    // Full blocks and a short last block, as at the end of a recording; the
    // empty chunk in the middle is a cut right after another cut.
    const std::tuple<const char*, int, int> chunks[] = {
        {"chunk_a", 7, 0}, {"chunk_empty", 0, 0}, {"chunk_b", 23, 1000}};
    VorbisWriter writer;
    writer.Open();
    SideFileCalculator side;
    std::vector<int16_t> fed[3];
    std::string dat[3], fgp[3];
    int block = 0;
    for (size_t c = 0; c < 3; ++c) {
        const auto& [name, fullBlocks, tail] = chunks[c];
        if (c == 0) {
            writer.SetFileName(Base(name));
            ASSERT_EQ(writer.StartFile(), VorbisWriter::kBlockSamples);
        } else {
            writer.SwitchFile(Base(name));
        }
        for (int b = 0; b < fullBlocks + (tail ? 1 : 0); ++b, ++block) {
            const int count = b < fullBlocks ? VorbisWriter::kBlockSamples : tail;
            const std::vector<int16_t> pcm = m_tone.Next(count);
            fed[c].insert(fed[c].end(), pcm.begin(), pcm.end());
            side.AddBlock(pcm);
            // Some blocks come without side bytes: the previous ones must not
            // be written a second time.
            if (block % 3 != 2) {
                writer.SetSideBlocks(side.Dat(), side.Fgp());
                dat[c] += Bytes(side.Dat());
                fgp[c] += Bytes(side.Fgp());
            }
            writer.EncodeBlock(pcm.data(), count);
        }
    }
    writer.StopFile();
    EXPECT_EQ(writer.State(), 2);
    EXPECT_EQ(Notices(kEventChunkCompleted), 2);
    EXPECT_EQ(Notices(kEventChunkFilesClosed), 1);
    const std::string ogginfo = test::RequireTool("ogginfo");
    for (size_t c = 0; c < 3; ++c) {
        const std::string base = Base(std::get<0>(chunks[c]));
        SCOPED_TRACE(base);
        const test::DecodedOgg d = DecodeOgg(base + ".ogg");
        ASSERT_TRUE(d.valid);
        ASSERT_EQ(d.links.size(), 1u);  // one stream: bos on the first page only, eos on the last
        EXPECT_EQ(d.links[0].channels, 2);
        EXPECT_EQ(d.links[0].rate, 44100);
        EXPECT_NE(
            std::find(d.links[0].comments.begin(), d.links[0].comments.end(), "ENCODER=wavkeep"),
            d.links[0].comments.end());
        // The granule positions make Vorbis sample-exact: the decoder drops
        // the encoder's padding at both ends.
        ASSERT_EQ(d.Frames(), static_cast<int64_t>(fed[c].size() / 2));
        for (int ch = 0; ch < 2 && !fed[c].empty(); ++ch)
            EXPECT_TRUE(SameAudio(d.channels[ch], fed[c], ch));
        const std::vector<test::OggPage> pages = test::OggPages(test::ReadFile(base + ".ogg"));
        ASSERT_GE(pages.size(), 3u);  // headers on their own pages, then the end
        for (size_t p = 0; p < pages.size(); ++p)
            EXPECT_TRUE(pages[p].bos == (p == 0) && pages[p].eos == (p + 1 == pages.size()));
        EXPECT_EQ(test::ReadFile(base + ".dat"), dat[c]);
        EXPECT_EQ(test::ReadFile(base + ".fgp"), fgp[c]);
        // The reference checker agrees; its status also counts warnings, such
        // as audio that begins mid-page or a data page ending at granule 0.
        int status = -1;
        const std::string report = test::RunTool(
            test::Quote(ogginfo) + " " + test::Quote(base + ".ogg") + " 2>&1", &status);
        EXPECT_EQ(status, 0) << report;
    }
    writer.Close();
    EXPECT_EQ(writer.State(), 1);
}

TEST_F(VorbisWriterTest, BitRateDoesNotChangeTheOutput) {
    std::vector<std::string> outputs;
    for (int kbps : {320, 64}) {
        VorbisWriter writer;
        writer.Open();
        writer.SetBitRate(kbps);
        m_tone = ToneSource();
        WriteChunk(writer, "rate" + std::to_string(kbps), 20);
        outputs.push_back(test::ReadFile(Base("rate" + std::to_string(kbps)) + ".ogg"));
    }
    ASSERT_GT(outputs[0].size(), 1000u);
    EXPECT_TRUE(outputs[0] == outputs[1]) << "the two streams differ";
}

TEST_F(VorbisWriterTest, SerialNumberFollowsTheSecondOfTheFirstBlock) {
    VorbisWriter writer;
    writer.Open();
    writer.SetFileName(Base("s1"));
    writer.StartFile();
    const std::vector<int16_t> pcm = m_tone.Next(VorbisWriter::kBlockSamples);
    writer.EncodeBlock(pcm.data(), VorbisWriter::kBlockSamples);
    writer.SwitchFile(Base("s2"));
    m_clock.Advance(999);  // still the same second
    writer.EncodeBlock(pcm.data(), VorbisWriter::kBlockSamples);
    writer.SwitchFile(Base("s3"));
    m_clock.Advance(1);  // the next second
    writer.EncodeBlock(pcm.data(), VorbisWriter::kBlockSamples);
    writer.StopFile();
    int serial[3];
    for (int i = 0; i < 3; ++i) {
        const test::DecodedOgg d =
            DecodeOgg(Base(std::string("s") += std::to_string(i + 1)) + ".ogg");
        EXPECT_EQ(d.Frames(), VorbisWriter::kBlockSamples / 2);
        serial[i] = d.links.empty() ? 0 : d.links[0].serial;
    }
    EXPECT_EQ(serial[1], serial[0]);
    EXPECT_NE(serial[2], serial[0]);
}

TEST_F(VorbisWriterTest, EndingARecordingKeepsOrDeletesTheFiles) {
    enum class End { kStop, kAbort, kDestroy };
    // How it ends, whether the files stay, the "files closed" notices it gives.
    const std::tuple<End, bool, int> cases[] = {
        {End::kStop, true, 1}, {End::kAbort, false, 1}, {End::kDestroy, true, 0}};
    int notices = 0;
    for (const auto& [end, kept, closedNotices] : cases) {
        const std::string base = Base("end" + std::to_string(int(end)));
        SCOPED_TRACE(base);
        const std::vector<int16_t> pcm = m_tone.Next(VorbisWriter::kBlockSamples);
        {
            VorbisWriter writer;
            writer.Open();
            writer.SetFileName(base);
            writer.StartFile();
            writer.SetSideBlocks(std::vector<uint8_t>{1, 2, 3}, std::vector<uint8_t>{1, 2, 3});
            for (int i = 0; i < 5; ++i)
                writer.EncodeBlock(pcm.data(), static_cast<int>(pcm.size()));
            if (end == End::kStop) writer.StopFile();
            if (end == End::kAbort) writer.AbortFile();
            EXPECT_EQ(writer.State(), end == End::kDestroy ? 3 : 2);
        }
        notices += closedNotices;
        EXPECT_EQ(Notices(kEventChunkFilesClosed), notices);
        for (const char* ext : {".ogg", ".dat", ".fgp"})
            EXPECT_EQ(fs::exists(base + ext), kept) << ext;
        EXPECT_EQ(DecodeOgg(base + ".ogg").Frames(), kept ? 5 * int64_t(pcm.size()) / 2 : 0);
        EXPECT_EQ(test::ReadFile(base + ".dat"), kept ? "\1\2\3" : "");
    }
}

TEST_F(VorbisWriterTest, CallsInTheWrongStateOrWithBadValuesThrowTheirCode) {
    const std::vector<int16_t> pcm(VorbisWriter::kBlockSamples, 0);
    // The state to start from (1 idle, 2 opened, 3 started), the call, its code.
    const std::tuple<int, std::function<void(VorbisWriter&)>, int> cases[] = {
        {2, [&](VorbisWriter& w) { w.EncodeBlock(pcm.data(), 4); }, 4},
        {1, [](VorbisWriter& w) { w.StartFile(); }, 2},
        {3, [](VorbisWriter& w) { w.StartFile(); }, 2},
        {2, [](VorbisWriter& w) { w.Open(); }, 1},
        {1, [](VorbisWriter& w) { w.Close(); }, 2},
        {3, [](VorbisWriter& w) { w.Close(); }, 2},
        {2, [](VorbisWriter& w) { w.SetFileName(""); }, 20},
        {3, [](VorbisWriter& w) { w.SetFileName("x"); }, 3},
        {2, [](VorbisWriter& w) { w.SetBitRate(144); }, 7},
        {1, [](VorbisWriter& w) { w.SetBitRate(0); }, 7},
        {3, [](VorbisWriter& w) { w.SetBitRate(128); }, 3},
        {2, [](VorbisWriter& w) { w.StopFile(); }, 4},
        {2, [](VorbisWriter& w) { w.AbortFile(); }, 4},
        {2, [&](VorbisWriter& w) { w.SwitchFile(Base("other")); }, 4},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [startState, action, code] = cases[i];
        VorbisWriter writer;
        if (startState >= 2) writer.Open();
        writer.SetFileName(Base("pre"));
        if (startState == 3) writer.StartFile();
        EXPECT_EQ(CodeOf([&] { action(writer); }), code) << i;
        EXPECT_EQ(writer.State(), startState) << i;
        EXPECT_EQ(writer.FileName(), Base("pre")) << i;
    }
}

TEST_F(VorbisWriterTest, FolderThatCannotTakeFilesFailsTheStartAndStaysOpened) {
    VorbisWriter writer;
    writer.Open();
    // A missing folder refuses files even to root, unlike a read-only one.
    writer.SetFileName(Base("missing/chunk"));
    EXPECT_EQ(CodeOf([&] { writer.StartFile(); }), 21);
    EXPECT_EQ(writer.State(), 2);
    EXPECT_TRUE(fs::is_empty(m_dir.Path()));
    WriteChunk(writer, "after", 2);
    EXPECT_EQ(Frames("after"), VorbisWriter::kBlockSamples);
}

// The chunk's audio file is opened with truncation, which follows a link
// to /dev/full, so every write to it fails with "no space".
TEST_F(VorbisWriterTest, WriteFailureThrowsAndLeavesTheEarlierChunkIntact) {
    enum class After { kStop, kAbort, kDestroy };
    for (const After after : {After::kStop, After::kAbort, After::kDestroy}) {
        const std::string name = "end" + std::to_string(int(after)), good = Base(name + "_good"),
                          full = Base(name + "_full");
        SCOPED_TRACE(name);
        fs::create_symlink("/dev/full", full + ".ogg");
        const std::vector<int16_t> pcm = m_tone.Next(VorbisWriter::kBlockSamples);
        {
            VorbisWriter writer;
            writer.Open();
            writer.SetFileName(good);
            writer.StartFile();
            for (int i = 0; i < 4; ++i)
                writer.EncodeBlock(pcm.data(), static_cast<int>(pcm.size()));
            writer.SwitchFile(full);
            EXPECT_EQ(CodeOf([&] { writer.EncodeBlock(pcm.data(), static_cast<int>(pcm.size())); }),
                      22);
            if (after == After::kStop) CodeOf([&] { writer.StopFile(); });
            EXPECT_EQ(after == After::kAbort ? CodeOf([&] { writer.AbortFile(); }) : 0, 0);
            EXPECT_EQ(writer.State(), after == After::kDestroy ? 3 : 2);
            EXPECT_FALSE(after == After::kAbort &&
                         (fs::exists(full + ".dat") || fs::is_symlink(full + ".ogg")));
            if (after != After::kDestroy) {
                // The writer is usable again after the failure.
                WriteChunk(writer, name + "_again", 1);
                EXPECT_EQ(Frames(name + "_again"), int64_t(pcm.size()) / 2);
            }
        }
        EXPECT_EQ(DecodeOgg(good + ".ogg").Frames(), 4 * int64_t(pcm.size()) / 2);
    }
}

}  // namespace
}  // namespace wk
