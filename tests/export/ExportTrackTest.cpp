#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/ProgramHome.h"
#include "core/Trace.h"
#include "descriptions/Description.h"
#include "export/ExportProgress.h"
#include "export/ExportTrack.h"
#include "export/Id3Tag.h"
#include "export/Mp3Frame.h"
#include "platform/GeneratedMusic.h"
#include "recording/ChunkEncoder.h"
#include "recording/SideFileCalculator.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"
#include "support/Mp3Decode.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;

// Equal byte strings; a difference is told by sizes and first offset, not
// by printing audio data.
::testing::AssertionResult SameBytes(const std::string& a, const std::string& b) {
    if (a == b) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return ::testing::AssertionFailure()
           << a.size() << " bytes and " << b.size() << " bytes differ from offset " << i;
}

// ---------------------------------------------------------------------------
// Synthetic frames: MPEG-1 Layer III, 44.1 kHz, joint stereo, no CRC.

std::string Header(int bitrateIndex) {
    return {'\xFF', '\xFB', static_cast<char>(bitrateIndex << 4), '\x64'};
}

// `count` whole frames with bodies of letters (never 0xFF, so no header hides in them).
std::string Frames(int count, int bitrateIndex = 9) {
    static const int kbps[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    std::string s;
    for (int i = 0; i < count; ++i) {
        std::string f = Header(bitrateIndex);
        f.resize(static_cast<size_t>(144000 * kbps[bitrateIndex] / 44100),
                 static_cast<char>('a' + i % 26));
        s += f;
    }
    return s;
}

TEST(ExportTrackFrameHeaderTest, HeaderBits) {
    struct Case {
        std::string bytes;
        bool header;
        const char* why;
    } const cases[] = {
        {"\xFF\xFB\x90\x64", true, "MPEG-1 Layer III 128 kbit/s 44.1 kHz"},
        {"\xFF\xFA\x90\x64", true, "with CRC"},
        {"\xFF\xF3\x90\x64", true, "MPEG-2"},
        {"\xFF\xE3\x90\x64", true, "MPEG-2.5"},
        {std::string("\xFF\xFB\x00\x64", 4), true, "free format"},
        {"\xFF\xFB\xE6\x64", true, "bitrate 14, padding"},
        {"\xFE\xFB\x90\x64", false, "first byte not 0xFF"},
        {"\xFF\xDB\x90\x64", false, "sync bits of the second byte missing"},
        {"\xFF\xEB\x90\x64", false, "reserved version"},
        {"\xFF\xFD\x90\x64", false, "Layer II"},
        {"\xFF\xFF\x90\x64", false, "Layer I"},
        {"\xFF\xF9\x90\x64", false, "reserved layer"},
        {"\xFF\xFB\xF0\x64", false, "bitrate index 15"},
        {"\xFF\xFB\x9C\x64", false, "reserved sample rate"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.bytes.size(), 4u) << c.why;
        EXPECT_EQ(IsMp3FrameHeader(reinterpret_cast<const uint8_t*>(c.bytes.data())), c.header)
            << c.why;
    }
}

TEST(ExportTrackFrameLengthTest, FromTheFirstRealHeader) {
    test::TempDir dir;
    // A false header (128 kbit/s) inside leading junk: one frame length later
    // there is no header, so the real 64 kbit/s frames decide.
    std::string junk = "abc";
    junk += Header(9);
    junk += std::string(500, 'j');
    struct Case {
        const char* label;
        std::string bytes;
        int64_t length;
    } const cases[] = {
        {"128 kbit/s", Frames(3, 9), 417},
        {"32 kbit/s", Frames(3, 1), 104},
        {"320 kbit/s", Frames(3, 14), 1044},
        {"after a part of a frame", std::string(100, 'x') + Frames(3, 9), 417},
        {"a false header in front is passed over", junk + Frames(2, 5), 208},
        {"one header at the very end", std::string(10, 'x') + Header(9), 417},
        {"no header", std::string(3000, 'x'), -1},
        {"empty", "", -1},
    };
    for (const Case& c : cases) {
        const std::string path = dir.File("chunk.mp3");
        test::WriteFile(path, c.bytes);
        EXPECT_EQ(GetMp3FrameLength(path), c.length) << c.label;
    }
    EXPECT_EQ(GetMp3FrameLength(dir.File("missing.mp3")), -1);

    // Read access is all it needs.
    const std::string ro = dir.File("ro.mp3");
    test::WriteFile(ro, Frames(2));
    ::chmod(ro.c_str(), 0444);
    EXPECT_EQ(GetMp3FrameLength(ro), 417);
}

TEST(ExportTrackFrameNumberTest, TruncatedProductOfTheTimeInTheChunk) {
    MP3SingleSaving s;
    s.start = 1'000'000;
    s.length = 10'000;
    s.duration = 60'000;
    struct Case {
        int chunk;
        StreamTime t;
        int64_t frame;
    } const cases[] = {
        {1, 1'001'000, 38},   // 38.28
        {1, 1'003'200, 122},  // 122.5 less one unit in the last place
        // 6400 x 0.03828125 is exactly 245; the factor one unit below it
        // gives 244.99999999999997, and the stored frame numbers say 244.
        {1, 1'006'400, 244},
        {3, 1'029'999, 382},  // 382.77
        {2, 1'010'000, 0},
        {2, 1'009'000, -38},  // before the chunk: toward zero
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Mp3FrameNumber(s, c.chunk, c.t), c.frame) << c.chunk << " " << c.t;
    }
}

