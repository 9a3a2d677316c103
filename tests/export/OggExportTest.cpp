#include <gtest/gtest.h>
#include <ogg/ogg.h>
#include <unistd.h>
#include <vorbis/codec.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/EventLog.h"
#include "core/Trace.h"
#include "descriptions/Description.h"
#include "export/ExportProgress.h"
#include "export/ExportTrack.h"
#include "export/OggExport.h"
#include "platform/WavReader.h"
#include "recording/VorbisWriter.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;

constexpr double kPi = 3.14159265358979323846;
constexpr int64_t kChunkFrames = 88200;      // 2 s chunks
constexpr int64_t kLastChunkFrames = 66150;  // the recording stopped 1.5 s into chunk 4
constexpr int kChunks = 4;
constexpr long long kDurationSeconds = 10;  // planned
const DateTime kSessionStart(2024, 3, 5, 10, 0, 0);

// Left: a rising chirp, so that audio put in the wrong place cannot line up
// by a period; right: an amplitude-modulated tone.
float Original(int64_t frame, int channel) {
    const double t = static_cast<double>(frame) / 44100.0;
    if (channel == 0) return static_cast<float>(0.3 * std::sin(2 * kPi * (200 * t + 120 * t * t)));
    return static_cast<float>(0.25 * (0.6 + 0.4 * std::sin(2 * kPi * 0.7 * t)) *
                              std::sin(2 * kPi * 700 * t));
}

// Global frame of a stream time (ms after the session start).
int64_t FrameAt(int64_t ms) {
    return ms * 441 / 10;
}

std::string ChunkFile(const std::string& folder, int n) {
    return FolderFile(folder, ChunkBaseName(kSessionStart, kDurationSeconds, 2, n) + ".ogg");
}

// Writes the four chunks of one session with the recorder's Vorbis writer.
void WriteStream(const std::string& folder) {
    ManualClock clock;
    SetClock(&clock);
    VorbisWriter writer;
    writer.Open();
    int64_t frame = 0;
    for (int n = 1; n <= kChunks; ++n) {
        const std::string ogg = ChunkFile(folder, n);
        writer.SetFileName(ogg.substr(0, ogg.size() - 4));
        writer.StartFile();
        const int64_t end = frame + (n < kChunks ? kChunkFrames : kLastChunkFrames);
        while (frame < end) {
            std::vector<int16_t> block;
            for (int i = 0; i < 1152 && frame < end; ++i, ++frame) {
                for (int c = 0; c < 2; ++c)
                    block.push_back(static_cast<int16_t>(std::lround(Original(frame, c) * 32767)));
            }
            writer.EncodeBlock(block.data(), static_cast<int>(block.size()));
        }
        writer.StopFile();
        // What makes the stream folder count the chunk.
        test::WriteFile(ogg.substr(0, ogg.size() - 4) + ".dat", std::string(1000, 'd'));
        clock.Advance(2000);
    }
    writer.Close();
    SetClock(nullptr);
}

::testing::AssertionResult Has(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << part << "\" is not in:\n" << text;
}

// A sync state holding all of `bytes`.
struct Sync {
    explicit Sync(const std::string& bytes) {
        ogg_sync_init(&state);
        char* buffer = ogg_sync_buffer(&state, static_cast<long>(bytes.size()));
        std::copy(bytes.begin(), bytes.end(), buffer);
        ogg_sync_wrote(&state, static_cast<long>(bytes.size()));
    }
    ~Sync() { ogg_sync_clear(&state); }
    ogg_sync_state state;
};

struct PageAt {
    size_t offset, length;
    int64_t granule;
};

std::vector<PageAt> Pages(const std::string& bytes) {
    std::vector<PageAt> pages;
    Sync sync(bytes);
    size_t offset = 0;
    ogg_page page;
    while (ogg_sync_pageout(&sync.state, &page) == 1) {
        const auto length = static_cast<size_t>(page.header_len + page.body_len);
        pages.push_back({offset, length, ogg_page_granulepos(&page)});
        offset += length;
    }
    return pages;
}

// The block sizes of the audio packets completed on page `index` of the
// Ogg Vorbis stream `bytes` (a packet continued on the next page is not).
std::vector<long> BlockSizesOnPage(const std::string& bytes, size_t index) {
    std::vector<long> sizes;
    Sync sync(bytes);
    ogg_stream_state os{};
    vorbis_info vi;
    vorbis_comment vc;
    vorbis_info_init(&vi);
    vorbis_comment_init(&vc);
    int headers = 0;
    ogg_page page;
    for (size_t n = 0; n <= index && ogg_sync_pageout(&sync.state, &page) == 1; ++n) {
        if (n == 0) ogg_stream_init(&os, ogg_page_serialno(&page));
        if (ogg_stream_pagein(&os, &page) != 0) break;
        ogg_packet op;
        while (ogg_stream_packetout(&os, &op) == 1) {
            if (headers < 3) {
                if (vorbis_synthesis_headerin(&vi, &vc, &op) == 0) ++headers;
            } else if (n == index) {
                sizes.push_back(vorbis_packet_blocksize(&vi, &op));
            }
        }
    }
    ogg_stream_clear(&os);
    vorbis_comment_clear(&vc);
    vorbis_info_clear(&vi);
    return sizes;
}

