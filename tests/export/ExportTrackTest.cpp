// Cutting MP3 tracks out of chunk files, on streams of hand-built frames of
// exactly 417 bytes cut into chunks at offsets that are no frame boundaries,
// as the encoder's running bit stream is: the expected bytes follow from the
// offsets alone. The recorded-audio path runs end to end in ExportRunTest.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <set>

#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "descriptions/Description.h"
#include "export/ExportProgress.h"
#include "export/ExportTrack.h"
#include "export/Id3Tag.h"
#include "export/Mp3Frame.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"
#include "support/Mp3Frames.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using test::SameBytes;

std::string Header(int bitrateIndex) {
    return {'\xFF', '\xFB', static_cast<char>(bitrateIndex << 4), '\x64'};
}

std::string Frames(int count, int bitrateIndex = 9, uint64_t seed = 1) {
    return test::MakeFrames({test::Mpeg::k1, false, false, 0, bitrateIndex}, count, {100}, nullptr,
                            seed);
}

TEST(ExportTrackFrameTest, HeaderBits) {
    const std::pair<const char*, bool> cases[] = {
        {"\xFF\xFB\x90\x64", true},  {"\xFF\xFA\x90\x64", true},   // with CRC
        {"\xFF\xF3\x90\x64", true},  {"\xFF\xE3\x90\x64", true},   // MPEG-2, MPEG-2.5
        {"\xFF\xFB\xE6\x64", true},  {"\xFE\xFB\x90\x64", false},  // bitrate 14; no sync
        {"\xFF\xDB\x90\x64", false}, {"\xFF\xEB\x90\x64", false},  // sync bits, reserved version
        {"\xFF\xFD\x90\x64", false}, {"\xFF\xFF\x90\x64", false},  // Layer II, Layer I
        {"\xFF\xF9\x90\x64", false}, {"\xFF\xFB\xF0\x64", false},  // reserved layer, bitrate 15
        {"\xFF\xFB\x9C\x64", false}, {"\xFF\xFB\x00\x64", true},   // reserved rate; free format
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(IsMp3FrameHeader(reinterpret_cast<const uint8_t*>(cases[i].first)),
                  cases[i].second)
            << i;
}

TEST(ExportTrackFrameTest, LengthFromTheFirstConfirmedHeader) {
    test::TempDir dir;
    // A false header (128 kbit/s) inside leading junk: one frame length later
    // there is no header, so the real 64 kbit/s frames decide.
    const std::string junk = "abc" + Header(9) + std::string(500, 'j');
    const std::pair<std::string, int64_t> cases[] = {
        {Frames(3, 9), 417},
        {Frames(3, 1), 104},
        {Frames(3, 14), 1044},
        {std::string(100, 'x') + Frames(3, 9), 417},
        {junk + Frames(2, 5), 208},
        {std::string(10, 'x') + Header(9), 417},  // one header at the very end
        {std::string(3000, 'x'), -1},
        {"", -1},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        test::WriteFile(dir.File("chunk.mp3"), cases[i].first);
        EXPECT_EQ(GetMp3FrameLength(dir.File("chunk.mp3")), cases[i].second) << i;
    }
    EXPECT_EQ(GetMp3FrameLength(dir.File("missing.mp3")), -1);
    test::WriteFile(dir.File("ro.mp3"), Frames(2));  // read access is all it needs
    ::chmod(dir.File("ro.mp3").c_str(), 0444);
    EXPECT_EQ(GetMp3FrameLength(dir.File("ro.mp3")), 417);
}

TEST(ExportTrackFrameTest, NumberIsTheTruncatedProductOfTheTimeInTheChunk) {
    const MP3SingleSaving s{1'000'000, 10'000, 60'000, nullptr, {}};
    // 6400 x 0.03828125 is exactly 245; the factor one unit below it gives
    // 244.99999999999997, and the stored frame numbers say 244. Before the
    // chunk the number goes toward zero.
    const std::tuple<int, StreamTime, int64_t> cases[] = {{1, 1'001'000, 38},  {1, 1'003'200, 122},
                                                          {1, 1'006'400, 244}, {3, 1'029'999, 382},
                                                          {2, 1'010'000, 0},   {2, 1'009'000, -38}};
    for (const auto& [chunk, t, frame] : cases) EXPECT_EQ(Mp3FrameNumber(s, chunk, t), frame) << t;
}

class ExportTrackCopyRangeTest : public test::TempHomeTest {
protected:
    // Copies [from, to) of each piece in turn through one sync window.
    std::string Copy(const std::vector<std::string>& pieces, const std::vector<int64_t>& from,
                     const std::vector<int64_t>& to, int64_t* written) {
        std::FILE* out = std::fopen(HomeFile("out.mp3").c_str(), "wb");
        Mp3SyncWindow sync;
        *written = 0;
        for (size_t i = 0; i < pieces.size(); ++i) {
            test::WriteFile(HomeFile("in"), pieces[i]);
            std::FILE* in = std::fopen(HomeFile("in").c_str(), "rb");
            *written += CopyMp3Range(in, out, from[i], to[i], sync, m_progress);
            std::fclose(in);
        }
        std::fclose(out);
        m_synced = sync.synced;
        return test::ReadFile(HomeFile("out.mp3"));
    }
    SilentExportProgress m_progress;
    bool m_synced = false;
};

TEST_F(ExportTrackCopyRangeTest, StartMovesToTheNextConfirmedFrameHeader) {
    const std::string s = Frames(10);  // frames at 0, 417, 834, ...
    const auto end = static_cast<int64_t>(s.size());
    // Bytes in frame bodies that look like a header (as audio data often
    // does) with no header a frame length later; then two real-looking
    // headers a frame length apart, which are not enough; then three, which are.
    std::string f = s;
    f.replace(100, 4, Header(3));
    f.replace(430, 4, std::string("\xFF\xF3\x10\x00", 4));  // MPEG-2, 8 kbit/s: 26 bytes
    std::string two = f;
    two.replace(1000, 4, Header(9));
    two.replace(1417, 4, Header(9));
    std::string three = two;
    three.replace(1834, 4, Header(9));
    struct Case {
        const char* label;
        std::vector<std::string> pieces;
        std::vector<int64_t> from, to;
        std::string expected;
    } const cases[] = {
        {"from inside frame 1", {s}, {500}, {3000}, s.substr(834, 3000 - 834)},
        {"from a header", {s}, {417}, {1000}, s.substr(417, 1000 - 417)},
        {"from one byte past a header", {s}, {418}, {4170}, s.substr(834, 4170 - 834)},
        {"to past the end stops at the end", {s}, {100}, {100000}, s.substr(417)},
        {"no frame starts before the end", {s}, {500}, {800}, ""},
        // Only the first piece is searched: the second begins inside a frame,
        // as a chunk of a running bit stream does, and goes whole.
        {"second piece from its first byte",
         {s.substr(0, 1000), s.substr(1000)},
         {200, 0},
         {1000, 1502},
         s.substr(417, 1502 + 1000 - 417)},
        // The first piece ends two bytes into a header: the window carries
        // them into the second piece's search.
        {"search across pieces",
         {s.substr(0, 836), s.substr(836)},
         {420, 0},
         {836, end - 836},
         s.substr(834)},
        {"false header", {f}, {10}, {end}, f.substr(417)},
        {"false header of another version", {f}, {420}, {end}, f.substr(834)},
        {"two headers are not enough", {two}, {840}, {end}, two.substr(1251)},
        {"three headers are", {three}, {840}, {end}, three.substr(1000)},
        {"a failing seek copies nothing", {s}, {-417}, {800}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        m_progress = SilentExportProgress();
        int64_t written = -1;
        EXPECT_TRUE(SameBytes(Copy(c.pieces, c.from, c.to, &written), c.expected));
        EXPECT_EQ(written, static_cast<int64_t>(c.expected.size()));
        EXPECT_EQ(m_progress.position, written);
        EXPECT_EQ(m_synced, !c.expected.empty());
        // Only the seek that fails is reported.
        const std::vector<std::string> lines = EventLog::Instance().ReadLines();
        EXPECT_EQ(lines.size(), c.from[0] < 0 ? 1u : 0u);
        EXPECT_TRUE(lines.empty() || lines[0].find("Error saving...") != std::string::npos);
    }
}

class ExportTrackDirectoriesTest : public test::TempHomeTest {};

TEST_F(ExportTrackDirectoriesTest, FromTheConfigurationAndCreatedOneLevelDeep) {
    EXPECT_EQ(ExportDirectories::ForMusicFolder("/music/Songs/").badcut, "/music/Songs/badcut");
    EXPECT_EQ(ExportDirectories::FromConfig().music, HomeFile("Songs"));
    for (const std::string& value :
         {std::string(), std::string("RETURN_KEY_NOT_FOUND"), HomeFile("Music")}) {
        ConfigStore config;
        config.Load();
        config.SetString("ExportPath", value);
        ASSERT_TRUE(config.Save());
        EXPECT_EQ(ExportDirectories::FromConfig().music,
                  HomeFile(value.starts_with("/") ? "Music" : "Songs"));
    }
    const ExportDirectories d = ExportDirectories::FromConfig();
    EXPECT_EQ(d.temp, HomeFile("Music/temp"));
    EXPECT_TRUE(d.Ensure());
    EXPECT_TRUE(fs::is_directory(d.temp) && fs::is_directory(d.badcut));
    EXPECT_FALSE(ExportDirectories::ForMusicFolder(HomeFile("a/b/c")).Ensure());  // one level only
    EXPECT_FALSE(fs::exists(HomeFile("a")));
}

// Six chunks of 2 s, 32000 bytes each (the last one shorter), of 460 frames.
constexpr int64_t kChunkBytes = 32000;
const DateTime kSessionStart(2024, 3, 1, 12, 0, 0);

class ExportTrackTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        TraceToHome();
        m_dirs = ExportDirectories::ForMusicFolder(HomeFile("Songs"));
        m_track.artist = "Artist";
        m_track.title = "Title";
        m_track.genre = 17;
    }
    // The stream's chunks; `before` may change the folder before the stream
    // info is read.
    void MakeStream(const std::function<void()>& before = {}) {
        fs::remove_all(HomeFile("stream"));
        fs::create_directories(HomeFile("stream"));
        for (int n = 1; n <= 6; ++n) {
            test::WriteFile(Chunk(n), m_stream.substr(size_t((n - 1) * kChunkBytes), kChunkBytes));
            test::WriteFile(Chunk(n, ".dat"), std::string(1000, '\x10'));
        }
        if (before) before();
        m_info = StreamInfo();
        m_info.folder = HomeFile("stream");
        UpdateStreamInfo(m_info);
        ASSERT_EQ(m_info.sessions.size(), 1u);
    }
    std::string Chunk(int n, const char* ext = ".mp3") const {
        return FolderFile(HomeFile("stream"), ChunkBaseName(kSessionStart, 12, 2, n) + ext);
    }
    std::string Export(StreamTime from, StreamTime to, const std::string& name = "Artist - Title",
                       std::string* missing = nullptr) {
        const StreamTime s0 = kSessionStart.ToStreamTime();
        return ExportTrack(m_info, s0 + from, s0 + to, name, m_track, m_dirs, false, m_progress,
                           missing);
    }
    // The audio of an exported file, after checking that the tag ends it.
    std::string Audio(const std::string& path) const {
        const std::string bytes = test::ReadFile(path);
        const auto tag = BuildId3v1Tag(m_track);
        EXPECT_TRUE(bytes.ends_with(std::string(tag.begin(), tag.end())));
        // The audio lies between the ID3v2.4 tag at the front and ID3v1.
        EXPECT_EQ(bytes.substr(0, 4), std::string("ID3\x04", 4));
        size_t front = 0;
        if (bytes.size() >= 10 && bytes.starts_with("ID3")) {
            const auto* t = reinterpret_cast<const uint8_t*>(bytes.data());
            front = 10 + ((size_t(t[6]) << 21) | (size_t(t[7]) << 14) | (size_t(t[8]) << 7) | t[9]);
        }
        const size_t end = bytes.size() - std::min<size_t>(bytes.size(), 128);
        return front < end ? bytes.substr(front, end - front) : std::string();
    }
    std::vector<std::string> TempFiles() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(m_dirs.temp))
            names.push_back(e.path().filename());
        return names;
    }

    const std::string m_stream = Frames(460);
    StreamInfo m_info;
    ExportDirectories m_dirs;
    Description m_track;
    SilentExportProgress m_progress;
};

