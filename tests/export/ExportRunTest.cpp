// The export run end to end: a recorded generator stream, a description file,
// and the music files it turns into.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "descriptions/DescriptionStore.h"
#include "export/ExportProgress.h"
#include "export/ExportThread.h"
#include "export/ExportTrack.h"
#include "platform/CaptureDeviceGenerator.h"
#include "recording/EngineChoice.h"
#include "recording/RecordingSession.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamNameFile.h"
#include "support/Mp3Decode.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace wk {
namespace {

// Every granule's global_gain of an MPEG-1 Layer III file without CRC,
// in file order (frames found by walking the headers from the first one).
std::vector<int> GlobalGains(const std::string& path) {
    const std::string bytes = test::ReadFile(path);
    static const int kBitrates[] = {0,   32,  40,  48,  56,  64,  80,  96,
                                    112, 128, 160, 192, 224, 256, 320, 0};
    std::vector<int> gains;
    size_t pos = 0;
    while (pos + 4 <= bytes.size() &&
           !(uint8_t(bytes[pos]) == 0xFF && (uint8_t(bytes[pos + 1]) & 0xE0) == 0xE0))
        ++pos;
    while (pos + 40 <= bytes.size()) {
        const auto* h = reinterpret_cast<const uint8_t*>(bytes.data() + pos);
        if (h[0] != 0xFF || (h[1] & 0xFE) != 0xFA) break;  // MPEG-1 Layer III only
        const int bitrate = kBitrates[h[2] >> 4];
        if (bitrate == 0) break;
        const size_t length = size_t(144000 * bitrate / 44100 + ((h[2] >> 1) & 1));
        const bool mono = (h[3] >> 6) == 3;
        const uint8_t* side = h + 4;
        auto bits = [side](int from, int count) {
            int v = 0;
            for (int i = 0; i < count; ++i)
                v = (v << 1) | ((side[(from + i) / 8] >> (7 - (from + i) % 8)) & 1);
            return v;
        };
        const int channels = mono ? 1 : 2;
        int at = 9 + (mono ? 5 : 3) + 4 * channels;
        for (int g = 0; g < 2; ++g)
            for (int c = 0; c < channels; ++c, at += 59) gains.push_back(bits(at + 21, 8));
        pos += length;
    }
    return gains;
}

class ExportRunTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        SetClock(&m_clock);
        StreamNameFile streams;
        streams.load();
        StreamRecord radio;
        radio.name = "Radio1";
        streams.AddCopy(radio);
        ASSERT_TRUE(streams.CreateFolders());
        ASSERT_TRUE(streams.save());
        m_folder = StreamNameFile::StreamRoot() + "Radio1";
        Record(50);
    }
    void TearDown() override {
        SetClock(nullptr);
        TempHomeTest::TearDown();
    }
    // `seconds` of the generator into 10-second MP3 chunks of a session
    // starting at kStart.
    void Record(int seconds) {
        RecordingSession session;
        auto device = std::make_unique<CaptureDeviceGenerator>(7, false);
        device->SetFrameLimit(int64_t{44100} * seconds);
        session.SetDevice(std::move(device));
        session.Configure(kEngineLame, 128, 0, 10,
                          m_folder + "/" + ChunkSessionName(kStart, 3600, 10));
        session.Open();
        session.Start();
        for (int i = 0; i < 5000 && !session.HasEndedByItself(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(session.HasEndedByItself());
        session.Stop();
        session.Close();
    }
    static Description Track(const char* artist, const char* title, int from, int to,
                             bool notIdentified = false) {
        Description d;
        d.artist = artist;
        d.title = title;
        d.album = "Album";
        d.year = "2003";
        d.genre = 17;
        d.start = kStart.ToStreamTime() + from;
        d.end = kStart.ToStreamTime() + to;
        d.notIdentified = notIdentified;
        return d;
    }
    void WriteDescriptions(const std::vector<Description>& tracks) {
        DescriptionStore store(m_folder, "desc");
        for (const Description& d : tracks) store.Add(d);
        ASSERT_TRUE(store.Save());
    }
    std::string Music() const {
        ConfigStore config;
        config.Load();
        return config.GetString("ExportPath");
    }

    static inline const DateTime kStart{2003, 11, 7, 10, 0, 0};
    ManualClock m_clock{DateTime(2003, 11, 7, 12, 0, 0)};
    std::string m_folder;
};

TEST_F(ExportRunTest, TracksBecomeTaggedNormalisedFilesAndLeaveTheDescriptions) {
    WriteDescriptions({Track("Artist A", "Three chunks", 2000, 24000),
                       Track("Artist B", "In one chunk", 25000, 29000, true),
                       Track("Artist C", "Still recording", 40000, 70000)});
    SilentExportProgress progress;
    const ExportRunResult r = StartMusicExport("Radio1", &progress);
    ASSERT_TRUE(r.ran);
    ASSERT_EQ(r.files.size(), 2u);  // C is not completely recorded
    const std::string a = Music() + "/Artist A - Three chunks.mp3";
    const std::string b = Music() + "/badcut/Artist B - In one chunk.mp3";
    EXPECT_EQ(r.files[0].path, a);
    EXPECT_EQ(r.files[1].path, b);
    EXPECT_TRUE(r.files[1].badCut);
    ASSERT_TRUE(fs::exists(a));
    ASSERT_TRUE(fs::exists(b));
    EXPECT_FALSE(fs::exists(Music() + "/temp"));
    EXPECT_EQ(progress.count, 2);

    // Durations within a frame or two of the described lengths.
    const test::DecodedMp3 da = test::DecodeMp3File(a);
    EXPECT_EQ(da.errors, 0);
    EXPECT_NEAR(double(da.samplesPerChannel) / 44100.0, 22.0, 0.08);
    EXPECT_NEAR(double(test::DecodeMp3File(b).samplesPerChannel) / 44100.0, 4.0, 0.08);

    // The ID3v1 tag at the end, byte for byte.
    const std::string bytes = test::ReadFile(a);
    std::string expected = "TAG";
    const auto field = [&expected](const std::string& text, size_t width) {
        expected += text.substr(0, width) + std::string(width - std::min(width, text.size()), '\0');
    };
    field("Three chunks", 30);
    field("Artist A", 30);
    field("Album", 30);
    field("2003", 4);
    field("", 30);
    expected += '\x11';  // genre 17
    EXPECT_EQ(bytes.substr(bytes.size() - 128), expected);

    // Normalised: every granule moved by the same steps against a plain cut.
    ASSERT_TRUE(r.normalized);
    const ExportDirectories plain = ExportDirectories::ForMusicFolder(HomeFile("plain"));
    ASSERT_TRUE(plain.Ensure());
    StreamInfo info;
    info.folder = m_folder;
    UpdateStreamInfo(info);
    SilentExportProgress quiet;
    const Description da0 = Track("Artist A", "Three chunks", 2000, 24000);
    const std::string cut = ExportTrack(info, da0.start, da0.end, "a", da0, plain, false, quiet);
    ASSERT_FALSE(cut.empty());
    const std::vector<int> before = GlobalGains(cut), after = GlobalGains(a);
    ASSERT_EQ(before.size(), after.size());
    ASSERT_GT(before.size(), 1000u);
    for (size_t i = 0; i < before.size(); ++i) {
        if (before[i] == 0) {
            EXPECT_EQ(after[i], 0);
        } else {
            EXPECT_EQ(after[i], std::clamp(before[i] + r.normalizeSteps, 0, 255)) << i;
        }
    }

    // Covered-until is the latest end exported; only C is left to describe.
    StreamNameFile streams;
    streams.load();
    EXPECT_EQ(streams.Find("Radio1")->coveredUntil, kStart.ToStreamTime() + 29000);
    DescriptionStore left(m_folder, "desc");
    ASSERT_TRUE(left.Load());
    ASSERT_EQ(left.Size(), 1u);
    EXPECT_EQ(left.Records()[0]->artist, "Artist C");

    // Nothing new: nothing is exported again.
    EXPECT_FALSE(StartMusicExport("Radio1").ran);
}

TEST_F(ExportRunTest, CollisionsHostileNamesAndAManualExport) {
    fs::create_directories(Music());
    test::WriteFile(Music() + "/X - Y.mp3", "old");
    fs::create_directories(Music() + "/X - Y_2.mp3");  // a folder of the next name counts too
    WriteDescriptions({Track("X", "Y", 1000, 5000), Track("../../etc", "pass\nwd/..", 6000, 8000),
                       Track(std::string(300, 'n').c_str(), "long", 9000, 11000)});
    DescriptionStore store;
    LoadStreamDescriptions(m_folder, store);
    // Manual: every complete description, covered-until untouched.
    const ExportRunResult r = RunMusicExport(BuildExportRequest(store, {}, m_folder, -1, false));
    ASSERT_EQ(r.files.size(), 3u);
    EXPECT_EQ(r.files[0].path, Music() + "/X - Y_3.mp3");
    EXPECT_EQ(test::ReadFile(Music() + "/X - Y.mp3"), "old");
    for (const ExportedFile& f : r.files) {
        ASSERT_FALSE(f.path.empty()) << f.entry.name;
        EXPECT_EQ(fs::path(f.path).parent_path(), fs::path(Music())) << f.path;
        EXPECT_LE(fs::path(f.path).filename().string().size(), 255u);
    }
    StreamNameFile streams;
    streams.load();
    EXPECT_EQ(streams.Find("Radio1")->coveredUntil, 0);

    // One range: its times, the tags of the description found there.
    LoadStreamDescriptions(m_folder, store);
    const ExportRunResult one = RunMusicExport(BuildRangeExportRequest(
        store, kStart.ToStreamTime() + 12000, kStart.ToStreamTime() + 20000, m_folder));
    ASSERT_EQ(one.files.size(), 1u);
    EXPECT_EQ(fs::path(one.files[0].path).filename(), "Unknown - Unknown.mp3");
    EXPECT_NEAR(double(test::DecodeMp3File(one.files[0].path).samplesPerChannel) / 44100.0, 8.0,
                0.08);

    // An empty chunk inside the range: the song lacks its 10 s, so it is no
    // good cut, and the user is told.
    StreamInfo info;
    info.folder = m_folder;
    UpdateStreamInfo(info);
    ASSERT_EQ(info.sessions.size(), 1u);
    test::WriteFile(ChunkPath(info.sessions[0], 3), "");
    EventLog::Instance().Close();  // events.txt of this home
    const ExportRunResult hole = RunMusicExport(BuildRangeExportRequest(
        store, kStart.ToStreamTime() + 15000, kStart.ToStreamTime() + 35000, m_folder));
    ASSERT_EQ(hole.files.size(), 1u);
    EXPECT_TRUE(hole.files[0].badCut);
    EXPECT_EQ(hole.files[0].missingAudio, "lacks 10.0 s of audio (chunk 3 gave no audio)");
    EXPECT_EQ(fs::path(hole.files[0].path).parent_path(), fs::path(Music() + "/badcut"));
    EXPECT_NE(test::ReadFile(HomeFile("events.txt")).find("lacks 10.0 s of audio"), std::string::npos);
}

}  // namespace
}  // namespace wk