struct Link {
    int serial = 0;
    int64_t frames = 0;
    int64_t firstAudioGranule = -1;
    bool ended = false;
};

struct Decoded {
    bool valid = true;  // whole pages, every link complete, every packet decodable
    std::vector<Link> links;
    std::vector<float> channels[2];
    int64_t Frames() const { return static_cast<int64_t>(channels[0].size()); }
};

// One logical stream decoded by libvorbis itself (which honours the
// granule positions at both ends of a stream).
class LinkDecoder {
public:
    explicit LinkDecoder(int serial) {
        ogg_stream_init(&m_os, serial);
        vorbis_info_init(&m_vi);
        vorbis_comment_init(&m_vc);
    }
    ~LinkDecoder() {
        if (m_synthesis) {
            vorbis_block_clear(&m_vb);
            vorbis_dsp_clear(&m_vd);
        }
        vorbis_comment_clear(&m_vc);
        vorbis_info_clear(&m_vi);
        ogg_stream_clear(&m_os);
    }
    bool Page(ogg_page& page, Link& link, Decoded& out) {
        if (m_headers == 3 && link.firstAudioGranule < 0)
            link.firstAudioGranule = ogg_page_granulepos(&page);
        if (ogg_stream_pagein(&m_os, &page) != 0) return false;
        ogg_packet op;
        for (int r; (r = ogg_stream_packetout(&m_os, &op)) != 0;) {
            if (r < 0) return false;
            if (m_headers < 3) {
                if (vorbis_synthesis_headerin(&m_vi, &m_vc, &op) != 0) return false;
                if (++m_headers == 3) {
                    vorbis_synthesis_init(&m_vd, &m_vi);
                    vorbis_block_init(&m_vd, &m_vb);
                    m_synthesis = true;
                }
                continue;
            }
            if (vorbis_synthesis(&m_vb, &op) != 0 || vorbis_synthesis_blockin(&m_vd, &m_vb) != 0)
                return false;
            float** pcm = nullptr;
            for (int n; (n = vorbis_synthesis_pcmout(&m_vd, &pcm)) > 0;) {
                for (int c = 0; c < 2; ++c)
                    out.channels[c].insert(out.channels[c].end(), pcm[c], pcm[c] + n);
                link.frames += n;
                vorbis_synthesis_read(&m_vd, n);
            }
        }
        return true;
    }

private:
    ogg_stream_state m_os{};
    vorbis_info m_vi{};
    vorbis_comment m_vc{};
    vorbis_dsp_state m_vd{};
    vorbis_block m_vb{};
    int m_headers = 0;
    bool m_synthesis = false;
};

Decoded Decode(const std::string& path) {
    Decoded out;
    Sync sync(test::ReadFile(path));
    std::unique_ptr<LinkDecoder> link;
    ogg_page page;
    for (int r; (r = ogg_sync_pageout(&sync.state, &page)) != 0;) {
        if (r < 0) {
            out.valid = false;
            continue;
        }
        if (ogg_page_bos(&page)) {
            if (!out.links.empty() && !out.links.back().ended) out.valid = false;
            out.links.push_back({ogg_page_serialno(&page)});
            link = std::make_unique<LinkDecoder>(ogg_page_serialno(&page));
        }
        if (!link || out.links.back().ended ||
            ogg_page_serialno(&page) != out.links.back().serial ||
            !link->Page(page, out.links.back(), out)) {
            out.valid = false;
            continue;
        }
        if (ogg_page_eos(&page)) out.links.back().ended = true;
    }
    if (!out.links.empty() && !out.links.back().ended) out.valid = false;
    return out;
}

// Correlation of decoded frames [at, at + n) of channel c with the original
// from global frame `origin` on; near 1 only when they line up sample for sample.
double Correlation(const Decoded& d, int64_t at, int64_t n, int64_t origin, int c) {
    double ab = 0, aa = 0, bb = 0;
    for (int64_t i = 0; i < n && at + i < d.Frames(); ++i) {
        const double a = d.channels[c][static_cast<size_t>(at + i)];
        const double b = Original(origin + i, c);
        ab += a * b;
        aa += a * a;
        bb += b * b;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

// Every link of `d` against the original, link by link.
void ExpectLinksMatch(const Decoded& d, const std::vector<int64_t>& origins) {
    ASSERT_EQ(d.links.size(), origins.size());
    int64_t at = 0;
    for (size_t i = 0; i < origins.size(); ++i) {
        for (int c = 0; c < 2; ++c)
            EXPECT_GT(Correlation(d, at, d.links[i].frames, origins[i], c), 0.97)
                << "link " << i << " channel " << c;
        at += d.links[i].frames;
    }
}

int FirstSerial(const std::string& path) {
    const Decoded d = Decode(path);
    return d.links.empty() ? 0 : d.links.front().serial;
}

std::set<std::string> Entries(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        names.insert(e.path().filename().string());
    return names;
}

// The output of a command; the paths in it are the test's own.
std::string RunCommand(const std::string& command) {
    std::string text;
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) text.append(buffer, n);
        ::pclose(p);
    }
    return text;
}