// ---------------------------------------------------------------------------
// CopyMp3Range on synthetic pieces.

class ExportTrackCopyRangeTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        EventLog::Instance().Close();
    }
    void TearDown() override {
        EventLog::Instance().Close();
        TempHomeTest::TearDown();
    }
    // Copies [from, to) of each piece in turn through one sync window.
    std::string Copy(const std::vector<std::string>& pieces, const std::vector<int64_t>& from,
                     const std::vector<int64_t>& to, int64_t* written = nullptr) {
        const std::string outPath = HomeFile("out.mp3");
        std::FILE* out = std::fopen(outPath.c_str(), "wb");
        EXPECT_NE(out, nullptr);
        Mp3SyncWindow sync;
        int64_t total = 0;
        for (size_t i = 0; i < pieces.size(); ++i) {
            const std::string inPath = HomeFile("in" + std::to_string(i));
            test::WriteFile(inPath, pieces[i]);
            std::FILE* in = std::fopen(inPath.c_str(), "rb");
            EXPECT_NE(in, nullptr);
            total += CopyMp3Range(in, out, from[i], to[i], sync, m_progress);
            std::fclose(in);
        }
        std::fclose(out);
        if (written) *written = total;
        m_synced = sync.synced;
        return test::ReadFile(outPath);
    }
    SilentExportProgress m_progress;
    bool m_synced = false;
};

TEST_F(ExportTrackCopyRangeTest, StartMovesToTheNextFrameHeader) {
    const std::string s = Frames(10);  // frames at 0, 417, 834, ...
    const auto end = static_cast<int64_t>(s.size());
    // Frame bodies holding bytes that look like a header (as a few bytes of
    // audio data often do) followed by no header a frame length later; then
    // two real-looking headers a frame length apart, which are not enough;
    // then three, which are.
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
        {"more than one block", {s}, {1}, {4000}, s.substr(417, 4000 - 417)},
        {"no frame starts before the end", {s}, {500}, {800}, ""},
        // Only the first piece is searched: the second begins inside a frame,
        // as a chunk of a running bit stream does, and is copied from its
        // first byte.
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
        const std::string got = Copy(c.pieces, c.from, c.to, &written);
        EXPECT_TRUE(SameBytes(got, c.expected));
        EXPECT_EQ(written, static_cast<int64_t>(c.expected.size()));
        EXPECT_EQ(m_progress.position, written);
        EXPECT_EQ(m_synced, !c.expected.empty());
        // Only the seek that fails is reported.
        const std::vector<std::string> lines = EventLog::Instance().ReadLines();
        if (c.from[0] < 0) {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find("Error saving..."), std::string::npos);
        } else {
            EXPECT_TRUE(lines.empty());
        }
    }
}

// ---------------------------------------------------------------------------
// Names.

