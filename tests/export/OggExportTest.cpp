#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "core/Clock.h"
#include "core/EventLog.h"
#include "descriptions/Description.h"
#include "export/ExportProgress.h"
#include "export/ExportTrack.h"
#include "export/OggExport.h"
#include "export/SongTags.h"
#include "platform/WavReader.h"
#include "recording/VorbisWriter.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"
#include "support/OggDecode.h"
#include "support/TempHome.h"
#include "support/Tools.h"
#include "support/WavFile.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using test::DecodedOgg;
using test::DecodeOgg;

constexpr int64_t kChunkFrames = 88200;      // 2 s chunks
constexpr int64_t kLastChunkFrames = 66150;  // the recording stopped 1.5 s into chunk 4
const DateTime kSessionStart(2024, 3, 5, 10, 0, 0);

// Left: a rising chirp, so that audio put in the wrong place cannot line up
// by a period; right: an amplitude-modulated tone.
float Original(int64_t frame, int channel) {
    const double t = static_cast<double>(frame) / 44100.0;
    if (channel == 0) return static_cast<float>(0.3 * std::sin(2 * M_PI * (200 * t + 120 * t * t)));
    return static_cast<float>(0.25 * (0.6 + 0.4 * std::sin(2 * M_PI * 0.7 * t)) *
                              std::sin(2 * M_PI * 700 * t));
}

// Global frame of a stream time (ms after the session start).
int64_t F(int64_t ms) {
    return ms * 441 / 10;
}

std::string ChunkFile(const std::string& folder, int n) {
    return FolderFile(folder, ChunkBaseName(kSessionStart, 10, 2, n) + ".ogg");
}

// Writes the four chunks of one session (planned for 10 s) with the recorder's Vorbis writer.
void WriteStream(const std::string& folder) {
    ManualClock clock;
    SetClock(&clock);
    VorbisWriter writer;
    writer.Open();
    int64_t frame = 0;
    for (int n = 1; n <= 4; ++n) {
        const std::string base = ChunkFile(folder, n).substr(0, ChunkFile(folder, n).size() - 4);
        writer.SetFileName(base);
        writer.StartFile();
        for (const int64_t end = frame + (n < 4 ? kChunkFrames : kLastChunkFrames); frame < end;) {
            std::vector<int16_t> block;
            for (int i = 0; i < 1152 && frame < end; ++i, ++frame)
                for (int c = 0; c < 2; ++c)
                    block.push_back(int16_t(std::lround(Original(frame, c) * 32767)));
            writer.EncodeBlock(block.data(), static_cast<int>(block.size()));
        }
        writer.StopFile();
        test::WriteFile(base + ".dat",
                        std::string(1000, 'd'));  // what makes the folder count the chunk
        clock.Advance(2000);
    }
    writer.Close();
    SetClock(nullptr);
}

::testing::AssertionResult Has(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << part << "\" is not in:\n" << text;
}

