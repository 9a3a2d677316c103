// The export run end to end: a stream recorded from the generator through a
// real recording session, a description file, and the music files it turns
// into.

#include <cmath>
#include <filesystem>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/ProgramHome.h"
#include "descriptions/DescriptionStore.h"
#include "export/ExportProgress.h"
#include "export/ExportThread.h"
#include "export/ExportTrack.h"
#include "export/Id3Tag.h"
#include "export/Mp3Normalize.h"
#include "export/SongTags.h"
#include "platform/CaptureDeviceGenerator.h"
#include "recording/EngineChoice.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamNameFile.h"
#include "support/Mp3Decode.h"
#include "support/Mp3Frames.h"
#include "support/RecordToEnd.h"
#include "support/TempHome.h"
#include "support/Tools.h"

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

// Long and non-ASCII tags as a reader that is not ours shows them: mutagen
// for the ID3v2.4 tag, the ID3v1 tag byte for byte as before, and mpg123
// decodes the songs without a complaint.
TEST_F(ExportRunTest, SongsCarryTheirLongTagsAndReplayGain) {
    const std::string inspect = test::RequireTool("mutagen-inspect");
    const std::string mpg123 = test::RequireTool("mpg123");
    Description longOne = Track("Beyonc\xC3\xA9 and the \xE6\x9D\xB1\xE4\xBA\xAC Orchestra",
                                "A title of well over thirty characters, \xC3\xBC", 2000, 14000);
    longOne.comment = "K\xC3\xB6ln live";
    Description latin1 = Track("Caf\xE9 Tacuba", "Ojal\xE1", 15000, 22000);  // not UTF-8
    latin1.year = "2003-11-07";
    WriteDescriptions({longOne, latin1});
    const ExportRunResult r = StartMusicExport("Radio1");
    ASSERT_EQ(r.files.size(), 2u);
    ASSERT_TRUE(r.normalized);
    const struct {
        const Description& track;
        std::vector<std::string> shown;
    } cases[] = {
        {longOne,
         {"TPE1=Beyonc\xC3\xA9 and the \xE6\x9D\xB1\xE4\xBA\xAC Orchestra",
          "TIT2=A title of well over thirty characters, \xC3\xBC", "TALB=Album", "TDRC=2003",
          "TCON=Rock", "COMM==eng=K\xC3\xB6ln live", "TXXX=STREAM=Radio1",
          "TXXX=RECORDING_DATE=2003-11-07 10:00:02"}},
        {latin1,
         {"TPE1=Caf\xC3\xA9 Tacuba", "TIT2=Ojal\xC3\xA1", "TDRC=2003-11-07",
          "TXXX=RECORDING_DATE=2003-11-07 10:00:15"}},
    };
    for (size_t i = 0; i < 2; ++i) {
        const std::string& path = r.files[i].path;
        const std::string shown = test::RunTool(test::Quote(inspect) + " " + test::Quote(path));
        for (const std::string& line : cases[i].shown)
            EXPECT_NE(shown.find("\n" + line + "\n"), std::string::npos) << line << "\n" << shown;
        // The ReplayGain values of the normalised audio: the track's own
        // gain, and the album's that the normalisation rounded to steps.
        for (const char* key : {"TRACK_GAIN", "TRACK_PEAK", "ALBUM_GAIN", "ALBUM_PEAK"})
            EXPECT_NE(shown.find(std::string("TXXX=REPLAYGAIN_") + key + "="), std::string::npos)
                << shown;
        const size_t at = shown.find("TXXX=REPLAYGAIN_ALBUM_GAIN=");
        ASSERT_NE(at, std::string::npos);
        EXPECT_LT(std::fabs(std::atof(shown.c_str() + at + 27)), 0.76) << shown;
        // mutagen's duration from the frames: the described length.
        const double expected = double(cases[i].track.end - cases[i].track.start) / 1000;
        const size_t seconds = shown.find(" seconds");
        ASSERT_NE(seconds, std::string::npos);
        EXPECT_NEAR(std::atof(shown.c_str() + shown.rfind(", ", seconds) + 2), expected, 0.08);
        EXPECT_NEAR(Seconds(path), expected, 0.08);
        const auto v1 = BuildId3v1Tag(cases[i].track);
        EXPECT_TRUE(test::ReadFile(path).ends_with(std::string(v1.begin(), v1.end()))) << path;
        const std::string decoded =
            test::RunTool(test::Quote(mpg123) + " -t " + test::Quote(path) + " 2>&1");
        EXPECT_EQ(decoded.find("arning"), std::string::npos) << decoded;
        EXPECT_EQ(decoded.find("rror"), std::string::npos) << decoded;
    }
    // What "wavkeep songs" shows of it.
    const std::string summary = LongTagSummary(r.files[1].path);
    EXPECT_TRUE(
        summary.starts_with("Caf\xC3\xA9 Tacuba - Ojal\xC3\xA1 [Album, 2003] (Rock) album gain "))
        << summary;
    EXPECT_TRUE(summary.ends_with(" dB")) << summary;

    // Made 6 dB quieter, then normalised again on its own: the song's
    // ReplayGain fields tell its new audio, once each; its other frames stay.
    const std::string& song = r.files[0].path;
    ASSERT_TRUE(ChangeMp3Gain(song, -4, -4));
    const NormalizeResult again = NormalizeMp3Files({song}, {}, Mp3TagWithReplayGain);
    ASSERT_NE(again.steps, 0);
    const std::string shown = test::RunTool(test::Quote(inspect) + " " + test::Quote(song));
    const double measured = MeasureAlbumGain({song});
    for (const char* key : {"TRACK_GAIN", "ALBUM_GAIN"}) {
        const std::string field = std::string("TXXX=REPLAYGAIN_") + key + "=";
        const size_t at = shown.find(field);
        ASSERT_NE(at, std::string::npos) << shown;
        EXPECT_EQ(shown.find(field, at + 1), std::string::npos) << shown;
        EXPECT_NEAR(std::atof(shown.c_str() + at + field.size()), measured, 0.05) << shown;
    }
    EXPECT_NE(shown.find("\nTXXX=STREAM=Radio1\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\nCOMM==eng=K\xC3\xB6ln live\n"), std::string::npos) << shown;
}

}  // namespace
}  // namespace wk