// Nominal offsets: 0.2 s into a chunk is frame 7 (2919), 0.5 s frame 19
// (7923), 1 s frame 38 (15846), 1.3 s frame 49 (20433), 1.5 s frame 57
// (23769), 1.7 s frame 65 (27105). The start moves to the next frame
// boundary at or after its offset; the end offset cuts a frame, which is
// dropped, and so is the frame a gap cuts in two.
TEST_F(ExportTrackTest, PiecesAtChunkBoundariesAndMissingData) {
    const auto s = [&](int64_t from, int64_t to) {
        return m_stream.substr(size_t(from), size_t(to - from));
    };
    struct Case {
        const char* label;
        char damage;  // chunk `chunk` after the stream info was read: 'r' removed, 'e' emptied, 'c'
                      // cut
        int chunk;    // to 16000 bytes; 6 with 'n': never recorded
        StreamTime from, to;
        std::string expected;
        const char* trace;    // expected in the trace, or nullptr
        const char* missing;  // what the song lacks, "" when whole
    };
    const Case cases[] = {
        {"three chunks", 0, 0, 1500, 5300, s(23769, 202 * 417), nullptr, ""},
        {"within one chunk", 0, 0, 6200, 7700, s(238 * 417, 295 * 417), nullptr, ""},
        // The next chunk is not even opened.
        {"end on a chunk boundary", 'r', 4, 2500, 6000, s(96 * 417, 230 * 417), nullptr, ""},
        {"missing middle chunk", 'r', 2, 1500, 5300, s(23769, 32000) + s(64000, 202 * 417),
         "[L 1242] Error opening file ", "lacks 2.0 s of audio (chunk 2 cannot be read)"},
        {"missing last chunk", 'r', 3, 1500, 5300, s(23769, 153 * 417),
         "[L 1259] Error opening file", "lacks 1.3 s of audio (chunk 3 cannot be read)"},
        {"end after the session", 0, 0, 9000, 30000, s(345 * 417, 460 * 417),
         "the end lies after the recorded data", ""},
        {"end after the last chunk on disk", 'n', 6, 9000, 11500, s(345 * 417, 383 * 417), nullptr,
         ""},
        {"empty middle chunk", 'e', 2, 1500, 5300, s(23769, 32000) + s(64000, 202 * 417), nullptr,
         "lacks 2.0 s of audio (chunk 2 gave no audio)"},
        {"middle chunk cut short", 'c', 2, 1500, 5300, s(23769, 48000) + s(64000, 202 * 417),
         nullptr, "lacks 1.0 s of audio (chunk 2 gave 1.0 s of 2.0 s)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        MakeStream([&] {
            if (c.damage == 'n') fs::remove(Chunk(6)), fs::remove(Chunk(6, ".dat"));
        });
        if (c.damage == 'r') fs::remove(Chunk(c.chunk));
        if (c.damage == 'e' || c.damage == 'c')
            fs::resize_file(Chunk(c.chunk), c.damage == 'c' ? 16000 : 0);
        const size_t traceBefore = TraceText().size();
        std::string missing = "not set";
        const std::string path = Export(c.from, c.to, "Artist - Title", &missing);
        ASSERT_EQ(path, m_dirs.temp + "/Artist - Title.mp3");
        EXPECT_TRUE(SameBytes(Audio(path), c.expected));
        EXPECT_EQ(missing, c.missing);
        const std::string trace = TraceText().substr(traceBefore);
        EXPECT_TRUE(!c.trace || trace.find(c.trace) != std::string::npos) << trace;
        // The chunk that could not be opened is named; no other is missed.
        const bool opened = c.damage != 'r' || c.chunk == 4;
        EXPECT_EQ(trace.find("Error opening") == std::string::npos, opened) << trace;
        EXPECT_TRUE(opened || trace.find(Chunk(c.chunk, "")) != std::string::npos) << trace;
        fs::remove(path);
    }
    // The bar counts the bytes copied, the dropped part of the last frame too.
    MakeStream();
    const std::string audio = Audio(Export(1500, 5300));
    EXPECT_EQ(m_progress.fileName, "Artist - Title.mp3");
    EXPECT_EQ(m_progress.low, 23769);
    EXPECT_GE(m_progress.position - m_progress.low, static_cast<int64_t>(audio.size()));
    EXPECT_LT(m_progress.position - m_progress.low, static_cast<int64_t>(audio.size()) + 418);
    EXPECT_NEAR(double(m_progress.high), double(m_progress.position), 4 * 418);
    EXPECT_TRUE(fs::is_directory(m_dirs.badcut));
}

