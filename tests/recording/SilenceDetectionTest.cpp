#include <algorithm>
#include <filesystem>

#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "descriptions/DescriptionStore.h"
#include "platform/CaptureDeviceGenerator.h"
#include "recording/SilenceAnalyser.h"
#include "recording/SilenceDetector.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamNameFile.h"
#include "support/RecordToEnd.h"
#include "support/TempHome.h"

namespace wk {
namespace {

const DateTime kSessionStart(2024, 3, 1, 12, 0, 0);
constexpr int8_t kLoud = 40;
constexpr int8_t kQuiet = 0;

// .dat content built from (value, steps) pieces.
std::string Dat(std::initializer_list<std::pair<int8_t, int>> pieces) {
    std::string bytes;
    for (const auto& [value, steps] : pieces)
        bytes.append(static_cast<size_t>(steps), static_cast<char>(value));
    return bytes;
}

using Span = std::pair<StreamTime, StreamTime>;  // ms after the session's start

// The generated descriptions of a store, as spans after the session's start.
std::vector<Span> Generated(const std::string& folder) {
    DescriptionStore store(folder, SilenceAnalyser::kDefaultStoreName);
    store.Load();
    std::vector<Span> spans;
    const StreamTime origin = kSessionStart.ToStreamTime();
    for (const auto& record : store.Records())
        if (record->title == SilenceAnalyser::kGeneratedTitle)
            spans.emplace_back(record->start - origin, record->end - origin);
    return spans;
}

bool HasEvent(const std::string& text) {
    const auto lines = EventLog::Instance().ReadLines();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    });
}

class SilenceDetectionTest : public test::TempHomeTest {
protected:
    // The stream "Test" with these parameters, active; silence detection on.
    static void SetActiveStream(const SilenceParameters& p) {
        // The list first: loading it may reset the active stream.
        StreamNameFile streams;
        streams.load();
        StreamRecord record;
        record.name = "Test";
        record.silenceMinimum = p.silenceMinimum;
        record.silenceSensitivity = p.silenceSensitivity;
        record.shortestTrack = p.shortestTrack;
        record.longestTrack = p.longestTrack;
        streams.AddCopy(record);
        ASSERT_TRUE(streams.save() && streams.CreateFolders());
        ConfigStore config;
        config.Load();
        config.SetString("ActiveStream", "Test");
        config.SetString("EnableSilenceDet", "1");
        ASSERT_TRUE(config.Save());
    }
};