class OggExportTest : public test::TempHomeTest {
protected:
    static void SetUpTestSuite() {
        s_stream = std::make_unique<test::TempDir>();
        WriteStream(s_stream->Path());
    }
    static void TearDownTestSuite() { s_stream.reset(); }

    void SetUp() override {
        TempHomeTest::SetUp();
        EventLog::Instance().Close();
        SetTraceFileBase(HomeFile("Log"));
        SetTraceLevel(kTraceDetail);
        m_oldCwd = fs::current_path();
        fs::create_directory(HomeFile("cwd"));
        fs::current_path(HomeFile("cwd"));
        m_dirs = {HomeFile("music"), HomeFile("music/temp"), HomeFile("music/badcut")};
        UseStream(s_stream->Path());
    }
    void TearDown() override {
        fs::current_path(m_oldCwd);
        SetTraceLevel(0);
        SetTraceFileBase("");
        EventLog::Instance().Close();
        TempHomeTest::TearDown();
    }

    void UseStream(const std::string& folder) {
        m_info = std::make_unique<StreamInfo>();
        m_info->folder = folder;
        UpdateStreamInfo(*m_info);
    }
    // A copy of the stream to spoil.
    std::string CopyStream() {
        const std::string copy = HomeFile("stream");
        fs::copy(s_stream->Path(), copy);
        UseStream(copy);
        return copy;
    }
    std::string Export(int64_t fromMs, int64_t toMs, bool wav = false,
                       const std::string& name = "Artist - Title", std::string* missing = nullptr) {
        const StreamTime t0 = kSessionStart.ToStreamTime();
        return ExportOggTrack(*m_info, t0 + fromMs, t0 + toMs, name, m_track, m_dirs, wav,
                              m_progress, missing);
    }
    std::string TraceText() const {
        const std::string file = CurrentTraceFile();
        return file.empty() ? std::string() : test::ReadFile(file);
    }
    static std::string Chunk(int n) { return ChunkFile(s_stream->Path(), n); }

    static inline std::unique_ptr<test::TempDir> s_stream;
    std::unique_ptr<StreamInfo> m_info;
    ExportDirectories m_dirs;
    Description m_track;
    SilentExportProgress m_progress;
    fs::path m_oldCwd;
};

TEST(OggCutPointTest, SamplesOfTheTimeInTheChunkMultipliedBeforeDividing) {
    struct Case {
        StreamTime start, length;
        int chunk;
        StreamTime t;
        int64_t samples;
    };
    const Case cases[] = {
        {1000000, 2000, 1, 1000000, 0},     {1000000, 2000, 1, 1000001, 44},  // 44.1 truncated
        {1000000, 2000, 1, 1000999, 44055},                                   // not 999 x 44
        {1000000, 2000, 3, 1004500, 22050},                                   // 500 ms into chunk 3
        {1000000, 300000, 2, 1300000, 0},  // on the chunk's first sample
        {1000000, 2000, 2, 1001999, -44},  // before the chunk: toward zero
    };
    for (const Case& c : cases) {
        MP3SingleSaving session;
        session.start = c.start;
        session.length = c.length;
        EXPECT_EQ(OggCutPoint(session, c.chunk, c.t), c.samples) << c.chunk << " " << c.t;
    }
}

// The canonical 44-byte header of 16-bit stereo PCM at 44.1 kHz.
std::string ExpectedWavHeader(uint32_t data) {
    std::string h;
    const auto le = [&h](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) h += static_cast<char>(v >> (8 * i) & 0xFF);
    };
    h += "RIFF";
    le(data + 36, 4);
    h += "WAVEfmt ";
    for (const auto& [value, bytes] :
         {std::pair{16u, 4}, {1u, 2}, {2u, 2}, {44100u, 4}, {176400u, 4}, {4u, 2}, {16u, 2}})
        le(value, bytes);
    h += "data";
    le(data, 4);
    return h;
}

TEST(OggWavHeaderTest, CanonicalPcmHeader) {
    for (const uint32_t data : {0u, 0x01020304u}) {
        EXPECT_EQ(WavHeaderForData(44100, 2, data), ExpectedWavHeader(data)) << data;
    }
}