class ExportTrackNameTest : public ::testing::Test {
protected:
    test::TempDir m_dir;
};

TEST_F(ExportTrackNameTest, NumbersPastFilesButNotPastAFolderOfTheFirstName) {
    struct Case {
        const char* label;
        std::vector<std::string> files, folders;
        std::string expected;
    } const cases[] = {
        {"free", {}, {}, "X.mp3"},
        {"taken once", {"X.mp3"}, {}, "X_2.mp3"},
        {"taken twice", {"X.mp3", "X_2.mp3"}, {}, "X_3.mp3"},
        {"a folder of the first name does not count", {}, {"X.mp3"}, "X.mp3"},
        {"a folder of a numbered name does", {"X.mp3"}, {"X_2.mp3"}, "X_3.mp3"},
        {"only a numbered name taken", {"X_2.mp3"}, {}, "X.mp3"},
        {"another extension is no collision", {"X.ogg"}, {}, "X.mp3"},
        {"a gap is taken", {"X.mp3", "X_3.mp3"}, {}, "X_2.mp3"},
    };
    for (const Case& c : cases) {
        const std::string music = m_dir.File(std::string("m") + std::to_string(&c - cases));
        fs::create_directories(music);
        for (const auto& f : c.files) test::WriteFile(music + "/" + f, "x");
        for (const auto& d : c.folders) fs::create_directories(music + "/" + d);
        EXPECT_EQ(CollisionFreeName(music, "X", ".mp3"), c.expected) << c.label;
    }
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
        for (size_t k = 1; k < n; ++k) {
            if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += n;
    }
    return true;
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

struct HostileName {
    const char* label;
    std::string name;
    std::string expected;  // the file name, "" to check the rules only
};

std::vector<HostileName> HostileNames() {
    return {
        {"a path upwards", "../../outside", "___.._outside.mp3"},
        {"a slash", "AC/DC - Back", "AC_DC - Back.mp3"},
        {"dot", ".", "_.mp3"},
        {"dot dot", "..", "__.mp3"},
        {"a hidden name", ".hidden", "_hidden.mp3"},
        {"empty", "", "_.mp3"},
        {"control characters", std::string("a\nb\tc\x01\x7F", 7) + std::string(1, '\0') + "d",
         "a_b_c___d.mp3"},
        {"a colon stays", "Artist: Title", "Artist: Title.mp3"},
        {"300 characters", std::string(300, 'x'), std::string(251, 'x') + ".mp3"},
        {"two-byte characters", Repeat("\xC3\xA9", 200), ""},
        {"three-byte characters", "a" + Repeat("\xE2\x82\xAC", 100), ""},
    };
}

void ExpectHarmlessFileName(const std::string& file, const std::string& label) {
    EXPECT_LE(file.size(), 255u) << label;
    EXPECT_EQ(file.find('/'), std::string::npos) << label;
    EXPECT_NE(file.front(), '.') << label;
    EXPECT_TRUE(file.ends_with(".mp3")) << label;
    EXPECT_TRUE(ValidUtf8(file)) << label;
    for (char c : file) EXPECT_FALSE(static_cast<uint8_t>(c) < 0x20 || c == 0x7F) << label;
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
                  HomeFile(value.starts_with("/") ? "Music" : "Songs"))
            << value;
    }
    const ExportDirectories d = ExportDirectories::FromConfig();
    EXPECT_EQ(d.temp, HomeFile("Music/temp"));
    EXPECT_TRUE(d.Ensure());
    EXPECT_TRUE(fs::is_directory(d.temp));
    EXPECT_TRUE(fs::is_directory(d.badcut));
    // One level only.
    EXPECT_FALSE(ExportDirectories::ForMusicFolder(HomeFile("a/b/c")).Ensure());
    EXPECT_FALSE(fs::exists(HomeFile("a")));
}

// ---------------------------------------------------------------------------
// Exports from a stream recorded with the project's encoder.

constexpr int kChunkSeconds = 2;
constexpr int kChunks = 6;
const DateTime kSessionStart(2024, 3, 1, 12, 0, 0);

