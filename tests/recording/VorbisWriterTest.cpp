#include "recording/VorbisWriter.h"

#include <gtest/gtest.h>
#include <ogg/ogg.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/CTError.h"
#include "core/Clock.h"
#include "core/EventLoop.h"
#include "core/RecordingNotifier.h"
#include "recording/SideFileCalculator.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;

constexpr int kRate = 44100;
constexpr double kPi = 3.14159265358979323846;
// Different tones and levels on the two channels, so a swap or a wrong
// scale shows in the decoded energy.
constexpr double kLeftAmplitude = 12000.0;
constexpr double kRightAmplitude = 5000.0;
constexpr double kLeftHz = 440.0;
constexpr double kRightHz = 1000.0;

// A continuous stereo tone, cut into blocks the way the session cuts it.
class ToneSource {
public:
    std::vector<int16_t> Next(int samples) {
        std::vector<int16_t> block(static_cast<size_t>(samples));
        for (int i = 0; i + 1 < samples; i += 2) {
            const double t = static_cast<double>(m_frame++) / kRate;
            block[static_cast<size_t>(i)] =
                static_cast<int16_t>(std::lround(kLeftAmplitude * std::sin(2 * kPi * kLeftHz * t)));
            block[static_cast<size_t>(i) + 1] =
                static_cast<int16_t>(std::lround(kRightAmplitude * std::sin(2 * kPi * kRightHz * t)));
        }
        return block;
    }

private:
    int64_t m_frame = 0;
};

struct Decoded {
    bool opened = false;
    int channels = 0;
    long rate = 0;
    std::vector<std::string> comments;
    ogg_int64_t pcmTotal = -1;
    std::vector<int16_t> samples;  // interleaved
};

// Decodes a whole file through libvorbisfile, as a player would.
Decoded DecodeOgg(const std::string& path) {
    Decoded out;
    OggVorbis_File vf;
    if (ov_fopen(path.c_str(), &vf) != 0) return out;
    out.opened = true;
    if (const vorbis_info* vi = ov_info(&vf, -1)) {
        out.channels = vi->channels;
        out.rate = vi->rate;
    }
    if (const vorbis_comment* vc = ov_comment(&vf, -1)) {
        for (int i = 0; i < vc->comments; ++i)
            out.comments.emplace_back(vc->user_comments[i], static_cast<size_t>(vc->comment_lengths[i]));
    }
    out.pcmTotal = ov_pcm_total(&vf, -1);
    char buffer[8192];
    int section = 0;
    for (;;) {
        const long n = ov_read(&vf, buffer, sizeof buffer, 0, 2, 1, &section);
        if (n <= 0) {
            if (n < 0) out.opened = false;  // a hole or corrupt data
            break;
        }
        const auto* pcm = reinterpret_cast<const int16_t*>(buffer);
        out.samples.insert(out.samples.end(), pcm, pcm + n / 2);
    }
    ov_clear(&vf);
    return out;
}

struct PageInfo {
    int serial;
    bool bos;
    bool eos;
};

std::vector<PageInfo> ReadPages(const std::string& path) {
    const std::string bytes = test::ReadFile(path);
    std::vector<PageInfo> pages;
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buffer = ogg_sync_buffer(&sync, static_cast<long>(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), buffer);
    ogg_sync_wrote(&sync, static_cast<long>(bytes.size()));
    ogg_page page;
    while (ogg_sync_pageout(&sync, &page) == 1)
        pages.push_back({ogg_page_serialno(&page), ogg_page_bos(&page) != 0, ogg_page_eos(&page) != 0});
    ogg_sync_clear(&sync);
    return pages;
}

int FirstSerial(const std::string& path) {
    const std::vector<PageInfo> pages = ReadPages(path);
    return pages.empty() ? 0 : pages.front().serial;
}

double Rms(const std::vector<int16_t>& samples, int channel) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = static_cast<size_t>(channel); i < samples.size(); i += 2, ++n)
        sum += static_cast<double>(samples[i]) * samples[i];
    return n ? std::sqrt(sum / static_cast<double>(n)) : 0.0;
}