TEST_F(OggExportTest, TrackOverThreeChunksIsAChainOfThreeStreams) {
    const std::string path = Export(1300, 5200);
    ASSERT_EQ(path, m_dirs.temp + "/Artist - Title.ogg");
    EXPECT_EQ(m_progress.fileName, "Artist - Title.ogg");
    const int64_t chunk2Bytes = static_cast<int64_t>(fs::file_size(Chunk(2)));
    EXPECT_EQ(m_progress.high, chunk2Bytes);
    EXPECT_EQ(m_progress.position, chunk2Bytes);

    const Decoded d = Decode(path);
    EXPECT_TRUE(d.valid);
    ASSERT_EQ(d.links.size(), 3u);
    EXPECT_EQ(d.links[0].frames, kChunkFrames - FrameAt(1300));
    EXPECT_EQ(d.links[1].frames, kChunkFrames);
    EXPECT_EQ(d.links[2].frames, FrameAt(1200));
    EXPECT_EQ(d.Frames(), FrameAt(5200 - 1300));
    ExpectLinksMatch(d, {FrameAt(1300), kChunkFrames, 2 * kChunkFrames});
    // A new serial for the second half of chunk 1, the chunks' own after it.
    EXPECT_NE(d.links[0].serial, FirstSerial(Chunk(1)));
    EXPECT_EQ(d.links[1].serial, FirstSerial(Chunk(2)));
    EXPECT_EQ(d.links[2].serial, FirstSerial(Chunk(3)));
    // The second half starts near 0: the two packets before the cut.
    EXPECT_GE(d.links[0].firstAudioGranule, 0);
    EXPECT_LT(d.links[0].firstAudioGranule, 2048);
    // Chunk 2 is in the file byte for byte.
    EXPECT_TRUE(Has(test::ReadFile(path), test::ReadFile(Chunk(2))));
    // Nothing is left beside the result, nothing lands in the current folder.
    EXPECT_EQ(Entries(m_dirs.temp), std::set<std::string>{"Artist - Title.ogg"});
    EXPECT_TRUE(Entries(HomeFile("cwd")).empty());

    if (::access("/usr/bin/ogginfo", X_OK) == 0) {
        const std::string info = RunCommand("/usr/bin/ogginfo '" + path + "' 2>&1");
        size_t streams = 0;
        for (size_t at = 0; (at = info.find("New logical stream", at)) != std::string::npos; ++at)
            ++streams;
        EXPECT_EQ(streams, 3u) << info;
        EXPECT_EQ(info.find("WARNING"), std::string::npos) << info;
        EXPECT_EQ(info.find("ERROR"), std::string::npos) << info;
    }
}