// Encodes kChunks chunks of generated music at 128 kbit/s into `folder` as a
// recording session would name them, and pads the ".dat" files of these
// short chunks to the size the stream info asks for.
void EncodeStream(const std::string& folder) {
    fs::create_directories(folder);
    ChunkEncoder enc;
    enc.SetEngine(kEngineLame);
    enc.SetBitRate(128);
    enc.Open();
    const int64_t duration = int64_t{kChunks} * kChunkSeconds;
    enc.SetFileName(FolderFile(folder, ChunkSessionName(kSessionStart, duration, kChunkSeconds)));
    enc.SetChunkSize(ChunkEncoder::ChunkBytes(2, 44100, kChunkSeconds));
    const int block = enc.StartFile();
    SideFileCalculator side(44100, 2);
    GeneratedMusic music(11, 44100, 2);
    std::vector<int16_t> pcm(static_cast<size_t>(block));
    // One block short of the session's length, so that the last chunk ends
    // with the encoder's flush, as a recording's last chunk does.
    const int64_t frames = duration * 44100 - block / 2;
    for (int64_t done = 0; done < frames; done += block / 2) {
        music.Render(pcm.data(), block / 2);
        side.AddBlock(pcm);
        enc.SetSideBlocks(side.Dat(), side.Fgp());
        enc.EncodeBlock(pcm.data(), block);
    }
    enc.FlushFile();
    enc.StopFile();
    enc.Close();
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".dat") fs::resize_file(entry.path(), 1000);
    }
}

class ExportTrackTest : public test::TempHomeTest {
protected:
    static void SetUpTestSuite() {
        s_dir = new test::TempDir;
        SetProgramHome(s_dir->Path());
        EncodeStream(s_dir->File("stream"));
        SetProgramHome("");
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        TempHomeTest::SetUp();
        SetClock(&m_clock);
        SetTraceFileBase(HomeFile("Log"));
        SetTraceLevel(kTraceDetail);
        EventLog::Instance().Close();
        m_dirs = ExportDirectories::ForMusicFolder(HomeFile("Songs"));
        m_track.artist = "Artist";
        m_track.title = "Title";
        m_track.album = "Album";
        m_track.year = "2024";
        m_track.genre = 17;
    }
    void TearDown() override {
        EventLog::Instance().Close();
        SetTraceLevel(0);
        SetTraceFileBase("");
        SetClock(nullptr);
        TempHomeTest::TearDown();
    }