// Correlation of decoded frames [at, at + n) of channel c with the original
// from global frame `origin` on; near 1 only when they line up sample for sample.
double Correlation(const DecodedOgg& d, int64_t at, int64_t n, int64_t origin, int c) {
    double ab = 0, aa = 0, bb = 0;
    for (int64_t i = 0; i < n && at + i < d.Frames(); ++i) {
        const double a = d.channels[c][static_cast<size_t>(at + i)], b = Original(origin + i, c);
        ab += a * b;
        aa += a * a;
        bb += b * b;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

// Every link of `d` has its frames and lines up with the original from its origin.
void ExpectLinks(const DecodedOgg& d, const std::vector<int64_t>& frames,
                 const std::vector<int64_t>& origins) {
    EXPECT_TRUE(d.valid);
    ASSERT_EQ(d.links.size(), frames.size());
    int64_t at = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(d.links[i].frames, frames[i]) << "link " << i;
        for (int c = 0; c < 2 && frames[i] > 2000; ++c)
            EXPECT_GT(Correlation(d, at, frames[i], origins[i], c), 0.97)
                << "link " << i << " channel " << c;
        at += d.links[i].frames;
    }
}

std::set<std::string> Entries(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        names.insert(e.path().filename().string());
    return names;
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
        TraceToHome();
        m_oldCwd = fs::current_path();
        fs::create_directory(HomeFile("cwd"));
        fs::current_path(HomeFile("cwd"));
        m_dirs = {HomeFile("music"), HomeFile("music/temp"), HomeFile("music/badcut")};
        UseStream(s_stream->Path());
    }
    void TearDown() override {
        fs::current_path(m_oldCwd);
        TempHomeTest::TearDown();
    }
    void UseStream(const std::string& folder) {
        m_info = StreamInfo();
        m_info.folder = folder;
        UpdateStreamInfo(m_info);
    }
    std::string Export(int64_t fromMs, int64_t toMs, bool wav = false,
                       const std::string& name = "Artist - Title", std::string* missing = nullptr) {
        const StreamTime t0 = kSessionStart.ToStreamTime();
        return ExportOggTrack(m_info, t0 + fromMs, t0 + toMs, name, m_track, m_dirs, wav,
                              m_progress, missing);
    }
    static std::string Chunk(int n) { return ChunkFile(s_stream->Path(), n); }
    static int FirstSerial(const std::string& path) {
        return test::OggPages(test::ReadFile(path)).at(0).serial;
    }

    static inline std::unique_ptr<test::TempDir> s_stream;
    StreamInfo m_info;
    ExportDirectories m_dirs;
    Description m_track;
    SilentExportProgress m_progress;
    fs::path m_oldCwd;
};

TEST(OggCutPointTest, SamplesOfTheTimeInTheChunkMultipliedBeforeDividing) {
    // 44.1 truncated; not 999 x 44; 500 ms into chunk 3; on a chunk's first
    // sample; before the chunk: toward zero.
    const std::tuple<StreamTime, int, StreamTime, int64_t> cases[] = {
        {2000, 1, 1000000, 0},     {2000, 1, 1000001, 44},  {2000, 1, 1000999, 44055},
        {2000, 3, 1004500, 22050}, {300000, 2, 1300000, 0}, {2000, 2, 1001999, -44}};
    for (const auto& [length, chunk, t, samples] : cases) {
        const MP3SingleSaving session{1000000, length, 0, nullptr, {}};
        EXPECT_EQ(OggCutPoint(session, chunk, t), samples) << chunk << " " << t;
    }
}

TEST_F(OggExportTest, TrackOverThreeChunksIsAChainOfThreeStreams) {
    const std::string path = Export(1300, 5200);
    ASSERT_EQ(path, m_dirs.temp + "/Artist - Title.ogg");
    EXPECT_EQ(m_progress.fileName, "Artist - Title.ogg");
    const auto chunk2Bytes = static_cast<int64_t>(fs::file_size(Chunk(2)));
    EXPECT_EQ(m_progress.high, chunk2Bytes);
    EXPECT_EQ(m_progress.position, chunk2Bytes);
    const DecodedOgg d = DecodeOgg(path);
    ExpectLinks(d, {kChunkFrames - F(1300), kChunkFrames, F(1200)},
                {F(1300), kChunkFrames, 2 * kChunkFrames});
    // A new serial for the second half of chunk 1, the chunks' own after it.
    EXPECT_NE(d.links.at(0).serial, FirstSerial(Chunk(1)));
    EXPECT_EQ(d.links.at(1).serial, FirstSerial(Chunk(2)));
    EXPECT_EQ(d.links.at(2).serial, FirstSerial(Chunk(3)));
    // The second half starts near 0: the two packets before the cut.
    EXPECT_GE(d.links[0].firstAudioGranule, 0);
    EXPECT_LT(d.links[0].firstAudioGranule, 2048);
    EXPECT_TRUE(Has(test::ReadFile(path), test::ReadFile(Chunk(2))));  // chunk 2 byte for byte
    // Nothing is left beside the result, nothing lands in the current folder.
    EXPECT_EQ(Entries(m_dirs.temp), std::set<std::string>{"Artist - Title.ogg"});
    EXPECT_TRUE(Entries(HomeFile("cwd")).empty());
    // The reference checker agrees: three streams, no complaint.
    const std::string ogginfo = test::RequireTool("ogginfo");
    const std::string info =
        test::RunTool(test::Quote(ogginfo) + " " + test::Quote(path) + " 2>&1");
    size_t streams = 0;
    for (size_t at = 0; (at = info.find("New logical stream", at)) != std::string::npos; ++at)
        ++streams;
    EXPECT_EQ(streams, 3u) << info;
    EXPECT_EQ(info.find("WARNING"), std::string::npos) << info;
    EXPECT_EQ(info.find("ERROR"), std::string::npos) << info;
}

