// The export run end to end: a stream recorded from the generator through a
// real recording session, a description file, and the music files it turns
// into.

#include <filesystem>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/ProgramHome.h"
#include "descriptions/DescriptionStore.h"
#include "export/ExportProgress.h"
#include "export/ExportThread.h"
#include "export/ExportTrack.h"
#include "export/Id3Tag.h"
#include "platform/CaptureDeviceGenerator.h"
#include "recording/EngineChoice.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamNameFile.h"
#include "support/Mp3Decode.h"
#include "support/Mp3Frames.h"
#include "support/RecordToEnd.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace wk {
namespace {

const DateTime kStart{2003, 11, 7, 10, 0, 0};

double Seconds(const std::string& path) {
    const test::DecodedMp3 d = test::DecodeMp3File(path);
    EXPECT_EQ(d.errors, 0) << path;
    return double(d.samplesPerChannel) / 44100.0;
}

class ExportRunTest : public test::TempHomeTest {
protected:
    // 50 s of the generator in 10-second MP3 chunks of a session planned for an hour.
    static void SetUpTestSuite() {
        s_recorded = new test::TempDir;
        SetProgramHome(s_recorded->Path());
        RecordingSession session;
        auto device = std::make_unique<CaptureDeviceGenerator>(7, false);
        device->SetFrameLimit(int64_t{44100} * 50);
        session.SetDevice(std::move(device));
        session.Configure(kEngineLame, 128, 0, 10,
                          s_recorded->File(ChunkSessionName(kStart, 3600, 10)));
        test::RecordToEnd(session);
        SetProgramHome("");
    }
    static void TearDownTestSuite() {
        delete s_recorded;
        s_recorded = nullptr;
    }
    void SetUp() override {
        TempHomeTest::SetUp();
        SetClock(&m_clock);
        StreamNameFile streams;
        streams.load();
        StreamRecord radio;
        radio.name = "Radio1";
        streams.AddCopy(radio);
        ASSERT_TRUE(streams.CreateFolders() && streams.save());
        m_folder = StreamNameFile::StreamRoot() + "Radio1";
        for (const auto& e : fs::directory_iterator(s_recorded->Path()))
            if (e.path().filename().string().starts_with("2003")) fs::copy(e.path(), m_folder);
    }
    void TearDown() override {
        SetClock(nullptr);
        TempHomeTest::TearDown();
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

    static inline test::TempDir* s_recorded = nullptr;
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
    EXPECT_EQ(r.files[0].path, a);
    EXPECT_EQ(r.files[1].path, Music() + "/badcut/Artist B - In one chunk.mp3");
    EXPECT_TRUE(r.files[1].badCut);
    EXPECT_FALSE(fs::exists(Music() + "/temp"));
    EXPECT_EQ(progress.count, 2);
    // Within a frame or two of the described lengths, tagged.
    EXPECT_NEAR(Seconds(a), 22.0, 0.08);
    EXPECT_NEAR(Seconds(r.files[1].path), 4.0, 0.08);
    const auto tag = BuildId3v1Tag(Track("Artist A", "Three chunks", 0, 0));
    EXPECT_TRUE(test::ReadFile(a).ends_with(std::string(tag.begin(), tag.end())));

    // Normalised: every granule moved by the same steps against a plain cut.
    ASSERT_TRUE(r.normalized);
    const ExportDirectories plain = ExportDirectories::ForMusicFolder(HomeFile("plain"));
    StreamInfo info;
    info.folder = m_folder;
    UpdateStreamInfo(info);
    SilentExportProgress quiet;
    const Description da = Track("Artist A", "Three chunks", 2000, 24000);
    const std::string cut = ExportTrack(info, da.start, da.end, "a", da, plain, false, quiet);
    const std::vector<int> before = test::GlobalGains(test::ReadFile(cut));
    const std::vector<int> after = test::GlobalGains(test::ReadFile(a));
    ASSERT_EQ(before.size(), after.size());
    ASSERT_GT(before.size(), 1000u);
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(after[i], before[i] ? std::clamp(before[i] + r.normalizeSteps, 0, 255) : 0) << i;

    // Covered-until is the latest end exported; only C is left to describe.
    StreamNameFile streams;
    streams.load();
    EXPECT_EQ(streams.Find("Radio1")->coveredUntil, kStart.ToStreamTime() + 29000);
    DescriptionStore left(m_folder, "desc");
    ASSERT_TRUE(left.Load());
    ASSERT_EQ(left.Size(), 1u);
    EXPECT_EQ(left.Records()[0]->artist, "Artist C");
    EXPECT_FALSE(StartMusicExport("Radio1").ran);  // nothing new: nothing exported again
}

TEST_F(ExportRunTest, CollisionsAManualExportAndMissingAudio) {
    fs::create_directories(Music());
    test::WriteFile(Music() + "/X - Y.mp3", "old");
    fs::create_directories(Music() + "/X - Y_2.mp3");  // a folder of the next name counts too
    WriteDescriptions({Track("X", "Y", 1000, 5000), Track("../../etc", "pass\nwd/..", 6000, 8000)});
    DescriptionStore store;
    LoadStreamDescriptions(m_folder, store);
    // Manual: every complete description, covered-until untouched.
    const ExportRunResult r = RunMusicExport(BuildExportRequest(store, {}, m_folder, -1, false));
    ASSERT_EQ(r.files.size(), 2u);
    EXPECT_EQ(r.files[0].path, Music() + "/X - Y_3.mp3");
    EXPECT_EQ(test::ReadFile(Music() + "/X - Y.mp3"), "old");
    EXPECT_EQ(fs::path(r.files[1].path).parent_path(), fs::path(Music())) << r.files[1].path;
    StreamNameFile streams;
    streams.load();
    EXPECT_EQ(streams.Find("Radio1")->coveredUntil, 0);

    // One range: its times, the tags of the description found there.
    LoadStreamDescriptions(m_folder, store);
    const ExportRunResult one = RunMusicExport(BuildRangeExportRequest(
        store, kStart.ToStreamTime() + 12000, kStart.ToStreamTime() + 20000, m_folder));
    ASSERT_EQ(one.files.size(), 1u);
    EXPECT_EQ(fs::path(one.files[0].path).filename(), "Unknown - Unknown.mp3");
    EXPECT_NEAR(Seconds(one.files[0].path), 8.0, 0.08);

    // An empty chunk inside the range: the song lacks its 10 s, so it is no
    // good cut, and the user is told; around the hole it still decodes.
    StreamInfo info;
    info.folder = m_folder;
    UpdateStreamInfo(info);
    ASSERT_EQ(info.sessions.size(), 1u);
    test::WriteFile(ChunkPath(info.sessions[0], 3), "");
    const ExportRunResult hole = RunMusicExport(BuildRangeExportRequest(
        store, kStart.ToStreamTime() + 15000, kStart.ToStreamTime() + 35000, m_folder));
    ASSERT_EQ(hole.files.size(), 1u);
    EXPECT_TRUE(hole.files[0].badCut);
    EXPECT_EQ(hole.files[0].missingAudio, "lacks 10.0 s of audio (chunk 3 gave no audio)");
    EXPECT_EQ(fs::path(hole.files[0].path).parent_path(), fs::path(Music() + "/badcut"));
    EXPECT_NEAR(Seconds(hole.files[0].path), 10.0, 0.1);
    EXPECT_NE(test::ReadFile(HomeFile("events.txt")).find("lacks 10.0 s of audio"),
              std::string::npos);
}

}  // namespace
}  // namespace wk
