// The playlist round trip through the real programs: a generator recording
// by "wavkeep record", its playlist seeded into wavkeep-service ("seed"),
// downloaded, shifted and matched by "wavkeep download playlist", uploaded
// by one client and served to another.
//
// Seed 29's first track lasts 122.2 s, its second starts at 123.5 s and runs
// past the recording: 190 s of audio hold one complete track and enough of
// the second (64 s past its snippet) for the fingerprint matching.

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "ServiceProcess.h"
#include "WavkeepRun.h"
#include "descriptions/DescriptionStore.h"
#include "platform/GeneratedMusic.h"
#include "service/ServiceStore.h"
#include "streamstore/ChunkName.h"
#include "support/Regex.h"

namespace wk {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSeed = 29;
constexpr int kSeedMinutes = 7;
constexpr StreamTime kClockOffsetMs = 42250;
// The seeded playlist runs this late as a whole; the matching must take it off.
constexpr int64_t kPlaylistErrorMs = 350;
constexpr StreamTime kToleranceMs = 50;

struct TrueTrack {
    StreamTime start = 0;
    StreamTime end = 0;
};

// Where the generator's tracks lie in a recording that began at `session`.
std::map<int, TrueTrack> TrueTracks(StreamTime session) {
    std::map<int, TrueTrack> tracks;
    for (const GeneratedTrack& t :
         GeneratedMusic::Layout(kSeed, 44100, int64_t{kSeedMinutes} * 60 * 44100))
        if (!t.pause)
            tracks[t.number] = {session + t.startFrame * 1000 / 44100,
                                session + t.endFrame * 1000 / 44100};
    return tracks;
}

std::optional<int> TrackNumber(const std::string& title) {
    std::vector<std::string> m;
    if (!test::RegexMatch(title, R"(Track (\d+) of seed 29)", &m)) return std::nullopt;
    return std::stoi(m[1]);
}

class PlaylistEndToEndTest : public test::WavkeepRunTest {
protected:
    void TearDown() override {
        EXPECT_TRUE(m_service.Stop()) << test::ReadFile(m_serviceIo.File("log"));
    }

    // The account and the service's address for the client living in `home`.
    void Connect(const test::TempDir& home) {
        for (const char* key : {"TimeCheckURL", "UploadURL"})
            ASSERT_EQ(RunIn(home, {"config", "set", key,
                                   m_service.Root() + "/html/playlists/upload.php3"}),
                      0);
        ASSERT_EQ(RunIn(home, {"account", "set", "me", "pw"}), 0);
    }
    // Playlist requests the service has logged; it logs a request after
    // answering it, so the count may take a moment to reach `expected`.
    int DofpRequests(int expected) const {
        int count = 0;
        test::WaitFor(
            [&] {
                const std::string log = test::ReadFile(m_serviceIo.File("log"));
                count = 0;
                for (size_t at = log.find("a=dofp"); at != std::string::npos;
                     at = log.find("a=dofp", at + 1))
                    ++count;
                return count >= expected;
            },
            std::chrono::seconds(5));
        return count;
    }
    static std::string StreamFolder(const test::TempDir& home) {
        return home.File("Streams/Default/");
    }
    // The session start every chunk of the stream names.
    static StreamTime SessionStart(const test::TempDir& home) {
        std::set<StreamTime> starts;
        for (const auto& e : fs::directory_iterator(StreamFolder(home)))
            if (const auto fields = ParseChunkName(e.path().filename().string()))
                starts.insert(fields->start.ToStreamTime());
        EXPECT_EQ(starts.size(), 1u);
        return starts.empty() ? 0 : *starts.begin();
    }
    // The same audio in another home, named as if its recording had begun
    // `laterMs` after this one's: the broadcast as a machine whose clock runs
    // that much ahead records it.
    static void CopyRecording(const test::TempDir& from, const test::TempDir& to,
                              StreamTime laterMs) {
        fs::create_directories(StreamFolder(to));
        for (const auto& e : fs::directory_iterator(StreamFolder(from))) {
            const auto f = ParseChunkName(e.path().filename().string());
            if (!f) continue;
            const DateTime start = DateTime::FromStreamTime(f->start.ToStreamTime() + laterMs);
            fs::copy_file(e.path(), StreamFolder(to) +
                                        ChunkBaseName(start, f->durationMs / 1000,
                                                      f->lengthMs / 1000, f->number) +
                                        e.path().extension().string());
        }
    }
    static std::vector<Description> Descriptions(const test::TempDir& home) {
        DescriptionStore store(StreamFolder(home), "desc");
        store.Load();
        std::vector<Description> records;
        for (const auto& r : store.Records()) records.push_back(*r);
        return records;
    }
    // The stream's covered-until time (tenth field of its stream-list line).
    static StreamTime CoveredUntil(const test::TempDir& home) {
        std::istringstream in(test::ReadFile(home.File("Streams/StreamFileNames.txt")));
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("Default\t", 0) != 0) continue;
            std::istringstream fields(line);
            std::string field;
            for (int i = 0; i < 10; ++i) std::getline(fields, field, '\t');
            return std::stoll(field);
        }
        return -1;
    }
    // Every description lies where the generator really played its track,
    // and the described tracks are `numbers` (in desc.des or exported, which
    // takes them out of it).
    static void ExpectAtTrueTimes(const test::TempDir& home, StreamTime session,
                                  const std::set<int>& numbers) {
        const auto truth = TrueTracks(session);
        std::set<int> found;
        for (const Description& d : Descriptions(home)) {
            const auto number = TrackNumber(d.title);
            ASSERT_TRUE(number.has_value()) << d.ToLine();
            EXPECT_NEAR(d.start, truth.at(*number).start, kToleranceMs) << d.ToLine();
            EXPECT_NEAR(d.end, truth.at(*number).end, kToleranceMs) << d.ToLine();
            EXPECT_EQ(d.artist, "Generator Band " + std::to_string(*number));
            EXPECT_FALSE(d.notIdentified) << d.ToLine();
            found.insert(*number);
        }
        for (const int n : numbers) {
            const std::string name =
                "Generator Band " + std::to_string(n) + " - Track " + std::to_string(n);
            std::error_code ec;
            for (fs::recursive_directory_iterator it(home.File("Songs"), ec), end; !ec && it != end;
                 it.increment(ec))
                if (it->path().filename().string().rfind(name, 0) == 0) found.insert(n);
        }
        EXPECT_EQ(found, numbers);
    }

    test::TempDir m_data;
    test::TempDir m_serviceIo;
    test::ServiceProcess m_service;
};