TEST_F(SilenceDetectionTest, FindsSongsInWaveForms) {
    // minimum 1 s (a run must exceed 100 steps), sensitivity 5, shortest 10 s, longest 60 s
    const SilenceParameters p{1, 5, 10, 60};
    struct File {
        int lengthSeconds;
        std::string bytes;
        bool final;
    };
    struct Case {
        const char* name;
        SilenceParameters parameters;
        std::vector<File> files;  // chunks 1, 2...
        std::vector<Span> expected;
    };
    const std::vector<Case> cases = {
        {"a run of exactly the minimum does not split",
         p,
         {{3600, Dat({{kLoud, 3000}, {kQuiet, 100}, {kLoud, 3000}}), true}},
         {{0, 60990}}},
        {"values just inside the sensitivity are silent",
         p,
         {{3600, Dat({{kLoud, 3000}, {4, 50}, {-4, 51}, {kLoud, 3000}}), true}},
         {{0, 30000}, {31000, 61000}}},
        {"a value at the sensitivity is loud",
         p,
         {{3600, Dat({{kLoud, 2000}, {kQuiet, 60}, {5, 1}, {kQuiet, 60}, {kLoud, 2000}}), true}},
         {{0, 41200}}},
        {"continuous sound is split every longest-track seconds",
         p,
         {{3600, Dat({{kLoud, 15000}}), true}},
         {{0, 60990}, {61090, 121990}, {122090, 149990}}},
        {"a longest track of 0 never forces a split",
         {1, 5, 10, 0},
         {{3600, Dat({{kLoud, 40000}}), true}},
         {{0, 399990}}},
        {"a song shorter than the shortest track is not written",
         p,
         {{3600, Dat({{kLoud, 3000}, {kQuiet, 200}, {kLoud, 500}, {kQuiet, 200}, {kLoud, 3000}}),
           true}},
         {{0, 30000}, {38990, 68990}}},
        {"a song goes on across a chunk border",
         p,
         {{10, Dat({{kLoud, 1000}}), false},
          {10, Dat({{kLoud, 500}, {kQuiet, 200}, {kLoud, 300}}), true}},
         {{0, 15000}, {16990, 19990}}},
        {"a pause across a chunk border is seen whole",
         p,
         {{20, Dat({{kLoud, 1940}, {kQuiet, 60}}), false},
          {20, Dat({{kQuiet, 60}, {kLoud, 1940}}), true}},
         {{0, 19400}, {20590, 39990}}},
        {"a recording that ends in a pause ends its last song there",
         p,
         {{3600, Dat({{kLoud, 3000}, {kQuiet, 300}}), true}},
         {{0, 30000}}},
        {"without the final chunk the last song stays open",
         p,
         {{3600, Dat({{kLoud, 3000}, {kQuiet, 200}, {kLoud, 3000}}), false}},
         {{0, 30000}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir folder;
        SilenceAnalyser analyser;
        analyser.SetParameters(c.parameters);
        for (size_t n = 0; n < c.files.size(); ++n) {
            const std::string dat =
                folder.File(
                    ChunkBaseName(kSessionStart, 3600, c.files[n].lengthSeconds, int(n) + 1)) +
                ".dat";
            test::WriteFile(dat, c.files[n].bytes);
            EXPECT_TRUE(analyser.AnalyseFile(dat, c.files[n].final));
        }
        EXPECT_EQ(Generated(folder.Path()), c.expected);
    }
}

TEST_F(SilenceDetectionTest, UnreadableFilesAreGivenUp) {
    SilenceAnalyser analyser;
    test::WriteFile(m_dir.File("notachunk.dat"), Dat({{kLoud, 100}}));
    EXPECT_FALSE(analyser.AnalyseFile(m_dir.File("notachunk.dat"), true));
    const std::string missing = m_dir.File(ChunkBaseName(kSessionStart, 3600, 10, 1)) + ".dat";
    EXPECT_FALSE(analyser.AnalyseFile(missing, false, true));
    EXPECT_FALSE(HasEvent("Can't open file"));
    EXPECT_FALSE(analyser.AnalyseFile(missing, false));
    EXPECT_TRUE(HasEvent("Can't open file"));
    EXPECT_EQ(analyser.DescriptionsOffered(), 0);
}

// The parameters come from the active stream's record (the defaults would
// find no pause of two seconds).
TEST_F(SilenceDetectionTest, DetectorAnalysesEveryChunkOnceAndSkipsAnAbortedOne) {
    SetActiveStream({1, 5, 5, 360});
    for (const bool aborted : {false, true}) {
        SCOPED_TRACE(aborted ? "aborted" : "stopped");
        test::TempDir folder;
        const auto chunk = [&](int number) {
            return folder.File(ChunkBaseName(kSessionStart, 3600, 10, number));
        };
        // A pause in chunk 2; chunk 4 is the one being written when the recording ends.
        test::WriteFile(chunk(1) + ".dat", Dat({{kLoud, 1000}}));
        test::WriteFile(chunk(2) + ".dat", Dat({{kLoud, 300}, {kQuiet, 200}, {kLoud, 500}}));
        test::WriteFile(chunk(3) + ".dat", Dat({{kLoud, 1000}}));
        if (!aborted) test::WriteFile(chunk(4) + ".dat", Dat({{kLoud, 1000}}));
        SilenceDetector detector;
        // Every cut arrives before the thread has looked once.
        for (int n = 1; n <= 4; ++n) detector.SetFileName(chunk(n));
        ASSERT_TRUE(detector.Start());
        EXPECT_EQ(detector.DetectorState(), SilenceDetector::kStarted);
        detector.Stop(aborted);
        EXPECT_EQ(detector.DetectorState(), SilenceDetector::kIdle);
        EXPECT_EQ(detector.FilesAnalysed(), aborted ? 3 : 4);
        EXPECT_EQ(Generated(folder.Path()),
                  (std::vector<Span>{{0, 13000}, {14990, aborted ? 29990 : 39990}}));
    }
    EXPECT_FALSE(HasEvent("Can't open file"));
}

// Generated tracks of a real recording, one per track but the one a
// downloaded description covers: generated descriptions never overwrite nor
// overlap downloaded ones.
TEST_F(SilenceDetectionTest, RecordingWithDetectionDescribesTheGeneratedTracks) {
    constexpr int kRate = 44100;
    const GeneratorTiming timing{20, 40, 3, 4};
    SetActiveStream({1, 2, 10, 360});  // the pauses' noise gives .dat bytes 0 and -1
    const std::string folder = StreamNameFile::StreamRoot() + "Test/";
    // End the recording in the middle of the fourth track.
    std::vector<GeneratedTrack> tracks, pauses;
    for (const auto& t : CaptureDeviceGenerator::Layout(7, kRate, int64_t{kRate} * 200, timing))
        (t.pause ? pauses : tracks).push_back(t);
    ASSERT_GE(tracks.size(), 4u);
    const int64_t frames = (tracks[3].startFrame + tracks[3].endFrame) / 2;
    const auto ms = [](int64_t frame) { return frame * 1000 / kRate; };
    // A downloaded description inside the second track.
    const StreamTime origin = kSessionStart.ToStreamTime();
    Description downloaded;
    downloaded.title = "Real Song";
    downloaded.start = origin + ms(tracks[1].startFrame) + 2000;
    downloaded.end = origin + ms(tracks[1].startFrame) + 5000;
    {
        DescriptionStore store(folder, SilenceAnalyser::kDefaultStoreName);
        store.Add(downloaded);
        ASSERT_TRUE(store.Save());
    }
    RecordingSession session;
    auto device = std::make_unique<CaptureDeviceGenerator>(7, false, timing);
    device->SetFrameLimit(frames);
    session.SetDevice(std::move(device));
    session.Configure(kEngineLame, 64, kModeMono, 10,
                      folder + ChunkSessionName(kSessionStart, 3600, 10));
    test::RecordToEnd(session);

    const auto inPause = [&](StreamTime t) {
        return std::any_of(pauses.begin(), pauses.end(), [&](const GeneratedTrack& p) {
            return t >= ms(p.startFrame) - 100 && t <= ms(p.endFrame) + 100;
        });
    };
    const std::vector<Span> generated = Generated(folder);
    ASSERT_EQ(generated.size(), 3u);
    for (const Span& s : generated) {
        SCOPED_TRACE(testing::Message() << s.first << " - " << s.second);
        EXPECT_TRUE(s.first <= 100 || inPause(s.first));
        EXPECT_TRUE(inPause(s.second) || std::abs(s.second - ms(frames)) <= 100);
        EXPECT_TRUE(s.second < downloaded.start - origin || s.first > downloaded.end - origin);
    }
    DescriptionStore store(folder, SilenceAnalyser::kDefaultStoreName);
    ASSERT_TRUE(store.Load());
    ASSERT_EQ(store.Size(), 4u);
    EXPECT_EQ(std::count_if(store.Records().begin(), store.Records().end(),
                            [&](const auto& r) { return r->SameContent(downloaded); }),
              1);
}

}  // namespace
}  // namespace wk