    // A copy of the encoded stream for this test; `before` may change the
    // folder before the stream info is read.
    void UseStream(const std::function<void(const std::string&)>& before = {}) {
        const std::string folder = HomeFile("stream");
        fs::copy(s_dir->File("stream"), folder);
        if (before) before(folder);
        m_info.folder = folder;
        UpdateStreamInfo(m_info);
        ASSERT_EQ(m_info.sessions.size(), 1u);
        m_s0 = m_info.sessions[0].start;
    }
    std::string ChunkFile(int n) const {
        return FolderFile(
            m_info.folder.empty() ? HomeFile("stream") : m_info.folder,
            ChunkBaseName(kSessionStart, kChunks * kChunkSeconds, kChunkSeconds, n) + ".mp3");
    }
    std::string Chunk(int n) const { return test::ReadFile(ChunkFile(n)); }
    std::string Export(StreamTime from, StreamTime to, const std::string& name = "Artist - Title",
                       std::string* missing = nullptr) {
        return ExportTrack(m_info, m_s0 + from, m_s0 + to, name, m_track, m_dirs, false,
                           m_progress, missing);
    }
    std::string TraceText() const {
        const std::string file = CurrentTraceFile();
        return file.empty() ? std::string() : test::ReadFile(file);
    }
    std::string Tag() const {
        const auto tag = BuildId3v1Tag(m_track);
        return std::string(reinterpret_cast<const char*>(tag.data()), tag.size());
    }
    // The audio of an exported file, after checking that the tag ends it.
    std::string Audio(const std::string& path) const {
        const std::string bytes = test::ReadFile(path);
        EXPECT_GT(bytes.size(), 128u);
        if (bytes.size() <= 128) return {};
        EXPECT_EQ(bytes.substr(bytes.size() - 128), Tag());
        return bytes.substr(0, bytes.size() - 128);
    }
    // Checks that `audio` is chunk `first` from a frame start at or after
    // `nominalStart` (less than two frames after it), then `middle`, then
    // the beginning of `last` up to `lastEnd` less the frame that offset cut
    // short: it ends on the last frame boundary at or before `lastEnd`. With
    // `middle` and `last` empty, the piece of the first chunk ends that way.
    void ExpectPieces(const std::string& audio, int first, int64_t nominalStart,
                      const std::string& middle, const std::string& last, int64_t lastEnd) {
        const std::string chunk = Chunk(first);
        ASSERT_GE(audio.size(), 64u);
        EXPECT_TRUE(IsMp3FrameHeader(reinterpret_cast<const uint8_t*>(audio.data())));
        const size_t at = chunk.find(audio.substr(0, 64), static_cast<size_t>(nominalStart));
        ASSERT_NE(at, std::string::npos);
        EXPECT_LT(static_cast<int64_t>(at), nominalStart + 2 * 418);
        if (middle.empty() && last.empty()) {
            ASSERT_LE(at + audio.size(), chunk.size());
            EXPECT_TRUE(SameBytes(audio, chunk.substr(at, audio.size())));
            const auto end = static_cast<int64_t>(at + audio.size());
            EXPECT_LE(end, lastEnd);
            EXPECT_GT(end + 418, lastEnd);
            return;
        }
        const size_t head = chunk.size() - at;
        ASSERT_GE(audio.size(), head + middle.size());
        EXPECT_TRUE(SameBytes(audio.substr(0, head), chunk.substr(at)));
        EXPECT_TRUE(SameBytes(audio.substr(head, middle.size()), middle));
        const size_t k = audio.size() - head - middle.size();
        ASSERT_LE(k, last.size());
        EXPECT_LE(static_cast<int64_t>(k), lastEnd);
        EXPECT_GT(static_cast<int64_t>(k) + 418, lastEnd);
        EXPECT_TRUE(SameBytes(audio.substr(head + middle.size()), last.substr(0, k)));
    }
    // The file decodes without errors and lasts as long as the track within
    // kFrameTolerance frames (78 ms): the nominal offsets (417 bytes a frame
    // where there are 417.96) put the start up to a frame early and the
    // search then moves it forward to the next frame; the frame the end
    // offset cuts is dropped; a chunk's first byte lies up to one encoder
    // block after its nominal time.
    // A gap in the data loses one frame more: the one it cuts in two.
    static constexpr int kFrameTolerance = 3;
    void ExpectDecodesAsLongAs(const std::string& path, StreamTime ms, int tolerance = 0) {
        const test::DecodedMp3 d = test::DecodeMp3File(path);
        EXPECT_EQ(d.errors, 0);
        EXPECT_EQ(d.rate, 44100);
        EXPECT_EQ(d.channels, 2);
        const double frames = static_cast<double>(ms) * 44100 / 1152 / 1000;
        EXPECT_NEAR(d.frames, frames, kFrameTolerance + tolerance);
        EXPECT_EQ(d.samplesPerChannel, int64_t{d.frames} * 1152);
        EXPECT_GT(d.rms, 100);
    }
    std::vector<std::string> TempFiles() const {
        std::vector<std::string> names;
        if (!fs::exists(m_dirs.temp)) return names;
        for (const auto& e : fs::directory_iterator(m_dirs.temp)) {
            names.push_back(e.path().filename().string());
        }
        return names;
    }

    static test::TempDir* s_dir;
    ManualClock m_clock{DateTime(2024, 3, 2, 9, 0, 0)};
    StreamInfo m_info;
    StreamTime m_s0 = 0;
    ExportDirectories m_dirs;
    Description m_track;
    SilentExportProgress m_progress;
};

test::TempDir* ExportTrackTest::s_dir = nullptr;