// Normalised correlation of one channel; near 1 only when the decoded
// samples line up with the input sample for sample.
double Correlation(const std::vector<int16_t>& a, const std::vector<int16_t>& b, int channel) {
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = static_cast<size_t>(channel); i < a.size() && i < b.size(); i += 2) {
        ab += static_cast<double>(a[i]) * b[i];
        aa += static_cast<double>(a[i]) * a[i];
        bb += static_cast<double>(b[i]) * b[i];
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

std::string Bytes(const std::vector<uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

int CodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const CTError& e) {
        return e.GetCode();
    }
    return 0;
}

class NoticeCounter : public MessageReceiver {
public:
    void HandleMessage(Message& message) override { ++m_counts[message.id]; }
    int Count(int code) const { return m_counts.count(code) ? m_counts.at(code) : 0; }

private:
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
        return m_notices.Count(code);
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

    test::TempDir m_dir;
    ManualClock m_clock;
    EventLoop m_loop{&m_clock};
    NoticeCounter m_notices;
    ReceiverSlot m_slot{m_loop, &m_notices};
    ToneSource m_tone;
};

TEST_F(VorbisWriterTest, EveryChunkIsACompleteStreamWithItsOwnAudioAndSideBytes) {
    struct Chunk {
        const char* name;
        int fullBlocks;
        int tailSamples;  // a short last block, as at the end of a recording
    };
    // The empty chunk in the middle is a cut right after another cut.
    const std::vector<Chunk> chunks = {
        {"chunk_a", 7, 0}, {"chunk_empty", 0, 0}, {"chunk_b", 23, 1000}};

    VorbisWriter writer;
    writer.Open();
    SideFileCalculator side;
    std::vector<std::vector<int16_t>> fed(chunks.size());
    std::vector<std::string> dat(chunks.size());
    std::vector<std::string> fgp(chunks.size());
    int block = 0;
    for (size_t c = 0; c < chunks.size(); ++c) {
        if (c == 0) {
            writer.SetFileName(Base(chunks[c].name));
            ASSERT_EQ(writer.StartFile(), VorbisWriter::kBlockSamples);
        } else {
            writer.SwitchFile(Base(chunks[c].name));
        }
        const int blocks = chunks[c].fullBlocks + (chunks[c].tailSamples ? 1 : 0);
        for (int b = 0; b < blocks; ++b, ++block) {
            const int count = b < chunks[c].fullBlocks ? VorbisWriter::kBlockSamples
                                                       : chunks[c].tailSamples;
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

    for (size_t c = 0; c < chunks.size(); ++c) {
        SCOPED_TRACE(chunks[c].name);
        const std::string base = Base(chunks[c].name);
        const Decoded d = DecodeOgg(base + ".ogg");
        ASSERT_TRUE(d.opened);
        EXPECT_EQ(d.channels, 2);
        EXPECT_EQ(d.rate, 44100);
        EXPECT_NE(std::find(d.comments.begin(), d.comments.end(), "ENCODER=wavkeep"), d.comments.end());
        // The granule positions make Vorbis sample-exact: the decoder drops
        // the encoder's padding at both ends.
        EXPECT_EQ(d.pcmTotal, static_cast<ogg_int64_t>(fed[c].size() / 2));
        ASSERT_EQ(d.samples.size(), fed[c].size());
        if (!fed[c].empty()) {
            EXPECT_NEAR(Rms(d.samples, 0), Rms(fed[c], 0), 0.05 * Rms(fed[c], 0));
            EXPECT_NEAR(Rms(d.samples, 1), Rms(fed[c], 1), 0.05 * Rms(fed[c], 1));
            EXPECT_GT(Correlation(d.samples, fed[c], 0), 0.98);
            EXPECT_GT(Correlation(d.samples, fed[c], 1), 0.98);
        }
        const std::vector<PageInfo> pages = ReadPages(base + ".ogg");
        ASSERT_GE(pages.size(), 3u);  // headers on their own pages, then the end
        EXPECT_TRUE(pages.front().bos);
        EXPECT_TRUE(pages.back().eos);
        for (size_t p = 0; p < pages.size(); ++p) {
            EXPECT_EQ(pages[p].serial, pages.front().serial);
            EXPECT_EQ(pages[p].bos, p == 0);
            EXPECT_EQ(pages[p].eos, p + 1 == pages.size());
        }
        EXPECT_EQ(test::ReadFile(base + ".dat"), dat[c]);
        EXPECT_EQ(test::ReadFile(base + ".fgp"), fgp[c]);
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

    const int s1 = FirstSerial(Base("s1") + ".ogg");
    EXPECT_EQ(FirstSerial(Base("s2") + ".ogg"), s1);
    EXPECT_NE(FirstSerial(Base("s3") + ".ogg"), s1);
    for (const char* name : {"s1", "s2", "s3"})
        EXPECT_EQ(DecodeOgg(Base(name) + ".ogg").samples.size(), pcm.size()) << name;
}

TEST_F(VorbisWriterTest, EndingARecordingKeepsOrDeletesTheFiles) {
    enum class End { kStop, kAbort, kDestroy };
    struct Case {
        const char* name;
        End end;
        bool kept;
        int closedNotices;
    };
    const Case cases[] = {
        {"stop", End::kStop, true, 1},
        {"abort", End::kAbort, false, 1},
        {"destroy", End::kDestroy, true, 0},
    };
    int notices = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string base = Base(c.name);
        const std::vector<int16_t> pcm = m_tone.Next(VorbisWriter::kBlockSamples);
        {
            VorbisWriter writer;
            writer.Open();
            writer.SetFileName(base);
            writer.StartFile();
            const std::vector<uint8_t> sideBytes = {1, 2, 3};
            writer.SetSideBlocks(sideBytes, sideBytes);
            for (int i = 0; i < 5; ++i) writer.EncodeBlock(pcm.data(), static_cast<int>(pcm.size()));
            if (c.end == End::kStop) writer.StopFile();
            if (c.end == End::kAbort) writer.AbortFile();
            if (c.end != End::kDestroy) {
                EXPECT_EQ(writer.State(), 2);
            }
        }
        notices += c.closedNotices;
        EXPECT_EQ(Notices(kEventChunkFilesClosed), notices);
        for (const char* ext : {".ogg", ".dat", ".fgp"})
            EXPECT_EQ(fs::exists(base + ext), c.kept) << ext;
        if (c.kept) {
            const Decoded d = DecodeOgg(base + ".ogg");
            ASSERT_TRUE(d.opened);
            EXPECT_EQ(d.samples.size(), 5 * pcm.size());
            EXPECT_EQ(test::ReadFile(base + ".dat"), std::string("\1\2\3"));
        }
    }
}

TEST_F(VorbisWriterTest, CallsInTheWrongStateOrWithBadValuesThrowTheirCode) {
    const std::vector<int16_t> pcm(VorbisWriter::kBlockSamples, 0);
    struct Case {
        const char* name;
        int startState;  // 1 idle, 2 opened, 3 started
        std::function<void(VorbisWriter&)> action;
        int code;
    };
    const std::vector<Case> cases = {
        {"encode when opened", 2, [&](VorbisWriter& w) { w.EncodeBlock(pcm.data(), 4); }, 4},
        {"start when idle", 1, [](VorbisWriter& w) { w.StartFile(); }, 2},
        {"start when started", 3, [](VorbisWriter& w) { w.StartFile(); }, 2},
        {"open twice", 2, [](VorbisWriter& w) { w.Open(); }, 1},
        {"close when idle", 1, [](VorbisWriter& w) { w.Close(); }, 2},
        {"close when started", 3, [](VorbisWriter& w) { w.Close(); }, 2},
        {"empty file name", 2, [](VorbisWriter& w) { w.SetFileName(""); }, 20},
        {"file name when started", 3, [](VorbisWriter& w) { w.SetFileName("x"); }, 3},
        {"bit rate 144", 2, [](VorbisWriter& w) { w.SetBitRate(144); }, 7},
        {"bit rate 0", 1, [](VorbisWriter& w) { w.SetBitRate(0); }, 7},
        {"bit rate when started", 3, [](VorbisWriter& w) { w.SetBitRate(128); }, 3},
        {"stop when opened", 2, [](VorbisWriter& w) { w.StopFile(); }, 4},
        {"abort when opened", 2, [](VorbisWriter& w) { w.AbortFile(); }, 4},
        {"switch when opened", 2, [&](VorbisWriter& w) { w.SwitchFile(Base("other")); }, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VorbisWriter writer;
        if (c.startState >= 2) writer.Open();
        writer.SetFileName(Base("pre"));
        if (c.startState == 3) writer.StartFile();
        EXPECT_EQ(CodeOf([&] { c.action(writer); }), c.code);
        EXPECT_EQ(writer.State(), c.startState);
        EXPECT_EQ(writer.FileName(), Base("pre"));
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
    EXPECT_EQ(DecodeOgg(Base("after") + ".ogg").samples.size(), 2u * VorbisWriter::kBlockSamples);
}

TEST_F(VorbisWriterTest, WriteFailureThrowsAndLeavesTheEarlierChunkIntact) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    enum class After { kStop, kAbort, kDestroy };
    struct Case {
        const char* name;
        After after;
    };
    for (const Case& c : {Case{"stop", After::kStop}, Case{"abort", After::kAbort},
                          Case{"destroy", After::kDestroy}}) {
        SCOPED_TRACE(c.name);
        const std::string good = Base(std::string(c.name) + "_good");
        const std::string full = Base(std::string(c.name) + "_full");
        // The chunk's audio file is opened with truncation, which follows
        // the link, so every write to it fails with "no space".
        fs::create_symlink("/dev/full", full + ".ogg");
        const std::vector<int16_t> pcm = m_tone.Next(VorbisWriter::kBlockSamples);
        {
            VorbisWriter writer;
            writer.Open();
            writer.SetFileName(good);
            writer.StartFile();
            for (int i = 0; i < 4; ++i) writer.EncodeBlock(pcm.data(), static_cast<int>(pcm.size()));
            writer.SwitchFile(full);
            EXPECT_EQ(CodeOf([&] { writer.EncodeBlock(pcm.data(), static_cast<int>(pcm.size())); }), 22);
            if (c.after == After::kStop) {
                const int code = CodeOf([&] { writer.StopFile(); });
                EXPECT_TRUE(code == 0 || code == 22) << code;
                EXPECT_EQ(writer.State(), 2);
            } else if (c.after == After::kAbort) {
                EXPECT_EQ(CodeOf([&] { writer.AbortFile(); }), 0);
                EXPECT_EQ(writer.State(), 2);
                EXPECT_FALSE(fs::exists(full + ".dat"));
                EXPECT_FALSE(fs::is_symlink(full + ".ogg"));
            }
            if (c.after != After::kDestroy) {
                // The writer is usable again after the failure.
                WriteChunk(writer, std::string(c.name) + "_again", 1);
                EXPECT_EQ(DecodeOgg(Base(std::string(c.name) + "_again") + ".ogg").samples.size(),
                          pcm.size());
            }
        }
        const Decoded d = DecodeOgg(good + ".ogg");
        ASSERT_TRUE(d.opened);
        EXPECT_EQ(d.samples.size(), 4 * pcm.size());
    }
}

TEST_F(VorbisWriterTest, OgginfoAcceptsFullAndEmptyChunks) {
    if (std::system("command -v ogginfo >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ogginfo not installed";
    }
    VorbisWriter writer;
    writer.Open();
    for (const auto& [name, blocks] : {std::pair{"full", 30}, std::pair{"empty", 0}}) {
        SCOPED_TRACE(name);
        WriteChunk(writer, name, blocks);
        const std::string command = "ogginfo '" + Base(name) + ".ogg' > '" + Base(name) + ".txt' 2>&1";
        // ogginfo's status also counts its warnings, such as audio that
        // begins mid-page or a data page ending at granule position 0.
        EXPECT_EQ(std::system(command.c_str()), 0) << test::ReadFile(Base(name) + ".txt");
    }
}

}  // namespace
}  // namespace wk