TEST_F(ExportTrackTest, NoSessionNoAudioNoTrackNoFolder) {
    MakeStream([&] {
        test::WriteFile(Chunk(2), std::string(30000, '\0'));  // no frame anywhere
    });
    fs::remove(Chunk(3));
    test::WriteFile(HomeFile("file"), "x");
    const std::string bad = HomeFile("file/sub"), good = HomeFile("Songs");
    const ExportDirectories dirs = m_dirs;
    struct Case {
        StreamTime from, to;
        const char* trace;
        ExportDirectories dirs;
    } const cases[] = {
        {-5000, 1000, "because of NULL MP3SingleSaving*", dirs},   // before the session
        {60000, 70000, "because of NULL MP3SingleSaving*", dirs},  // after the recording
        {1000, 1000, nullptr, dirs},
        {3000, 1000, "because it ends before it starts", dirs},
        {1000, 1010, "no audio could be read", dirs},  // shorter than a frame
        {2500, 3500, "export failed for file Artist - Title: no audio could be read", dirs},
        {4500, 5000, "Error opening file", dirs},
        {1000,
         2000,
         "the export directory could not be created",
         {bad, good + "/temp", good + "/badcut"}},
        {1000,
         2000,
         "the export temp directory could not be created",
         {good, bad, good + "/badcut"}},
        {1000,
         2000,
         "the export badcut directory could not be created",
         {good, good + "/temp", bad}},
    };
    for (const Case& c : cases) {
        m_dirs = c.dirs;
        const size_t traceBefore = TraceText().size();
        EXPECT_EQ(Export(c.from, c.to), "") << c.from << " " << (c.trace ? c.trace : "");
        EXPECT_TRUE(!c.trace || TraceText().find(c.trace, traceBefore) != std::string::npos)
            << c.trace;
    }
    m_dirs = dirs;
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(ExportTrackTest, NamesAvoidTheMusicFolderEarlierResultsAndLinks) {
    MakeStream();
    fs::create_directories(m_dirs.music);
    test::WriteFile(m_dirs.music + "/Artist - Title.mp3", "older");
    const std::string first = Export(1000, 2000);
    EXPECT_EQ(first, m_dirs.temp + "/Artist - Title_2.mp3");
    // The first result still waits in the temporary folder: kept apart.
    const std::string second = Export(3000, 4000);
    EXPECT_EQ(second, m_dirs.temp + "/Artist - Title_3.mp3");
    EXPECT_EQ(test::ReadFile(m_dirs.music + "/Artist - Title.mp3"), "older");
    EXPECT_NE(test::ReadFile(first), test::ReadFile(second));
    // A link under a free-looking name is no free name; its target stays untouched.
    test::WriteFile(HomeFile("victim"), "keep");
    fs::create_symlink(HomeFile("victim"), m_dirs.temp + "/Artist - Title_4.mp3");
    EXPECT_EQ(Export(1000, 2000), m_dirs.temp + "/Artist - Title_5.mp3");
    EXPECT_EQ(test::ReadFile(HomeFile("victim")), "keep");
}

bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<uint8_t>(s[i]);
        const size_t n = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST_F(ExportTrackTest, HostileNamesStayInTheTemporaryFolder) {
    MakeStream();
    const std::pair<std::string, std::string> names[] = {
        // the name, the file ("": rules only)
        {"../../outside", "___.._outside.mp3"},
        {"AC/DC - Back", "AC_DC - Back.mp3"},
        {".", "_.mp3"},
        {"..", "__.mp3"},
        {".hidden", "_hidden.mp3"},
        {"", "_.mp3"},
        {std::string("a\nb\tc\x01\x7F", 7) + std::string(1, '\0') + "d", "a_b_c___d.mp3"},
        {"Artist: Title", "Artist: Title.mp3"},
        {std::string(300, 'x'), std::string(251, 'x') + ".mp3"},
        {Repeat("\xC3\xA9", 200), ""},
        {"a" + Repeat("\xE2\x82\xAC", 100), ""},
    };
    for (const auto& [name, expected] : names) {
        SCOPED_TRACE(name);
        // The second export of a name gets a numbered name within the limit too.
        std::set<std::string> made;
        for (int n = 1; n <= 2; ++n) {
            const std::string path = Export(6200, 6700, name);
            ASSERT_EQ(fs::path(path).parent_path().string(), m_dirs.temp);
            const std::string file = fs::path(path).filename().string();
            EXPECT_LE(file.size(), 255u);
            EXPECT_NE(file.front(), '.');
            EXPECT_TRUE(ValidUtf8(file));
            for (char ch : file) EXPECT_FALSE(static_cast<uint8_t>(ch) < 0x20 || ch == 0x7F);
            EXPECT_TRUE(n == 2 ? file.ends_with("_2.mp3") : expected.empty() || file == expected)
                << file;
            made.insert(file);
        }
        // Both files are in the temporary folder and nothing else was made.
        const std::vector<std::string> temp = TempFiles();
        EXPECT_EQ(std::set<std::string>(temp.begin(), temp.end()), made);
        for (const std::string& f : made) fs::remove(m_dirs.temp + "/" + f);
    }
    for (const auto& e : fs::directory_iterator(m_dirs.music))
        EXPECT_TRUE(e.path().filename() == "temp" || e.path().filename() == "badcut") << e.path();
    for (const auto& e : fs::directory_iterator(HomeFile(""))) {
        const std::string n = e.path().filename().string();
        EXPECT_TRUE(n == "Songs" || n == "stream" || n.starts_with("Log")) << n;
    }
}

}  // namespace
}  // namespace wk