TEST_F(ExportTrackTest, TrackOverThreeChunks) {
    UseStream();
    // Chunks of 2 s: start 1.5 s into chunk 1 (frame 57), end 1.3 s into
    // chunk 3 (frame 49).
    const std::string path = Export(1500, 5300);
    ASSERT_EQ(path, m_dirs.temp + "/Artist - Title.mp3");
    const std::string audio = Audio(path);
    ExpectPieces(audio, 1, 417 * 57, Chunk(2), Chunk(3), 417 * 49);
    ExpectDecodesAsLongAs(path, 3800);
    EXPECT_EQ(m_progress.fileName, "Artist - Title.mp3");
    // The bar counts the bytes copied, the dropped part of the last frame too.
    const int64_t copied = m_progress.position - m_progress.low;
    EXPECT_GE(copied, static_cast<int64_t>(audio.size()));
    EXPECT_LT(copied, static_cast<int64_t>(audio.size()) + 418);
    EXPECT_EQ(m_progress.low, 417 * 57);
    EXPECT_NEAR(double(m_progress.high), double(m_progress.position), 4 * 418);
    EXPECT_TRUE(fs::is_directory(m_dirs.badcut));
    EXPECT_EQ(TraceText().find("Error opening"), std::string::npos);
}

TEST_F(ExportTrackTest, PiecesAtChunkBoundariesAndMissingData) {
    struct Case {
        const char* label;
        std::vector<int> removed;  // chunk files gone after the stream info was read
        bool neverRecorded6;       // the session stopped before its last chunk
        StreamTime from, to;
        // What ExpectPieces takes: first chunk and its frame, last chunk (0
        // none) and the frame ending the data in it (-1 all).
        int first;
        int64_t startFrame;
        int last;
        int64_t lastEndFrame;
        StreamTime decodedMs;  // 0: not decoded
        const char* trace;     // expected in the trace, or nullptr
        const char* missing;   // what the song lacks, "" when whole
        int cutChunk = 0;      // a chunk cut to its first `keepBytes` bytes
        size_t keepBytes = 0;
    };
    // clang-format off
    const Case cases[] = {
        // Chunk 4 from 0.2 s (frame 7) to 1.7 s (frame 65).
        {"within one chunk", {}, false, 6200, 7700, 4, 7, 0, 65, 1500, nullptr, ""},
        // The next chunk is not even opened.
        {"end on a chunk boundary", {4}, false, 2500, 6000, 2, 19, 3, -1, 3500, nullptr, ""},
        {"missing middle chunk", {2}, false, 1500, 5300, 1, 57, 3, 49, 1800,
         "[L 1242] Error opening file ", "lacks 2.0 s of audio (chunk 2 cannot be read)"},
        {"missing last chunk", {3}, false, 1500, 5300, 1, 57, 2, -1, 0,
         "[L 1259] Error opening file", "lacks 1.3 s of audio (chunk 3 cannot be read)"},
        // 1 s into chunk 5 (frame 38), then the last chunk whole.
        {"end after the session", {}, false, 9000, 30000, 5, 38, 6, -1, 3000,
         "the end lies after the recorded data", ""},
        {"end after the last chunk on disk", {}, true, 9000, 11500, 5, 38, 0, -1, 0, nullptr, ""},
        {"empty middle chunk", {}, false, 1500, 5300, 1, 57, 3, 49, 0, nullptr,
         "lacks 2.0 s of audio (chunk 2 gave no audio)", 2, 0},
        // 16000 bytes: 38 frames and the start of a 39th.
        {"middle chunk cut short", {}, false, 1500, 5300, 1, 57, 3, 49, 0, nullptr,
         "lacks 1.0 s of audio (chunk 2 gave 1.0 s of 2.0 s)", 2, 16000},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(HomeFile("stream"));
        m_info = StreamInfo();
        UseStream([&](const std::string&) {
            if (c.neverRecorded6) {
                fs::remove(ChunkFile(6));
                fs::remove(ChunkFile(6).substr(0, ChunkFile(6).size() - 4) + ".dat");
            }
        });
        for (int n : c.removed) fs::remove(ChunkFile(n));
        if (c.cutChunk) fs::resize_file(ChunkFile(c.cutChunk), c.keepBytes);
        const size_t traceBefore = TraceText().size();
        std::string missing = "not set";
        const std::string path = Export(c.from, c.to, "Artist - Title", &missing);
        ASSERT_EQ(path, m_dirs.temp + "/Artist - Title.mp3");
        EXPECT_EQ(missing, c.missing);
        const std::string last = c.last ? Chunk(c.last) : "";
        const int64_t lastEnd = c.lastEndFrame >= 0 ? 417 * c.lastEndFrame
                                : c.last            ? int64_t(last.size())
                                                    : int64_t(Chunk(c.first).size());
        ExpectPieces(Audio(path), c.first, 417 * c.startFrame, c.cutChunk ? Chunk(c.cutChunk) : "",
                     last, lastEnd);
        const bool gap = c.trace && std::string(c.trace).find("Error opening") != std::string::npos;
        if (c.decodedMs) ExpectDecodesAsLongAs(path, c.decodedMs, gap ? 1 : 0);
        const std::string trace = TraceText().substr(traceBefore);
        if (c.trace) {
            EXPECT_NE(trace.find(c.trace), std::string::npos) << trace;
        }
        if (!gap) {
            EXPECT_EQ(trace.find("Error opening"), std::string::npos) << trace;
        }
        for (int n : gap ? c.removed : std::vector<int>{}) {
            const std::string base = ChunkFile(n).substr(0, ChunkFile(n).size() - 4);
            EXPECT_NE(trace.find(base), std::string::npos) << trace;
        }
        fs::remove(path);
    }
}