TEST_F(PlaylistEndToEndTest,
       PlaylistIsShiftedMatchedAppliedOnceAndAnUploadIsServedToAnotherClient) {
    ASSERT_EQ(Run({"record", "--input", "generator:29:fast", "--for", "190"}), 0) << Err();
    const StreamTime sessionA = SessionStart(m_home);
    ASSERT_EQ(test::RunProgram({WAVKEEP_SERVICE_EXE, "seed", "--data", m_data.Path(), "--seed",
                                std::to_string(kSeed), "--minutes", std::to_string(kSeedMinutes),
                                "--offset-error-ms", std::to_string(kPlaylistErrorMs), "--start",
                                DateTime::FromStreamTime(sessionA + kClockOffsetMs).LongText()},
                               m_io.File("out"), m_io.File("err")),
              0)
        << Err();
    ASSERT_TRUE(m_service.Start(m_data.Path(), kClockOffsetMs / 1000.0, m_serviceIo.File("log")));
    ASSERT_NO_FATAL_FAILURE(Connect(m_home));

    ASSERT_EQ(Run({"download", "playlist"}), 0) << Out() << Err();
    EXPECT_EQ(DofpRequests(1), 1);
    // One description file applied: its identifier is recorded.
    const std::string ids = HomeText("AppliedDesIDs.dat");
    EXPECT_EQ(ids.size(), 4u);
    EXPECT_FALSE(fs::exists(StreamFolder(m_home) + "raw_downloaded.des"));
    // The playlist ran 350 ms late on a clock 42.25 s ahead; both are gone.
    // Track 1 is complete in the recording, track 2 begins in it.
    ExpectAtTrueTimes(m_home, sessionA, {1, 2});
    const std::vector<Description> uploaded = Descriptions(m_home);
    ASSERT_FALSE(uploaded.empty());
    // The stream counts as covered up to the end of the complete track.
    const StreamTime covered = CoveredUntil(m_home);
    EXPECT_NEAR(covered, TrueTracks(sessionA).at(1).end, kToleranceMs);

    // Again: the part after covered-until is asked for, the service answers
    // the same file, and it is skipped by its identifier.
    const std::string desc = test::ReadFile(StreamFolder(m_home) + "desc.des");
    ASSERT_EQ(Run({"download", "playlist"}), 0) << Out() << Err();
    EXPECT_EQ(DofpRequests(2), 2);
    EXPECT_EQ(HomeText("AppliedDesIDs.dat"), ids);
    EXPECT_EQ(test::ReadFile(StreamFolder(m_home) + "desc.des"), desc);
    EXPECT_EQ(CoveredUntil(m_home), covered);

    // From now on the service knows only what this client uploads; client B
    // recorded the same broadcast on a machine whose clock runs 13 s ahead.
    ASSERT_TRUE(fs::remove(m_data.File("streams/Default/generated.des")));
    ASSERT_EQ(Run({"upload"}), 0) << Out() << Err();
    ASSERT_TRUE(ServiceStore(m_data.Path()).Uploads("Default"));
    EXPECT_EQ(ServiceStore(m_data.Path()).Uploads("Default")->size(), 1u);
    test::TempDir homeB;
    CopyRecording(m_home, homeB, 13000);
    const StreamTime sessionB = SessionStart(homeB);
    ASSERT_EQ(sessionB, sessionA + 13000);
    ASSERT_NO_FATAL_FAILURE(Connect(homeB));
    ASSERT_EQ(RunIn(homeB, {"download", "playlist"}), 0) << Out() << Err();
    EXPECT_EQ(test::ReadFile(homeB.File("AppliedDesIDs.dat")).size(), 4u);
    // B has A's descriptions, moved onto B's recording by the matching.
    std::set<int> numbers;
    for (const Description& d : uploaded) numbers.insert(TrackNumber(d.title).value_or(0));
    ExpectAtTrueTimes(homeB, sessionB, numbers);
    for (const Description& b : Descriptions(homeB)) {
        for (const Description& a : uploaded) {
            if (a.title != b.title) continue;
            EXPECT_EQ(b.artist, a.artist);
            EXPECT_EQ(b.album, a.album);
            EXPECT_EQ(b.end - b.start, a.end - a.start);
        }
    }
}

}  // namespace
}  // namespace wk