TEST_F(OggExportTest, PiecesAtChunkBoundariesWithinOneChunkAndAtTheEndOfTheData) {
    struct Case {
        const char* name;
        int64_t from, to;              // ms after the session start
        std::vector<int64_t> frames;   // of each link
        std::vector<int64_t> origins;  // global first frame of each link
        int wholeChunk;                // a chunk the file begins or ends with byte for byte, 0 none
        const char* trace;             // expected in the trace, or ""
        const char* missing = "";      // what the song lacks
    };
    // Global first frames of chunks 2 to 4, and frames of a time.
    const int64_t c2 = kChunkFrames, c3 = 2 * kChunkFrames, c4 = 3 * kChunkFrames;
    const auto f = FrameAt;
    const char* const dataEnd = "end of the recorded data";
    // clang-format off
    const std::vector<Case> cases = {
        {"within one chunk", 2300, 3100, {f(800)}, {f(2300)}, 0, ""},
        {"within one chunk from its start", 4000, 4500, {f(500)}, {c3}, 0, ""},
        {"starts on a chunk boundary", 2000, 5000, {c2, f(1000)}, {c2, c3}, 2, ""},
        {"ends on a chunk boundary", 1500, 4000, {c2 - f(1500), c2}, {f(1500), c2}, 2, ""},
        {"exactly one chunk", 2000, 4000, {c2}, {c2}, 2, ""},
        {"end after the last chunk", 5000, 9500, {f(1000), kLastChunkFrames}, {f(5000), c4}, 4,
         dataEnd},
        {"end after the session", 5000, 20000, {f(1000), kLastChunkFrames}, {f(5000), c4}, 4,
         dataEnd},
        {"end beyond the audio of a short chunk", 6500, 7900, {kLastChunkFrames - f(500)},
         {f(6500)}, 0, "Cutpoint not within stream", "lacks 0.4 s of audio (chunk 4 gave 1.0 s of 1.4 s)"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t traceBefore = TraceText().size();
        std::string missing = "not set";
        const std::string path = Export(c.from, c.to, false, c.name, &missing);
        ASSERT_EQ(path, m_dirs.temp + "/" + c.name + ".ogg");
        EXPECT_EQ(missing, c.missing);
        const Decoded d = Decode(path);
        EXPECT_TRUE(d.valid);
        ASSERT_EQ(d.links.size(), c.frames.size());
        for (size_t i = 0; i < c.frames.size(); ++i) EXPECT_EQ(d.links[i].frames, c.frames[i]) << i;
        ExpectLinksMatch(d, c.origins);
        const std::string bytes = test::ReadFile(path);
        if (c.wholeChunk != 0) {
            const std::string chunk = test::ReadFile(Chunk(c.wholeChunk));
            EXPECT_TRUE(bytes.starts_with(chunk) || bytes.ends_with(chunk));
        }
        if (*c.trace) {
            EXPECT_TRUE(Has(TraceText().substr(traceBefore), c.trace));
        }
        fs::remove(path);
    }
    EXPECT_TRUE(Entries(m_dirs.temp).empty());
}

TEST_F(OggExportTest, BadChunksOrTimesGiveTraceLinesAndAShorterOrNoFile) {
    struct Case {
        const char* name;
        // Chunks 1 to 3: intact '.', garbage 'g', removed 'r', without headers 'h', empty 'e'.
        const char* damage;
        int64_t from, to;
        int64_t frames;  // 0: no file
        std::vector<const char*> traces;
        const char* missing = "";  // what a file made lacks
    };
    const int64_t c2 = kChunkFrames;
    // clang-format off
    const std::vector<Case> cases = {
        {"missing middle chunk", ".r.", 1300, 5200, c2 - FrameAt(1300) + FrameAt(1200),
         {"[L 1600] Error opening "}, "lacks 2.0 s of audio (chunk 2 cannot be read)"},
        {"empty middle chunk", ".e.", 1300, 5200, c2 - FrameAt(1300) + FrameAt(1200),
         {"A chunk that is not an Ogg stream is left out"}, "lacks 2.0 s of audio (chunk 2 gave no audio)"},
        {"garbage first chunk", "g..", 1300, 5200, c2 + FrameAt(1200),
         {"Input not ogg.", "[L 691] save_ogg(), Vorbis processing failed while cutting"},
         "lacks 0.7 s of audio (chunk 1 gave no audio)"},
        {"last chunk without headers", "..h", 1300, 5200, c2 - FrameAt(1300) + c2,
         {"Error reading headers", "[L 727] save_ogg()"}, "lacks 1.2 s of audio (chunk 3 gave no audio)"},
        {"missing last chunk", "..r", 1300, 5200, c2 - FrameAt(1300) + c2,
         {"[L 1625] Error opening "}, "lacks 1.2 s of audio (chunk 3 cannot be read)"},
        {"whole track", "...", 1300, 5200, c2 - FrameAt(1300) + c2 + FrameAt(1200), {}},
        {"only chunk missing", ".r.", 2300, 3100, 0, {"[L 1532] Error opening "}},
        {"every chunk garbage", "ggg", 1300, 5200, 0, {"Input not ogg.", "no audio could be cut"}},
        {"before the session", "...", -5000, 1000, 0,
         {"ogg export failed for file Artist - Title because of NULL MP3SingleSaving*"}},
        {"start equals end", "...", 3000, 3000, 0, {}},
        {"end before start", "...", 3000, 2000, 0, {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string copy = CopyStream();
        for (int n = 1; n <= 3; ++n) {
            const std::string file = ChunkFile(copy, n);
            const std::string bytes = test::ReadFile(file);
            switch (c.damage[n - 1]) {
                case 'g':
                    test::WriteFile(file, std::string(30000, '\x5a') + "OggS garbage");
                    break;
                case 'r':
                    fs::remove(file);
                    break;
                case 'e':
                    test::WriteFile(file, "");
                    break;
                case 'h':  // from the first audio page on
                    for (const PageAt& page : Pages(bytes)) {
                        if (page.granule > 0) {
                            test::WriteFile(file, bytes.substr(page.offset));
                            break;
                        }
                    }
                    break;
            }
        }
        const size_t traceBefore = TraceText().size();
        std::string missing = "not set";
        const std::string path = Export(c.from, c.to, false, "Artist - Title", &missing);
        const std::string trace = TraceText().substr(traceBefore);
        for (const char* line : c.traces) EXPECT_TRUE(Has(trace, line));
        if (!path.empty()) {
            EXPECT_EQ(missing, c.missing);
        }
        if (c.frames == 0) {
            EXPECT_EQ(path, "");
            EXPECT_TRUE(Entries(m_dirs.temp).empty());
        } else {
            const Decoded d = Decode(path);
            EXPECT_TRUE(d.valid);
            EXPECT_EQ(d.Frames(), c.frames);
            EXPECT_EQ(Entries(m_dirs.temp), std::set<std::string>{"Artist - Title.ogg"});
            fs::remove(path);
        }
        fs::remove_all(copy);
    }
}

TEST_F(OggExportTest, NamesAvoidTheMusicFolderAndWaitingResults) {
    struct Case {
        std::vector<std::string> inMusic, inTemp;
        bool wav;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{}, {}, false, "T.ogg"},          {{"T.ogg"}, {}, false, "T_2.ogg"},
        {{}, {"T.ogg"}, false, "T_2.ogg"}, {{"T.wav"}, {}, false, "T.ogg"},
        {{"T.ogg"}, {}, true, "T.wav"},  // the file made is a .wav
        {{"T.wav"}, {}, true, "T_2.wav"},
    };
    // A decoder that fails, so the WAV cases stop after naming their file.
    test::WriteFile(HomeFile("oggdec"), "#!/bin/sh\nexit 3\n");
    fs::permissions(HomeFile("oggdec"), fs::perms::owner_all);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        fs::remove_all(m_dirs.music);
        fs::create_directories(m_dirs.temp);
        for (const std::string& f : c.inMusic) test::WriteFile(m_dirs.music + "/" + f, "x");
        for (const std::string& f : c.inTemp) test::WriteFile(m_dirs.temp + "/" + f, "earlier");
        const std::string path = Export(2300, 3100, c.wav, "T");
        EXPECT_EQ(m_progress.fileName, c.expected);
        if (!c.wav) {
            EXPECT_EQ(path, m_dirs.temp + "/" + c.expected);
        }
        for (const std::string& f : c.inTemp)
            EXPECT_EQ(test::ReadFile(m_dirs.temp + "/" + f), "earlier");
    }

    // A name cut to the file-name limit keeps its number.
    const std::string longName(300, 'n');
    const std::string first = fs::path(Export(2300, 3100, false, longName)).filename().string();
    ASSERT_NE(first, "");
    const std::string second = fs::path(Export(2300, 3100, false, longName)).filename().string();
    EXPECT_TRUE(second.ends_with("_2.ogg")) << second;
    EXPECT_EQ(second.size(), first.size());
    EXPECT_EQ(Decode(m_dirs.temp + "/" + second).Frames(), FrameAt(800));
}

TEST_F(OggExportTest, WavModeDecodesEveryPieceWithOggdec) {
    const std::string real = FindOggDecoder();
    if (real.empty()) GTEST_SKIP() << "no oggdec";
    // The program home's decoder comes first: here one that notes each call.
    test::WriteFile(HomeFile("oggdec"), "#!/bin/sh\necho \"$@\" >> '" + HomeFile("calls.txt") +
                                            "'\nexec '" + real + "' \"$@\"\n");
    fs::permissions(HomeFile("oggdec"), fs::perms::owner_all);
    ASSERT_EQ(FindOggDecoder(), HomeFile("oggdec"));

    const std::string oggPath = Export(1300, 5200, false, "Chained");
    const std::string wavPath = Export(1300, 5200, true);
    ASSERT_EQ(wavPath, m_dirs.temp + "/Artist - Title.wav");
    const std::string wav = test::ReadFile(wavPath);
    ASSERT_GE(wav.size(), 44u);
    EXPECT_EQ(wav.substr(0, 44), ExpectedWavHeader(static_cast<uint32_t>(wav.size() - 44)));
    EXPECT_EQ(static_cast<int64_t>(wav.size() - 44), FrameAt(5200 - 1300) * 4);
    // One call per piece, and the pieces decoded one by one give what the
    // whole chain gives.
    std::string calls = test::ReadFile(HomeFile("calls.txt"));
    EXPECT_EQ(std::count(calls.begin(), calls.end(), '\n'), 3);
    const std::string raw = HomeFile("chain.raw");
    RunCommand("'" + real + "' -Q -R -o '" + raw + "' '" + oggPath + "'");
    EXPECT_TRUE(wav.substr(44) == test::ReadFile(raw)) << "decoded data differs";
    EXPECT_EQ(Entries(m_dirs.temp), (std::set<std::string>{"Artist - Title.wav", "Chained.ogg"}));
    EXPECT_TRUE(Entries(HomeFile("cwd")).empty());
}

// Restores $PATH however the test ends.
struct PathGuard {
    PathGuard() {
        const char* path = std::getenv("PATH");
        saved = path ? path : "";
    }
    ~PathGuard() { ::setenv("PATH", saved.c_str(), 1); }
    std::string saved;
};

TEST_F(OggExportTest, WavModeWithoutAWorkingDecoder) {
    PathGuard guard;
    fs::create_directories(HomeFile("bin"));
    ::setenv("PATH", (HomeFile("bin") + ":").c_str(), 1);
    EXPECT_EQ(FindOggDecoder(), "");
    EXPECT_EQ(Export(1300, 5200, true), "");
    const std::vector<std::string> events = EventLog::Instance().ReadLines();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(
        Has(events[0], "Error while trying to launch the ogg converter " + HomeFile("oggdec")));

    // On the PATH, but failing on every piece.
    test::WriteFile(HomeFile("bin/oggdec"), "#!/bin/sh\nexit 3\n");
    fs::permissions(HomeFile("bin/oggdec"), fs::perms::owner_all);
    // Not executable in the program home: passed over.
    test::WriteFile(HomeFile("oggdec"), "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(FindOggDecoder(), HomeFile("bin/oggdec"));
    EXPECT_EQ(Export(1300, 5200, true), "");
    EXPECT_TRUE(Has(TraceText(), "The ogg converter " + HomeFile("bin/oggdec") + " failed on "));
    EXPECT_TRUE(Entries(m_dirs.temp).empty());
}

class OggCutTest : public OggExportTest {
protected:
    struct Cut {
        int result;
        Decoded first, second;
        std::string firstBytes, secondBytes;
    };
    Cut CutFile(const std::string& input, int64_t cutPoint) {
        Cut out;
        std::FILE* in = std::fopen(input.c_str(), "rb");
        std::FILE* a = std::fopen(HomeFile("first.ogg").c_str(), "wb");
        std::FILE* b = std::fopen(HomeFile("second.ogg").c_str(), "wb");
        out.result = CutOggStream(in, a, b, cutPoint);
        for (std::FILE* f : {in, a, b}) std::fclose(f);
        out.firstBytes = test::ReadFile(HomeFile("first.ogg"));
        out.secondBytes = test::ReadFile(HomeFile("second.ogg"));
        out.first = Decode(HomeFile("first.ogg"));
        out.second = Decode(HomeFile("second.ogg"));
        return out;
    }
};

TEST_F(OggCutTest, BothHalvesDecodeToTheirSamples) {
    // A cut exactly on a page's granule position puts the whole page first.
    const std::vector<PageAt> pages = Pages(test::ReadFile(Chunk(1)));
    ASSERT_GT(pages.size(), 3u);
    const int64_t pageEnd = pages[2].granule;
    ASSERT_GT(pageEnd, 0);
    ASSERT_LT(pageEnd, kChunkFrames);
    const int serial = FirstSerial(Chunk(1));
    for (int64_t cut : {int64_t{0}, int64_t{1}, int64_t{30000}, pageEnd, kChunkFrames - 3000,
                        kChunkFrames - 100}) {
        SCOPED_TRACE(cut);
        const Cut c = CutFile(Chunk(1), cut);
        EXPECT_EQ(c.result, 0);
        EXPECT_TRUE(c.first.valid);
        EXPECT_EQ(c.first.Frames(), cut);
        ASSERT_EQ(c.first.links.size(), 1u);
        EXPECT_EQ(c.first.links[0].serial, serial);
        for (int ch = 0; ch < 2 && cut > 2000; ++ch)
            EXPECT_GT(Correlation(c.first, 0, cut, 0, ch), 0.97);
        if (cut == kChunkFrames - 100) {
            // The last packet's output ends after the stream's end: what
            // follows the cut cannot be told apart from what the end drops.
            EXPECT_EQ(c.secondBytes, "");
            EXPECT_TRUE(
                Has(TraceText(), "Cut point within the last packet; the 100 samples after it"));
            continue;
        }
        EXPECT_TRUE(c.second.valid);
        ASSERT_EQ(c.second.links.size(), 1u);
        EXPECT_EQ(c.second.Frames(), kChunkFrames - cut);
        EXPECT_NE(c.second.links[0].serial, serial);
        for (int ch = 0; ch < 2; ++ch)
            EXPECT_GT(Correlation(c.second, 0, kChunkFrames - cut, cut, ch), 0.97);
    }
}

TEST_F(OggCutTest, DamagedAudioIsSkipped) {
    const std::string chunk = test::ReadFile(Chunk(1));
    const std::vector<PageAt> pages = Pages(chunk);
    ASSERT_EQ(pages.size(), 4u);  // two header pages, two audio pages
    const auto page = [&](size_t i) { return chunk.substr(pages[i].offset, pages[i].length); };
    std::string badPage = page(2);
    badPage[100] = static_cast<char>(badPage[100] ^ 0x40);
    // Bytes that look like the start of a page longer than what follows.
    const std::string fakeStart("OggS\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\xff", 27);
    std::string noise;
    for (int i = 0; i < 200; ++i) noise += fakeStart + std::string(50, '\x01');
    constexpr int kCopies = 40;
    std::string manyBad = page(0) + page(1);
    for (int i = 0; i < kCopies; ++i) manyBad += badPage + page(2);
    manyBad += page(3);
    // Every copy of page 2 after the first adds its audio once more: what
    // its packets count up to, and the overlap of its first packet with the
    // last one of the copy before. A packet that page 2 leaves unfinished is
    // lost with the next copy; page 3 completes only the last copy's.
    const std::vector<long> blocks = BlockSizesOnPage(chunk, 2);
    ASSERT_GE(blocks.size(), 2u);
    const int64_t perCopy = pages[2].granule + (blocks.back() + blocks.front()) / 4;
    struct Case {
        const char* name;
        std::string bytes;
        int64_t secondFrames;
        int64_t tolerance;
        bool capped;  // more errors than the trace shows
    };
    const std::vector<Case> cases = {
        // The second part begins where the audio comes back, on a packet
        // boundary near the lost page's end.
        {"lost page before the end", page(0) + page(1) + noise + page(3),
         kChunkFrames - pages[2].granule, 2048, false},
        // Page 2 again and again: its audio comes again and again.
        {"many damaged pages", manyBad, kChunkFrames - 1000 + (kCopies - 1) * perCopy, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::WriteFile(HomeFile("input.ogg"), c.bytes);
        const size_t traceBefore = TraceText().size();
        const Cut cut = CutFile(HomeFile("input.ogg"), 1000);
        const std::string trace = TraceText().substr(traceBefore);
        size_t lines = 0;
        for (size_t at = 0; (at = trace.find("ERR: ", at)) != std::string::npos; ++at) ++lines;
        EXPECT_LE(lines, 10u) << trace;
        EXPECT_EQ(Has(trace, "Further errors of this input are not traced"), c.capped);
        EXPECT_EQ(cut.result, 0);
        EXPECT_TRUE(cut.second.valid);
        EXPECT_NEAR(static_cast<double>(cut.second.Frames()), static_cast<double>(c.secondFrames),
                    static_cast<double>(c.tolerance));
    }
}

TEST_F(OggCutTest, BadInputCutsNothing) {
    struct Case {
        const char* name;
        std::string bytes;
        int64_t cut;
        std::vector<const char*> traces;
        int64_t firstFrames;  // -1: first output empty
    };
    const std::string chunk = test::ReadFile(Chunk(1));
    const std::vector<PageAt> chunkPages = Pages(chunk);
    const char* const notWithin = "Cutpoint not within stream. Second file will be empty";
    std::string badSetup = chunk;
    const size_t inSetup = chunkPages[1].offset + 100;
    badSetup[inSetup] = static_cast<char>(badSetup[inSetup] ^ 0x55);
    std::string notVorbis;
    {
        ogg_stream_state os;
        ogg_stream_init(&os, 7);
        std::string text = "\x01not vorbis at all, just a packet";
        ogg_packet op{};
        op.packet = reinterpret_cast<unsigned char*>(text.data());
        op.bytes = static_cast<long>(text.size());
        op.b_o_s = 1;
        ogg_stream_packetin(&os, &op);
        ogg_page page;
        while (ogg_stream_flush(&os, &page) != 0) {
            notVorbis.append(reinterpret_cast<char*>(page.header),
                             static_cast<size_t>(page.header_len));
            notVorbis.append(reinterpret_cast<char*>(page.body),
                             static_cast<size_t>(page.body_len));
        }
        ogg_stream_clear(&os);
    }
    const std::vector<Case> cases = {
        {"empty", "", 1000, {"Input not ogg.", "Error reading headers"}, -1},
        {"garbage", std::string(10000, '\x17'), 1000, {"Input not ogg."}, -1},
        {"not vorbis", notVorbis, 1000, {"Error in primary header: not vorbis?"}, -1},
        {"first page only", chunk.substr(0, chunkPages[0].length), 1000, {"EOF in headers"}, -1},
        {"corrupt setup header", badSetup, 1000, {"Secondary header corrupt"}, -1},
        // clang-format off
        {"without its last page", chunk.substr(0, chunkPages.back().offset), 1000000,
         {"Setting eos: update sync returned 0", notWithin}, chunkPages.end()[-2].granule},
        {"cut after the end", chunk, kChunkFrames + 10, {"Found EOS before cut point.", notWithin},
         kChunkFrames},
        // clang-format on
        {"negative cut", chunk, -5, {"Unhandled special case: first file too short?"}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::WriteFile(HomeFile("input.ogg"), c.bytes);
        const size_t traceBefore = TraceText().size();
        const Cut cut = CutFile(HomeFile("input.ogg"), c.cut);
        EXPECT_EQ(cut.result, -1);
        for (const char* line : c.traces) EXPECT_TRUE(Has(TraceText().substr(traceBefore), line));
        EXPECT_EQ(cut.secondBytes, "");
        if (c.firstFrames < 0) {
            EXPECT_EQ(cut.firstBytes, "");
        } else {
            // What there is stays a complete stream.
            EXPECT_TRUE(cut.first.valid);
            EXPECT_EQ(cut.first.Frames(), c.firstFrames);
            EXPECT_GT(Correlation(cut.first, 0, c.firstFrames, 0, 0), 0.97);
        }
    }
}

TEST_F(OggCutTest, SaveOggPieceKinds) {
    struct Case {
        int64_t from, to;
        int64_t frames;      // decoded frames of the output, -1 for the copied bytes
        int64_t firstFrame;  // of the original
    };
    const int64_t bytes = static_cast<int64_t>(fs::file_size(Chunk(2)));
    const std::vector<Case> cases = {
        {0, bytes, -1, kChunkFrames},                                // whole chunk
        {0, 1000, -1, kChunkFrames},                                 // its first 1000 bytes
        {30000, bytes, kChunkFrames - 30000, kChunkFrames + 30000},  // the rest
        {30000, 30000, 30000, kChunkFrames},                         // the beginning
        {0, 0, 0, 0},
        {-5, -5, 0, 0},
        {-5, 0, 0, 0},
    };
    fs::create_directories(m_dirs.temp);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " " + std::to_string(c.to));
        SilentExportProgress progress;
        std::FILE* in = std::fopen(Chunk(2).c_str(), "rb");
        std::FILE* out = std::fopen(HomeFile("piece.ogg").c_str(), "wb");
        SaveOggPiece(in, out, c.from, c.to, m_dirs.temp, progress);
        std::fclose(in);
        std::fclose(out);
        const std::string piece = test::ReadFile(HomeFile("piece.ogg"));
        if (c.frames < 0) {
            EXPECT_EQ(piece, test::ReadFile(Chunk(2)).substr(0, static_cast<size_t>(c.to)));
            EXPECT_EQ(progress.position, c.to);
        } else if (c.frames == 0) {
            EXPECT_EQ(piece, "");
        } else {
            const Decoded d = Decode(HomeFile("piece.ogg"));
            EXPECT_TRUE(d.valid);
            EXPECT_EQ(d.Frames(), c.frames);
            EXPECT_GT(Correlation(d, 0, c.frames, c.firstFrame, 0), 0.97);
            EXPECT_EQ(progress.position, 0);
        }
        // The discarded half went to the temporary folder and is gone.
        EXPECT_TRUE(Entries(m_dirs.temp).empty());
        EXPECT_TRUE(Entries(HomeFile("cwd")).empty());
    }
    // Without a temporary folder there is nowhere to put the other half.
    std::FILE* in = std::fopen(Chunk(2).c_str(), "rb");
    std::FILE* out = std::fopen(HomeFile("piece.ogg").c_str(), "wb");
    SaveOggPiece(in, out, 30000, 30000, HomeFile("missing"), m_progress);
    std::fclose(in);
    std::fclose(out);
    EXPECT_EQ(test::ReadFile(HomeFile("piece.ogg")), "");
    EXPECT_TRUE(Has(TraceText(), "[L 727] Can't create file with name  " + HomeFile("missing/")));
}

}  // namespace
}  // namespace wk