TEST_F(ExportTrackTest, NoSessionNoAudioNoTrack) {
    UseStream([&](const std::string&) {
        test::WriteFile(ChunkFile(2), std::string(30000, '\0'));  // no frame anywhere
    });
    fs::remove(ChunkFile(3));
    struct Case {
        const char* label;
        StreamTime from, to;
        const char* trace;
    } const cases[] = {
        {"before the session", -5000, 1000, "because of NULL MP3SingleSaving*"},
        {"after the recording", 60000, 70000, "because of NULL MP3SingleSaving*"},
        {"start equals end", 1000, 1000, nullptr},
        {"end before start", 3000, 1000, "because it ends before it starts"},
        {"shorter than a frame", 1000, 1010, "no audio could be read"},
        {"a chunk without frames", 2500, 3500,
         "export failed for file Artist - Title: no audio could be read"},
        {"a missing chunk", 4500, 5000, "Error opening file"},
    };
    for (const Case& c : cases) {
        const size_t traceBefore = TraceText().size();
        EXPECT_EQ(Export(c.from, c.to), "") << c.label;
        if (c.trace) {
            EXPECT_NE(TraceText().find(c.trace, traceBefore), std::string::npos) << c.label;
        }
    }
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(ExportTrackTest, FoldersThatCannotBeMade) {
    UseStream();
    test::WriteFile(HomeFile("file"), "x");
    const std::string bad = HomeFile("file/sub");
    const std::string good = HomeFile("Songs");
    struct Case {
        ExportDirectories dirs;
        const char* trace;
    } const cases[] = {
        {{bad, good + "/temp", good + "/badcut"}, "the export directory could not be created"},
        {{good, bad, good + "/badcut"}, "the export temp directory could not be created"},
        {{good, good + "/temp", bad}, "the export badcut directory could not be created"},
    };
    for (const Case& c : cases) {
        m_dirs = c.dirs;
        EXPECT_EQ(Export(1000, 2000), "") << c.trace;
        EXPECT_NE(TraceText().find(c.trace), std::string::npos) << c.trace;
    }
}

TEST_F(ExportTrackTest, NamesAvoidTheMusicFolderAndEarlierResults) {
    UseStream();
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

TEST_F(ExportTrackTest, HostileNamesStayInTheTemporaryFolder) {
    UseStream();
    for (const HostileName& h : HostileNames()) {
        SCOPED_TRACE(h.label);
        // The second export of a name gets a numbered name within the limit too.
        std::set<std::string> made;
        for (int n = 1; n <= 2; ++n) {
            const std::string path = Export(6200, 6700, h.name);
            ASSERT_FALSE(path.empty());
            EXPECT_EQ(fs::path(path).parent_path().string(), m_dirs.temp);
            const std::string file = fs::path(path).filename().string();
            ExpectHarmlessFileName(file, h.label);
            if (n == 1 && !h.expected.empty()) {
                EXPECT_EQ(file, h.expected);
            }
            if (n == 2) {
                EXPECT_TRUE(file.ends_with("_2.mp3")) << file;
            }
            EXPECT_TRUE(fs::is_regular_file(path));
            made.insert(file);
        }
        // Both files are in the temporary folder and nothing else was made.
        const std::vector<std::string> temp = TempFiles();
        EXPECT_EQ(std::set<std::string>(temp.begin(), temp.end()), made);
        for (const std::string& f : made) fs::remove(m_dirs.temp + "/" + f);
    }
    std::set<std::string> music;
    for (const auto& e : fs::directory_iterator(m_dirs.music)) {
        music.insert(e.path().filename().string());
    }
    EXPECT_EQ(music, (std::set<std::string>{"temp", "badcut"}));
    for (const auto& e : fs::directory_iterator(HomeFile(""))) {
        const std::string n = e.path().filename().string();
        EXPECT_TRUE(n == "Songs" || n == "stream" || n.starts_with("Log")) << n;
    }
}

// A stream of synthetic frames of exactly 417 bytes, cut into chunks at
// byte offsets that are no frame boundaries, as the encoder's running bit
// stream is: the expected bytes follow from the offsets alone.
class ExportTrackSyntheticTest : public ExportTrackTest {
protected:
    // No encoded stream needed.
    static void SetUpTestSuite() {}
    static void TearDownTestSuite() {}
    void MakeChunks(const std::string& stream, const std::vector<size_t>& cuts) {
        const std::string folder = HomeFile("synthetic");
        fs::create_directories(folder);
        size_t begin = 0;
        for (size_t n = 0; n <= cuts.size(); ++n) {
            const size_t end = n < cuts.size() ? cuts[n] : stream.size();
            const std::string base =
                FolderFile(folder, ChunkBaseName(kSessionStart, 6, 2, static_cast<int>(n + 1)));
            test::WriteFile(base + ".mp3", stream.substr(begin, end - begin));
            test::WriteFile(base + ".dat", std::string(1000, '\x10'));
            begin = end;
        }
        m_info.folder = folder;
        UpdateStreamInfo(m_info);
        ASSERT_EQ(m_info.sessions.size(), 1u);
        m_s0 = m_info.sessions[0].start;
    }
    std::string SyntheticChunk(int n) const {
        return FolderFile(m_info.folder, ChunkBaseName(kSessionStart, 6, 2, n) + ".mp3");
    }
};

TEST_F(ExportTrackSyntheticTest, TheBytesFollowFromTheOffsets) {
    // Chunks cut at 32000 and 64000. 0.5 s into a chunk is frame 19 (7923),
    // 1 s frame 38 (15846), 1.8 s frame 68 (28356).
    const std::string s = Frames(240);
    const auto range = [&](size_t from, size_t to) { return s.substr(from, to - from); };
    struct Case {
        const char* label;
        int removed;  // chunk, 0 none
        StreamTime from, to;
        std::string expected;
    } const cases[] = {
        // The frame cut at 64000 + 15846, inside the frame at 191 x 417, is left out.
        {"three chunks", 0, 500, 5000, range(7923, 191 * 417)},
        // The first frame at or after 32000 + 7923 to the last boundary at or
        // before 32000 + 28356.
        {"within one chunk", 0, 2500, 3800, range(96 * 417, 144 * 417)},
        // Chunk 1 from frame 19 to its end, in the middle of a frame; chunk 3
        // from its first byte to its last frame boundary at or before 15846:
        // its frames begin at 154 x 417 - 64000 = 218 and every 417 bytes after.
        {"after a missing chunk the frames are found again", 2, 500, 5000,
         range(7923, 32000) + range(64000, 64000 + 218 + 37 * 417)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        MakeChunks(s, {32000, 64000});
        if (c.removed) fs::remove(SyntheticChunk(c.removed));
        const size_t traceBefore = TraceText().size();
        const std::string path = Export(c.from, c.to);
        ASSERT_FALSE(path.empty());
        EXPECT_TRUE(SameBytes(Audio(path), c.expected));
        EXPECT_EQ(TraceText().find("[L 1242] Error opening file", traceBefore) != std::string::npos,
                  c.removed != 0);
        fs::remove(path);
    }
}

}  // namespace
}  // namespace wk