// The song's tags in the comment header of every link, read back by
// readers that are not ours: ogginfo (every link) and mutagen (the first);
// the audio pages are untouched, so every link decodes as before.
TEST_F(OggExportTest, TagsGoIntoEveryLinkAndTheAudioStays) {
    const std::string inspect = test::RequireTool("mutagen-inspect");
    const std::string ogginfo = test::RequireTool("ogginfo");
    const std::string oggdec = test::RequireTool("oggdec");
    const std::string path = Export(1300, 5200);
    const DecodedOgg before = DecodeOgg(path);
    const auto loudness = MeasureOggLoudness({path, HomeFile("none.ogg")});
    ASSERT_EQ(loudness.size(), 2u);
    ASSERT_TRUE(loudness[0].has_value());
    EXPECT_FALSE(loudness[1].has_value());
    // The chirp peaks at 0.3 of full scale (coding adds a little); one
    // song is its own album.
    EXPECT_GT(loudness[0]->trackPeak, 0.29);
    EXPECT_LT(loudness[0]->trackPeak, 0.4);
    EXPECT_EQ(loudness[0]->albumGain, loudness[0]->trackGain);
    m_track.artist =
        "\xC3\x89"
        "dith Piaf et l'Orchestre de la Radio nationale";
    m_track.title = "Non, je ne regrette rien (version longue, \xE6\x9D\xB1\xE4\xBA\xAC)";
    m_track.year = "1960";
    m_track.genre = 13;
    SongTags tags = SongTagsFor(m_track, "Radio1", kSessionStart.ToStreamTime() + 1300);
    tags.replayGain = loudness[0];
    ASSERT_TRUE(WriteOggSongTags(path, tags));

    const DecodedOgg after = DecodeOgg(path);
    ASSERT_TRUE(after.valid);
    ASSERT_EQ(after.links.size(), 3u);
    EXPECT_EQ(after.channels[0], before.channels[0]);
    EXPECT_EQ(after.channels[1], before.channels[1]);
    const std::string info =
        test::RunTool(test::Quote(ogginfo) + " " + test::Quote(path) + " 2>&1");
    EXPECT_EQ(info.find("WARNING"), std::string::npos) << info;
    EXPECT_EQ(info.find("ERROR"), std::string::npos) << info;
    const std::string shown = test::RunTool(test::Quote(inspect) + " " + test::Quote(path));
    for (const std::string& comment : VorbisComments(tags)) {
        size_t links = 0;
        for (size_t at = 0; (at = info.find("\t" + comment + "\n", at)) != std::string::npos; ++at)
            ++links;
        EXPECT_EQ(links, 3u) << comment << "\n" << info;
        EXPECT_NE(shown.find("\n" + comment + "\n"), std::string::npos) << comment << "\n" << shown;
    }
    EXPECT_NE(
        shown.find("\nTITLE=Non, je ne regrette rien (version longue, \xE6\x9D\xB1\xE4\xBA\xAC)\n"),
        std::string::npos)
        << shown;
    EXPECT_NE(info.find("ENCODER="), std::string::npos) << info;  // the chunks' own comment stays
    const std::string decoded =
        test::RunTool(test::Quote(oggdec) + " -o /dev/null " + test::Quote(path) + " 2>&1");
    EXPECT_EQ(decoded.find("arning"), std::string::npos) << decoded;
    EXPECT_EQ(decoded.find("rror"), std::string::npos) << decoded;
    EXPECT_EQ(LongTagSummary(path), m_track.artist + " - " + m_track.title + " (Pop) album gain " +
                                        GainText(loudness[0]->albumGain));
}

TEST_F(OggExportTest, PiecesAtBoundariesAtTheEndOfTheDataAndOfBadChunks) {
    struct Case {
        const char* name;
        const char* damage;  // chunks 1 to 3: intact '.', garbage 'g', removed 'r', without headers
                             // 'h', empty 'e'
        int64_t from, to;    // ms after the session start
        std::vector<int64_t> frames, origins;  // per link; no frames: no file
        int wholeChunk;  // a chunk the file begins or ends with byte for byte, 0 none
        std::vector<const char*> traces;
        const char* missing = "";  // what the song lacks
    };
    const int64_t c2 = kChunkFrames, c3 = 2 * kChunkFrames, c4 = 3 * kChunkFrames;
    const char* const dataEnd = "end of the recorded data";
    const std::vector<Case> cases = {
        {"within one chunk", "...", 2300, 3100, {F(800)}, {F(2300)}, 0, {}},
        {"within one chunk from its start", "...", 4000, 4500, {F(500)}, {c3}, 0, {}},
        {"starts on a chunk boundary", "...", 2000, 5000, {c2, F(1000)}, {c2, c3}, 2, {}},
        {"ends on a chunk boundary", "...", 1500, 4000, {c2 - F(1500), c2}, {F(1500), c2}, 2, {}},
        {"exactly one chunk", "...", 2000, 4000, {c2}, {c2}, 2, {}},
        {"end after the last chunk",
         "...",
         5000,
         9500,
         {F(1000), kLastChunkFrames},
         {F(5000), c4},
         4,
         {dataEnd}},
        {"end after the session",
         "...",
         5000,
         20000,
         {F(1000), kLastChunkFrames},
         {F(5000), c4},
         4,
         {dataEnd}},
        {"end beyond the audio of a short chunk",
         "...",
         6500,
         7900,
         {kLastChunkFrames - F(500)},
         {F(6500)},
         0,
         {"Cutpoint not within stream"},
         "lacks 0.4 s of audio (chunk 4 gave 1.0 s of 1.4 s)"},
        {"missing middle chunk",
         ".r.",
         1300,
         5200,
         {c2 - F(1300), F(1200)},
         {F(1300), c3},
         0,
         {"[L 1600] Error opening "},
         "lacks 2.0 s of audio (chunk 2 cannot be read)"},
        {"empty middle chunk",
         ".e.",
         1300,
         5200,
         {c2 - F(1300), F(1200)},
         {F(1300), c3},
         0,
         {"A chunk that is not an Ogg stream is left out"},
         "lacks 2.0 s of audio (chunk 2 gave no audio)"},
        {"garbage first chunk",
         "g..",
         1300,
         5200,
         {c2, F(1200)},
         {c2, c3},
         0,
         {"Input not ogg.", "[L 691] save_ogg(), Vorbis processing failed while cutting"},
         "lacks 0.7 s of audio (chunk 1 gave no audio)"},
        {"last chunk without headers",
         "..h",
         1300,
         5200,
         {c2 - F(1300), c2},
         {F(1300), c2},
         0,
         {"Error reading headers", "[L 727] save_ogg()"},
         "lacks 1.2 s of audio (chunk 3 gave no audio)"},
        {"missing last chunk",
         "..r",
         1300,
         5200,
         {c2 - F(1300), c2},
         {F(1300), c2},
         0,
         {"[L 1625] Error opening "},
         "lacks 1.2 s of audio (chunk 3 cannot be read)"},
        {"only chunk missing", ".r.", 2300, 3100, {}, {}, 0, {"[L 1532] Error opening "}},
        {"every chunk garbage",
         "ggg",
         1300,
         5200,
         {},
         {},
         0,
         {"Input not ogg.", "no audio could be cut"}},
        {"before the session",
         "...",
         -5000,
         1000,
         {},
         {},
         0,
         {"ogg export failed for file Artist - Title because of NULL MP3SingleSaving*"}},
        {"start equals end", "...", 3000, 3000, {}, {}, 0, {}},
        {"end before start", "...", 3000, 2000, {}, {}, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::copy(s_stream->Path(), HomeFile("stream"));
        UseStream(HomeFile("stream"));
        for (int n = 1; n <= 3; ++n) {
            const std::string file = ChunkFile(HomeFile("stream"), n), bytes = test::ReadFile(file);
            if (c.damage[n - 1] == 'g')
                test::WriteFile(file, std::string(30000, '\x5a') + "OggS garbage");
            if (c.damage[n - 1] == 'r') fs::remove(file);
            if (c.damage[n - 1] == 'e') test::WriteFile(file, "");
            if (c.damage[n - 1] == 'h')  // from the first audio page on
                for (const test::OggPage& page : test::OggPages(bytes))
                    if (page.granule > 0) {
                        test::WriteFile(file, bytes.substr(page.offset));
                        break;
                    }
        }
        const size_t traceBefore = TraceText().size();
        std::string missing = "not set";
        const std::string path = Export(c.from, c.to, false, "Artist - Title", &missing);
        for (const char* line : c.traces) EXPECT_TRUE(Has(TraceText().substr(traceBefore), line));
        if (c.frames.empty()) {
            EXPECT_EQ(path, "");
            EXPECT_TRUE(Entries(m_dirs.temp).empty());
        } else {
            ASSERT_EQ(path, m_dirs.temp + "/Artist - Title.ogg");
            EXPECT_EQ(missing, c.missing);
            ExpectLinks(DecodeOgg(path), c.frames, c.origins);
            const std::string bytes = test::ReadFile(path),
                              whole = c.wholeChunk ? test::ReadFile(Chunk(c.wholeChunk)) : "";
            EXPECT_TRUE(!c.wholeChunk || bytes.starts_with(whole) || bytes.ends_with(whole));
            EXPECT_EQ(Entries(m_dirs.temp), std::set<std::string>{"Artist - Title.ogg"});
            fs::remove(path);
        }
        fs::remove_all(HomeFile("stream"));
    }
}

TEST_F(OggExportTest, NamesAvoidTheMusicFolderAndWaitingResults) {
    const std::tuple<std::vector<std::string>, std::vector<std::string>, bool, std::string>
        cases[] = {
            // in the music folder (a trailing '/': a folder), in the temporary
            // one, WAV mode, the name. A folder of the first name does not
            // count (one of a numbered name does: ExportRunTest); a gap is taken.
            {{}, {}, false, "T.ogg"},          {{"T.ogg"}, {}, false, "T_2.ogg"},
            {{}, {"T.ogg"}, false, "T_2.ogg"}, {{"T.wav"}, {}, false, "T.ogg"},
            {{"T.ogg"}, {}, true, "T.wav"},    {{"T.wav"}, {}, true, "T_2.wav"},
            {{"T.ogg/"}, {}, false, "T.ogg"},  {{"T.ogg", "T_3.ogg"}, {}, false, "T_2.ogg"},
            {{"T_2.ogg"}, {}, false, "T.ogg"},
        };
    // A decoder that fails, so the WAV cases stop after naming their file.
    test::WriteFile(HomeFile("oggdec"), "#!/bin/sh\nexit 3\n");
    fs::permissions(HomeFile("oggdec"), fs::perms::owner_all);
    for (const auto& [inMusic, inTemp, wav, expected] : cases) {
        SCOPED_TRACE(expected);
        fs::remove_all(m_dirs.music);
        fs::create_directories(m_dirs.temp);
        for (const std::string& f : inMusic) {
            if (f.ends_with('/'))
                fs::create_directories(m_dirs.music + "/" + f);
            else
                test::WriteFile(m_dirs.music + "/" + f, "x");
        }
        for (const std::string& f : inTemp) test::WriteFile(m_dirs.temp + "/" + f, "earlier");
        const std::string path = Export(2300, 3100, wav, "T");
        EXPECT_EQ(m_progress.fileName, expected);
        EXPECT_EQ(path, wav ? "" : m_dirs.temp + "/" + expected);
        for (const std::string& f : inTemp)
            EXPECT_EQ(test::ReadFile(m_dirs.temp + "/" + f), "earlier");
    }
    // A name cut to the file-name limit keeps its number.
    const std::string longName(300, 'n');
    const std::string first = fs::path(Export(2300, 3100, false, longName)).filename().string();
    const std::string second = fs::path(Export(2300, 3100, false, longName)).filename().string();
    EXPECT_TRUE(second.ends_with("_2.ogg")) << second;
    EXPECT_EQ(second.size(), first.size());
    EXPECT_EQ(DecodeOgg(m_dirs.temp + "/" + second).Frames(), F(800));
}

TEST_F(OggExportTest, WavModeDecodesEveryPieceWithOggdec) {
    const std::string real = test::RequireTool("oggdec");
    ASSERT_NE(real, "");
    // The program home's decoder comes first: here one that notes each call.
    test::WriteFile(HomeFile("oggdec"), "#!/bin/sh\necho \"$@\" >> '" + HomeFile("calls.txt") +
                                            "'\nexec '" + real + "' \"$@\"\n");
    fs::permissions(HomeFile("oggdec"), fs::perms::owner_all);
    ASSERT_EQ(FindOggDecoder(), HomeFile("oggdec"));

    const std::string oggPath = Export(1300, 5200, false, "Chained");
    const std::string wavPath = Export(1300, 5200, true);
    ASSERT_EQ(wavPath, m_dirs.temp + "/Artist - Title.wav");
    const std::string wav = test::ReadFile(wavPath);
    EXPECT_EQ(wav.substr(0, 44), test::WavHeaderBytes(uint32_t(F(5200 - 1300) * 4)));
    EXPECT_EQ(static_cast<int64_t>(wav.size() - 44), F(5200 - 1300) * 4);
    // One call per piece, and the pieces decoded one by one give what the
    // whole chain gives.
    const std::string calls = test::ReadFile(HomeFile("calls.txt"));
    EXPECT_EQ(std::count(calls.begin(), calls.end(), '\n'), 3);
    test::RunTool(test::Quote(real) + " -Q -R -o " + test::Quote(HomeFile("chain.raw")) + " " +
                  test::Quote(oggPath));
    EXPECT_TRUE(wav.substr(44) == test::ReadFile(HomeFile("chain.raw"))) << "decoded data differs";
    EXPECT_EQ(Entries(m_dirs.temp), (std::set<std::string>{"Artist - Title.wav", "Chained.ogg"}));
    EXPECT_TRUE(Entries(HomeFile("cwd")).empty());
}

TEST_F(OggExportTest, WavModeWithoutAWorkingDecoder) {
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    fs::create_directories(HomeFile("bin"));
    ::setenv("PATH", (HomeFile("bin") + ":").c_str(), 1);
    EXPECT_EQ(FindOggDecoder(), "");
    EXPECT_EQ(Export(1300, 5200, true), "");
    const std::vector<std::string> events = EventLog::Instance().ReadLines();
    EXPECT_EQ(events.size(), 1u);
    EXPECT_TRUE(Has(events.empty() ? "" : events[0],
                    "Error while trying to launch the ogg converter " + HomeFile("oggdec")));
    // On the PATH, but failing on every piece; not executable in the program
    // home: passed over.
    test::WriteFile(HomeFile("bin/oggdec"), "#!/bin/sh\nexit 3\n");
    fs::permissions(HomeFile("bin/oggdec"), fs::perms::owner_all);
    test::WriteFile(HomeFile("oggdec"), "#!/bin/sh\nexit 0\n");
    const std::string found = FindOggDecoder();
    const std::string made = Export(1300, 5200, true);
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(found, HomeFile("bin/oggdec"));
    EXPECT_EQ(made, "");
    EXPECT_TRUE(Has(TraceText(), "The ogg converter " + HomeFile("bin/oggdec") + " failed on "));
    EXPECT_TRUE(Entries(m_dirs.temp).empty());
}

class OggCutTest : public OggExportTest {
protected:
    struct Cut {
        int result;
        DecodedOgg first, second;
        std::string firstBytes, secondBytes;
    };
    Cut CutFile(const std::string& input, int64_t cutPoint) {
        std::FILE* in = std::fopen(input.c_str(), "rb");
        std::FILE* a = std::fopen(HomeFile("first.ogg").c_str(), "wb");
        std::FILE* b = std::fopen(HomeFile("second.ogg").c_str(), "wb");
        Cut out{CutOggStream(in, a, b, cutPoint), {}, {}, {}, {}};
        for (std::FILE* f : {in, a, b}) std::fclose(f);
        out.firstBytes = test::ReadFile(HomeFile("first.ogg"));
        out.secondBytes = test::ReadFile(HomeFile("second.ogg"));
        out.first = DecodeOgg(HomeFile("first.ogg"));
        out.second = DecodeOgg(HomeFile("second.ogg"));
        return out;
    }
    // Writes `bytes` as the input, cuts it, and returns the cut and the trace it wrote.
    Cut CutBytes(const std::string& bytes, int64_t cutPoint, std::string* trace) {
        test::WriteFile(HomeFile("input.ogg"), bytes);
        const size_t traceBefore = TraceText().size();
        Cut cut = CutFile(HomeFile("input.ogg"), cutPoint);
        *trace = TraceText().substr(traceBefore);
        return cut;
    }
};

TEST_F(OggCutTest, BothHalvesDecodeToTheirSamples) {
    // A cut exactly on a page's granule position puts the whole page first.
    const int64_t pageEnd = test::OggPages(test::ReadFile(Chunk(1))).at(2).granule;
    ASSERT_GT(pageEnd, 0);
    ASSERT_LT(pageEnd, kChunkFrames);
    const int serial = FirstSerial(Chunk(1));
    for (int64_t cut : {int64_t{0}, int64_t{1}, int64_t{30000}, pageEnd, kChunkFrames - 3000,
                        kChunkFrames - 100}) {
        SCOPED_TRACE(cut);
        const Cut c = CutFile(Chunk(1), cut);
        EXPECT_EQ(c.result, 0);
        ExpectLinks(c.first, {cut}, {0});
        EXPECT_EQ(c.first.links.at(0).serial, serial);
        if (cut == kChunkFrames - 100) {
            // The last packet's output ends after the stream's end: what
            // follows the cut cannot be told apart from what the end drops.
            EXPECT_EQ(c.secondBytes, "");
            EXPECT_TRUE(
                Has(TraceText(), "Cut point within the last packet; the 100 samples after it"));
            continue;
        }
        ExpectLinks(c.second, {kChunkFrames - cut}, {cut});
        EXPECT_NE(c.second.links.at(0).serial, serial);
    }
}

TEST_F(OggCutTest, DamagedAudioIsSkipped) {
    const std::string chunk = test::ReadFile(Chunk(1));
    const std::vector<test::OggPage> pages = test::OggPages(chunk);
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
    const std::vector<long> blocks = test::BlockSizesOnPage(chunk, 2);
    ASSERT_GE(blocks.size(), 2u);
    const int64_t perCopy = pages[2].granule + (blocks.back() + blocks.front()) / 4;
    // The second part begins where the audio comes back, on a packet
    // boundary near the lost page's end; page 2 again and again brings its
    // audio again and again, with more errors than the trace shows.
    const std::tuple<std::string, int64_t, int64_t, bool> cases[] = {
        {page(0) + page(1) + noise + page(3), kChunkFrames - pages[2].granule, 2048, false},
        {manyBad, kChunkFrames - 1000 + (kCopies - 1) * perCopy, 0, true}};
    for (const auto& [bytes, secondFrames, tolerance, capped] : cases) {
        std::string trace;
        const Cut cut = CutBytes(bytes, 1000, &trace);
        size_t lines = 0;
        for (size_t at = 0; (at = trace.find("ERR: ", at)) != std::string::npos; ++at) ++lines;
        EXPECT_LE(lines, 10u) << trace;
        EXPECT_EQ(Has(trace, "Further errors of this input are not traced"), capped);
        EXPECT_EQ(cut.result, 0);
        EXPECT_TRUE(cut.second.valid);
        EXPECT_NEAR(double(cut.second.Frames()), double(secondFrames), double(tolerance));
    }
}

TEST_F(OggCutTest, BadInputCutsNothing) {
    const std::string chunk = test::ReadFile(Chunk(1));
    const std::vector<test::OggPage> pages = test::OggPages(chunk);
    const char* const notWithin = "Cutpoint not within stream. Second file will be empty";
    std::string badSetup = chunk;
    badSetup[pages[1].offset + 100] ^= 0x55;
    struct Case {
        const char* name;
        std::string bytes;
        int64_t cut;
        std::vector<const char*> traces;
        int64_t firstFrames;  // -1: first output empty; else what there is stays a complete stream
    };
    const std::vector<Case> cases = {
        {"empty", "", 1000, {"Input not ogg.", "Error reading headers"}, -1},
        {"garbage", std::string(10000, '\x17'), 1000, {"Input not ogg."}, -1},
        {"first page only", chunk.substr(0, pages[0].length), 1000, {"EOF in headers"}, -1},
        {"corrupt setup header", badSetup, 1000, {"Secondary header corrupt"}, -1},
        {"without its last page",
         chunk.substr(0, pages.back().offset),
         1000000,
         {"Setting eos: update sync returned 0", notWithin},
         pages.end()[-2].granule},
        {"cut after the end",
         chunk,
         kChunkFrames + 10,
         {"Found EOS before cut point.", notWithin},
         kChunkFrames},
        {"negative cut", chunk, -5, {"Ogg cut at sample -5, before the first"}, -1},
        // Found by fuzzing: the page arithmetic relative to the cut overflowed.
        {"cut near the lowest int64", chunk, INT64_MIN + 1200,
         {"Ogg cut at sample -9223372036854774608, before the first"}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string trace;
        const Cut cut = CutBytes(c.bytes, c.cut, &trace);
        EXPECT_EQ(cut.result, -1);
        for (const char* line : c.traces) EXPECT_TRUE(Has(trace, line));
        EXPECT_EQ(cut.secondBytes, "");
        if (c.firstFrames < 0) {
            EXPECT_EQ(cut.firstBytes, "");
        } else {
            ExpectLinks(cut.first, {c.firstFrames}, {0});
        }
    }
}

// The pieces of an export (whole chunks copied, halves of cut ones) are
// checked through ExportOggTrack above; what it cannot reach is a piece
// whose discarded half has no folder to go to.
TEST_F(OggCutTest, PieceWithoutATemporaryFolderIsEmpty) {
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
