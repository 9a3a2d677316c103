// The daemon's application object run in-process: start-up, timers and
// shutdown under a manual or virtual clock, recording from the generator,
// talking to a wavkeep-service on loopback.

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "ServiceProcess.h"
#include "app/Application.h"
#include "app/DaemonCommand.h"
#include "app/ExportCommand.h"
#include "app/StreamsCommand.h"
#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/ProgramHome.h"
#include "core/Trace.h"
#include "core/UserPrompt.h"
#include "descriptions/Description.h"
#include "platform/CaptureDeviceGenerator.h"
#include "platform/ControlChannel.h"
#include "platform/GeneratedMusic.h"
#include "platform/InstanceLock.h"
#include "scheduler/TaskKinds.h"
#include "server/Credentials.h"
#include "server/RequestManager.h"
#include "service/Service.h"
#include "streamstore/ChunkName.h"
#include "streamstore/DiskSpaceManager.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamNameFile.h"
#include "support/LoopbackServer.h"
#include "support/Mp3Decode.h"
#include "support/Regex.h"

namespace wk {
namespace {

using namespace std::chrono_literals;
using test::WaitFor;

const DateTime kT0(2024, 3, 1, 20, 0, 0);

DateTime At(int seconds) {
    return DateTime::FromStreamTime(kT0.ToStreamTime() + seconds * 1000LL);
}

::testing::AssertionResult Has(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

// A description file holding one record per (start, end, artist, title).
std::string DescriptionFile(
    const std::vector<std::tuple<StreamTime, StreamTime, const char*, const char*>>& records) {
    std::string text = "# 0.9\r\n# Radio\r\n# _WAVKEEP_STAFF_\r\n";
    for (const auto& [start, end, artist, title] : records) {
        Description d;
        d.start = start;
        d.end = end;
        d.artist = artist;
        d.title = title;
        text += d.ToLine() + "\r\n";
    }
    return text;
}

class CapturedPrompt final : public UserPrompt {
public:
    int Show(const std::string& text, int) override {
        std::lock_guard lock(m_mutex);
        m_texts.push_back(text);
        return kIdOk;
    }
    std::vector<std::string> Texts() {
        std::lock_guard lock(m_mutex);
        return m_texts;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_texts;
};

// The application with its loop on a thread of its own, as the daemon's main
// thread would run it.
class RunningApp {
public:
    explicit RunningApp(ApplicationOptions options) : m_app(std::move(options)) {}
    ~RunningApp() { Stop(); }
    int Start() {
        const int code = m_app.Start();
        if (code == 0) m_thread = std::thread([this] { m_exit = m_app.Run(); });
        return code;
    }
    int Stop() {
        m_app.RequestStop();
        if (m_thread.joinable()) m_thread.join();
        return m_exit.load();
    }
    ApplicationStatus Status() const { return m_app.Status(); }
    bool Await(const std::function<bool(const ApplicationStatus&)>& done,
               std::chrono::seconds limit = 30s) {
        return WaitFor([&] { return done(Status()); }, limit);
    }

private:
    Application m_app;
    std::thread m_thread;
    std::atomic<int> m_exit{-1};
};

class ApplicationTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetProgramHome(m_home.Path());
        SetUserPrompt(&m_prompt);
        CHTTPRequestManager::Install(&m_requests);  // nothing checked yet
        StreamNameFile streams;
        streams.load();
        StreamRecord radio;
        radio.name = "Radio";
        radio.active = 1;
        streams.AddCopy(radio);
        ASSERT_TRUE(streams.save());
        SetConfig(
            {{"ActiveStream", "Radio"}, {"SingleFileLength", "10"}, {"TraceLevel", "Detail"}});
        PointAt("http://127.0.0.1:1");  // nothing listens there
    }
    void TearDown() override {
        m_service.Stop();
        SetTraceLevel(0);
        SetUserPrompt(nullptr);
        SetProgramHome("");
        CHTTPRequestManager::Install(nullptr);
    }

    static void PointAt(const std::string& root) {
        SetConfig({{"DefaultURL", root},
                   {"TimeCheckURL", root + "/html/playlists/upload.php3"},
                   {"UploadURL", root + "/html/playlists/upload.php3"},
                   {"ScheduleURL", root + "/html/schedule/index.php3"},
                   {"URLChanelList", root + "/betatest/html/playlists/index.php3?a=gsl2"}});
    }
    static void SetConfig(const std::vector<std::pair<std::string, std::string>>& values) {
        ConfigStore config;
        config.Load();
        for (const auto& [key, value] : values) config.SetString(key, value);
        ASSERT_TRUE(config.Save());
    }
    static std::string GetConfig(const std::string& key) {
        ConfigStore config;
        config.Load();
        return config.GetString(key);
    }
    static void LogIn() { ASSERT_TRUE(WriteCredentials({"me", "pw", "-"}, nullptr)); }
    static void AddTask(const DateTime& from, const DateTime& to) {
        Scheduler scheduler;
        scheduler.load();
        OnceTask task;
        task.SetStreamName("Radio");
        task.SetDescription("test");
        task.SetStart(from);
        task.SetEnd(to);
        scheduler.insertTask(task);
        ASSERT_TRUE(scheduler.save());
    }
    // Generator input, real-time paced unless `fast`; no signal handlers; HTTP
    // clients that give up quickly.
    static ApplicationOptions Options(Clock* clock, bool fast, int64_t firstDownloadMs = 10000,
                                      int64_t downloadPeriodMs = 300000) {
        ApplicationOptions o;
        o.clock = clock;
        o.deviceFactory = [fast] { return std::make_unique<CaptureDeviceGenerator>(3, !fast); };
        o.catchSignals = false;
        o.firstDownloadMs = firstDownloadMs;
        o.downloadPeriodMs = downloadPeriodMs;
        HttpSettings http;
        http.connectRetries = 0;
        http.connectTimeoutMs = 2000;
        http.totalTimeoutMs = 20000;
        o.http = http;
        return o;
    }
    std::string FirstPrompt() {
        const auto texts = m_prompt.Texts();
        return texts.empty() ? "" : texts[0];
    }
    // Moves a manual clock on in 50 ms steps until `done` holds.
    static bool AdvanceUntil(ManualClock& clock, const std::function<bool()>& done,
                             int maxSeconds) {
        for (int i = 0; i < maxSeconds * 20; ++i) {
            if (done()) return true;
            clock.Advance(50);
            std::this_thread::sleep_for(3ms);
        }
        return WaitFor(done, 5s);
    }
    std::vector<std::string> Files(const std::string& extension,
                                   const std::string& folder = "Streams/Radio") const {
        return test::FileNames(m_home.File(folder), extension);
    }
    std::string Events() const { return test::ReadFile(m_home.File("events.txt")); }
    std::string TraceText() const { return test::TraceText(m_home.Path()); }

    // The reference service in this process on `clock`, 3.5 s ahead of it (a
    // service on the wall clock would be years off the virtual one, and such
    // a clock is refused), with the home pointed at it; null if it did not start.
    std::unique_ptr<Service> StartServiceOn(Clock& clock) {
        ServiceOptions options;
        options.port = 0;
        options.dataFolder = m_data.Path();
        options.clockOffsetSeconds = 3.5;
        auto service = std::make_unique<Service>(options, clock, m_serviceLog);
        if (service->Start() <= 0) return nullptr;
        PointAt("http://127.0.0.1:" + std::to_string(service->Port()));
        return service;
    }

    test::TempDir m_home;
    test::TempDir m_data;
    CHTTPRequestManager m_requests;
    CapturedPrompt m_prompt;
    test::ServiceProcess m_service;
    std::ostringstream m_serviceLog;
};

TEST_F(ApplicationTest, ScheduledTaskRecordsAndThePlaylistTimerExportsItsSongs) {
    VirtualClock clock(kT0);
    const auto service = StartServiceOn(clock);
    ASSERT_TRUE(service);
    LogIn();
    SetConfig({{"ConfigRunWizard", "1"}});  // Options.txt exists: left alone
    AddTask(At(5), At(35));
    RunningApp running(Options(&clock, true, 40000));
    ASSERT_EQ(running.Start(), 0) << FirstPrompt();

    // The start event comes with the reload after 5 s; then the virtual clock
    // moves with the audio until the task ends.
    clock.Advance(5000);
    ASSERT_TRUE(running.Await([](auto& s) { return s.recordingsStopped == 1; }));
    EXPECT_GE(Files(".ogg").size(), 3u);
    EXPECT_EQ(running.Status().playlistDownloads, 0);  // not due before 40 s

    // The service describes two tracks of the recorded stretch in its own time.
    const StreamTime ahead = 3500;
    std::filesystem::create_directories(m_data.File("streams/Radio"));
    test::WriteFile(m_data.File("streams/Radio/seeded.des"),
                    DescriptionFile({{At(9).ToStreamTime() + ahead, At(19).ToStreamTime() + ahead,
                                      "Artist One", "First Song"},
                                     {At(21).ToStreamTime() + ahead, At(31).ToStreamTime() + ahead,
                                      "Artist Two", "Second Song"}}));
    clock.Advance(5000);
    ASSERT_TRUE(running.Await(
        [](auto& s) { return s.playlistDownloads == 1 && s.scheduleDownloads == 1; }));
    EXPECT_EQ(running.Status().descriptionsApplied, 1) << TraceText();
    EXPECT_EQ(running.Status().songsExported, 2);
    EXPECT_EQ(Files(".ogg", "Songs"), (std::vector<std::string>{"Artist One - First Song.ogg",
                                                                "Artist Two - Second Song.ogg"}));
    EXPECT_EQ(running.Stop(), 0);
    EXPECT_EQ(GetConfig("ConfigRunWizard"), "1");
    for (const char* line : {"Starting the wavkeep client, ",
                             "Computer name: ", "Time check status 0: Time is checked."})
        EXPECT_TRUE(Has(TraceText(), line));
}

TEST_F(ApplicationTest, UnreachableServiceFailsTheDownloadsAndTheRecordingGoesOn) {
    LogIn();
    AddTask(At(5), At(25));
    VirtualClock clock(kT0);
    RunningApp running(Options(&clock, true, 10000, 10000));
    ASSERT_EQ(running.Start(), 0);
    clock.Advance(5000);
    ASSERT_TRUE(running.Await([](auto& s) { return s.recordingsStopped == 1; }));
    // Each failed run is followed by another at the next expiry.
    for (int i = 0; i < 6; ++i) {
        const ApplicationStatus s = running.Status();
        if (s.playlistDownloads >= 2 && s.scheduleDownloads >= 2) break;
        clock.Advance(10000);
        running.Await(
            [](auto& now) { return !now.playlistDownloadRunning && !now.scheduleDownloadRunning; });
    }
    const ApplicationStatus s = running.Status();
    EXPECT_GE(s.playlistDownloads, 2);
    EXPECT_GE(s.scheduleDownloads, 2);
    EXPECT_EQ(s.songsExported, 0);
    EXPECT_GE(s.chunksCompleted, 1);
    EXPECT_GE(Files(".ogg").size(), 2u);
    EXPECT_TRUE(s.running);
    EXPECT_EQ(running.Stop(), 0);
    EXPECT_TRUE(Has(Events(), "Timecheck failed. Aborting playlist download."));
    EXPECT_TRUE(Has(Events(), "Timecheck failed. Aborting schedule download."));
}

TEST_F(ApplicationTest, WithoutStreamListAndServiceTheStartFails) {
    std::filesystem::remove(StreamNameFile::FilePath());
    ManualClock clock(kT0);
    {
        Application app(Options(&clock, false));
        EXPECT_EQ(app.Start(), 1);
        EXPECT_EQ(m_prompt.Texts(),
                  std::vector<std::string>{
                      "Fatal error:\nChannel list could not be downloaded from site!"});
    }
    EXPECT_FALSE(FindRunningInstance());  // the lock went with it
    EXPECT_FALSE(std::filesystem::exists(StreamNameFile::FilePath()));

    // A service that takes the connection and never answers: a stop from
    // another thread (the control socket's, a signal's) while the start-up
    // waits for the channel list ends the start, without the fatal message
    // the time-out would bring.
    test::RawSocket silent(true);
    PointAt(silent.Url());
    Application app(Options(&clock, false));
    std::thread stopper([&] {
        if (silent.ConnectionWaiting(30000)) app.RequestStop();
    });
    EXPECT_EQ(app.Start(), 1);
    stopper.join();
    EXPECT_TRUE(app.StopRequested());
    EXPECT_EQ(m_prompt.Texts().size(), 1u);
}

TEST_F(ApplicationTest, StartRepairsTheChannelListUrlAndTakesTheServicesChannels) {
    ASSERT_TRUE(m_service.Start(m_data.Path()));
    PointAt(m_service.Root());
    test::WriteFile(m_data.File("channels.txt"), "Jazz FM\tOne\t7\nMusic TV\tTwo\t9\n");
    std::filesystem::remove(StreamNameFile::FilePath());
    // No Options.txt: the wizard is due again.
    SetConfig({{"URLChanelList", ""}, {"ConfigRunWizard", "1"}});
    ManualClock clock(kT0);
    RunningApp running(Options(&clock, false));
    ASSERT_EQ(running.Start(), 0) << FirstPrompt();
    EXPECT_EQ(GetConfig("URLChanelList"),
              m_service.Root() + "/html/playlists/index.php3?a=gsl&country=49");
    EXPECT_EQ(GetConfig("ConfigRunWizard"), "0");
    StreamNameFile streams;
    ASSERT_TRUE(streams.load());
    EXPECT_TRUE(streams.Contains("Jazz FM"));
    EXPECT_TRUE(streams.Contains("Music TV"));
    EXPECT_EQ(running.Stop(), 0);
}

TEST_F(ApplicationTest, StopWhileRecordingAbortsTheChunkAndShutsDownInOrder) {
    AddTask(At(1), At(90));
    ManualClock clock(kT0);
    RunningApp running(Options(&clock, false));
    ASSERT_EQ(running.Start(), 0);
    // The task is due from 1 s on, but nothing records before the reload.
    AdvanceUntil(
        clock, [&] { return clock.Now() >= At(4); }, 10);
    EXPECT_EQ(running.Status().recordingsStarted, 0);
    // Two chunks done and the third begun.
    ASSERT_TRUE(AdvanceUntil(
        clock,
        [&] {
            const int done = running.Status().chunksCompleted;
            return done >= 2 && static_cast<int>(Files(".ogg").size()) > done;
        },
        30));
    EXPECT_GE(clock.Now(), At(5));
    EXPECT_EQ(running.Stop(), 0);

    // The unfinished chunk is gone with its side files; the finished ones stay.
    const auto ogg = Files(".ogg");
    EXPECT_EQ(static_cast<int>(ogg.size()), running.Status().chunksCompleted);
    EXPECT_EQ(Files(".dat").size(), ogg.size());
    EXPECT_EQ(Files(".fgp").size(), ogg.size());
    EXPECT_FALSE(FindRunningInstance());
    EXPECT_FALSE(std::filesystem::exists(m_home.File("wavkeep.sock")));
    const std::string trace = TraceText();
    size_t at = 0;
    for (const char* line :
         {"Shutdown: stopping the request manager and the request threads",
          "Shutdown: shutting the recording controller down", "END THREAD rec control",
          "Shutdown: stopping the disk-space thread", "END THREAD disk", "Shutdown: complete"}) {
        at = trace.find(line, at);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << trace;
    }
}

TEST_F(ApplicationTest, StreamFolderDeletedWhileRecording) {
    // The first task is long: a recorder slowed down (sanitizers, a busy
    // machine) lags the manual clock, and must still meet the missing folder
    // at its next chunk before the task ends.
    AddTask(At(5), At(300));
    AddTask(At(310), At(320));
    ManualClock clock(kT0);
    ApplicationOptions options = Options(&clock, false);
    options.controlSocket = true;
    RunningApp running(options);
    ASSERT_EQ(running.Start(), 0);
    ASSERT_TRUE(AdvanceUntil(
        clock,
        [&] {
            const ApplicationStatus s = running.Status();
            return s.chunksCompleted >= 1 && !s.chunk.empty();
        },
        30));

    // "wavkeep status" asks the running daemon what it records.
    std::ostringstream out, err;
    EXPECT_EQ(RunStatus(out, err), 0);
    const std::string status = out.str();
    EXPECT_TRUE(Has(status, "recorder: \"wavkeep run\", pid " + std::to_string(::getpid())));
    EXPECT_TRUE(test::RegexSearch(
        status, "recording: Radio, chunk 2024_03_01_20_00_0\\d_29\\d_10_2\n"))
        << status;
    EXPECT_TRUE(
        Has(status, "next task: now, 01/03/2024 20:00:05 -> 01/03/2024 20:05:00 Radio (test)"));
    EXPECT_TRUE(Has(status, "allowed (DiskSpace)"));

    std::filesystem::remove_all(m_home.File("Streams/Radio"));
    ASSERT_TRUE(AdvanceUntil(
        clock, [&] { return running.Status().recordingsStopped == 1; }, 295));
    EXPECT_LT(clock.Now(), At(300));  // ended by the failure, not by the task
    EXPECT_TRUE(Has(Events(), "Recording stopped: "));
    EXPECT_TRUE(running.Status().running);
    // The next task records into the folder made anew.
    clock.Set(At(308));
    ASSERT_TRUE(AdvanceUntil(
        clock, [&] { return running.Status().recordingsStopped == 2; }, 40));
    EXPECT_GE(Files(".ogg").size(), 1u);
    EXPECT_EQ(running.Stop(), 0);
}

TEST_F(ApplicationTest, FullDiskEndsTheRecordingAndTheDaemonGoesOn) {
    // Short chunks and a short second task: encoding is slow under sanitizers.
    SetConfig({{"TraceLevel", "None"}, {"SingleFileLength", "4"}});
    AddTask(At(5), At(35));
    AddTask(At(60), At(66));
    VirtualClock clock(kT0);
    RunningApp running(Options(&clock, true));
    ASSERT_EQ(running.Start(), 0);
    // Files may not grow past 12 KB: the first chunk (about 25 KB) cannot be
    // written.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 12000;
    auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    clock.Advance(5000);
    // Once recording, the fast input moves the clock on as fast as it is
    // encoded, and a session that ends wakes the controller.
    const bool stopped = AdvanceUntil(
                             clock, [&] { return running.Status().recordingsStarted == 1; }, 20) &&
                         running.Await([](auto& s) { return s.recordingsStopped == 1; }, 60s);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    ASSERT_TRUE(stopped) << clock.Now().LongText();
    EXPECT_LT(clock.Now(), At(35));
    EXPECT_TRUE(Has(Events(), "Recording stopped: "));
    EXPECT_EQ(running.Status().chunksCompleted, 0);

    clock.Advance(At(60).ToStreamTime() - clock.Now().ToStreamTime());
    // A controller that was between two looks when the clock jumped waits
    // for it to move on.
    ASSERT_TRUE(AdvanceUntil(
        clock, [&] { return running.Status().recordingsStarted == 2; }, 5));
    ASSERT_TRUE(running.Await([](auto& s) { return s.recordingsStopped == 2; }));
    EXPECT_GE(running.Status().chunksCompleted, 1);
    EXPECT_EQ(running.Stop(), 0);
}

// A recording far longer than "DiskSpace" allows, in one session: the disk
// thread deletes the session's own finished chunks, oldest first, so that at
// every check the stream holds at most the allowance and one chunk; what is
// left keeps its names and its true times, and exports as it should.
TEST_F(ApplicationTest, ALongRecordingStaysWithinTheAllowanceAndKeepsItsNewestChunks) {
    // Mono halves the work of encoding; 1 MiB holds about six chunks, and the
    // disk thread checks every 30 s instead of every three minutes, so five
    // minutes see as many checks as half an hour would.
    SetConfig({{"TraceLevel", "None"},
               {"Encoder", "Lame encoder"},
               {"BitRate", "128"},
               {"Mode", "MONO"},
               {"DiskSpace", "1"},
               {"AutoScheduleDownload", "0"},
               {"AutoPlaylistDownload", "0"}});
    // About five minutes, ending 30 s after a track of the generator begins.
    int64_t trackMs = -1;
    for (const GeneratedTrack& t : GeneratedMusic::Layout(3, 44100, int64_t{300} * 44100))
        if (!t.pause && t.startFrame >= 200 * 44100 && t.startFrame < 290 * 44100)
            trackMs = t.startFrame * 1000 / 44100;
    ASSERT_GT(trackMs, 0);
    const int seconds = static_cast<int>(trackMs / 1000) + 30;
    AddTask(At(5), At(5 + seconds));
    VirtualClock clock(kT0);
    ApplicationOptions options = Options(&clock, true);
    options.diskCheckPeriodMs = 30000;
    std::mutex mutex;
    std::vector<uint64_t> left;  // chunk bytes in the stream right after each check
    options.diskCheckObserver = [&](const DiskCheckResult&) {
        const uint64_t used =
            DiskSpaceManager::MeasureUsedSpace(m_home.File("Streams/"), {"Radio"});
        std::lock_guard lock(mutex);
        left.push_back(used);
    };
    RunningApp running(options);
    ASSERT_EQ(running.Start(), 0);
    clock.Advance(5000);
    ASSERT_TRUE(running.Await([](auto& s) { return s.recordingsStopped == 1; }, 300s));
    EXPECT_EQ(running.Stop(), 0);

    const auto chunks = Files(".mp3");
    ASSERT_GE(chunks.size(), 2u);
    uint64_t chunkBytes = 0;
    for (const auto& name : chunks)
        chunkBytes = std::max<uint64_t>(
            chunkBytes, std::filesystem::file_size(m_home.File("Streams/Radio/" + name)));
    {
        std::lock_guard lock(mutex);
        EXPECT_GE(left.size(), size_t(seconds / 30 - 1));
        for (const uint64_t used : left) EXPECT_LE(used, DiskSpaceManager::kMiB + chunkBytes);
    }
    // The newest chunks, under the names they were written with.
    const auto first = ParseChunkName(chunks.front());
    ASSERT_TRUE(first);
    const std::string session = ChunkSessionName(first->start, seconds, 10);
    std::vector<int> numbers;
    for (const auto& name : chunks) {
        ASSERT_EQ(name.rfind(session + "_", 0), 0u) << name;
        numbers.push_back(std::stoi(name.substr(session.size() + 1)));
    }
    std::sort(numbers.begin(), numbers.end());
    EXPECT_GT(numbers.front(), 1);
    EXPECT_GE(numbers.back(), seconds / 10);
    EXPECT_EQ(numbers.back() - numbers.front() + 1, int(numbers.size()));

    // "info" shows them at their true times: from the first chunk left to
    // the end of the task.
    const StreamTime start = first->start.ToStreamTime();
    const StreamTime from = start + (numbers.front() - 1) * 10000LL;
    StreamInfo stream;
    stream.folder = m_home.File("Streams/Radio");
    UpdateStreamInfo(stream);
    std::vector<RecordedRange> ranges;
    std::vector<int> codes;
    GetRecordedRanges(stream, ranges, codes);
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].first, from);
    EXPECT_NEAR(double(ranges[0].second - start), seconds * 1000.0, 1000.0);
    std::ostringstream info, err;
    ASSERT_EQ(RunInfo("Radio", info, err), 0);
    EXPECT_TRUE(Has(info.str(), "chunks present " + std::to_string(numbers.size())));
    ASSERT_LE(from, start + trackMs - 500);

    // A description of the track's first ten seconds, begun half a second
    // early in the pause before it, exports to a song whose music begins
    // half a second in.
    test::WriteFile(
        m_home.File("Streams/Radio/desc.des"),
        DescriptionFile({{start + trackMs - 500, start + trackMs + 10000, "Artist", "Song"}}));
    std::ostringstream out;
    ASSERT_EQ(RunExport({"Radio", "", ""}, out, err), 0) << err.str();
    std::vector<int16_t> pcm;
    const test::DecodedMp3 song = test::DecodeMp3File(m_home.File("Songs/Artist - Song.mp3"), &pcm);
    ASSERT_EQ(song.channels, 1);
    size_t loud = 0;
    while (loud < pcm.size() && std::abs(pcm[loud]) < 1000) ++loud;
    // The codecs' delays (about 25 ms) and the track's first attack put the
    // first loud sample a little after the half second; a song cut from the
    // wrong place would be tens of seconds off.
    EXPECT_NEAR(double(loud) * 1000 / 44100, 550.0, 60.0);
    EXPECT_NEAR(double(song.samplesPerChannel) / 44100, 10.5, 0.1);
}

TEST_F(ApplicationTest, ATimerFiringWhileADownloadWorksIsTracedAndTheStopCancelsIt) {
    test::RawSocket silent(true);  // takes connections and never answers
    PointAt(silent.Url());
    SetConfig({{"TraceLevel", "Debug"}});
    LogIn();
    ManualClock clock(kT0);
    RunningApp running(Options(&clock, false, 1000, 1000));
    ASSERT_EQ(running.Start(), 0);
    clock.Advance(1000);
    ASSERT_TRUE(running.Await([](auto& s) {
        return s.playlistDownloadRunning && s.scheduleDownloadRunning;
    })) << TraceText();
    clock.Advance(1000);
    ASSERT_TRUE(WaitFor([&] {
        return Has(TraceText(), "Playlist request while working playlist request") &&
               Has(TraceText(), "Schedule request while working schedule request");
    }));
    EXPECT_EQ(running.Stop(), 0);
    // Cancelled, rather than left to their 20 s time-out; their results came
    // after the loop ended.
    EXPECT_TRUE(Has(TraceText(), "attempt(s): cancelled"));
    EXPECT_EQ(running.Status().playlistDownloads, 0);
}


#ifdef __SANITIZE_ADDRESS__
// The address sanitizer keeps freed memory aside and encodes slowly: the
// soak runs shorter there, and its resident size is not held to the bound.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

struct ProcessSample {
    long rssKiB = 0;      // resident memory
    long heapKiB = 0;     // handed out by malloc (not what it keeps for reuse)
    int fds = 0;          // open file descriptors
};

ProcessSample SampleProcess() {
    ProcessSample p;
    std::istringstream status(test::ReadFile("/proc/self/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) p.rssKiB = std::stol(line.substr(6));
    const struct mallinfo2 heap = ::mallinfo2();
    p.heapKiB = static_cast<long>((heap.uordblks + heap.hblkhd) / 1024);
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++p.fds;
    return p;
}

// The daemon for hours of virtual time (SOAK_HOURS, default 2): every half
// hour a scheduled recording of SOAK_RECORD_SECONDS (default 90) from the
// generator, under an allowance that holds about one of them; the service on
// loopback describes two songs of each, which the next playlist download
// exports. Memory and descriptors stay flat once the first recording and
// download have warmed up; every song is exported, the allowance is kept,
// the newest recording is whole and every chunk left decodes.
TEST_F(ApplicationTest, SoakRecordingDownloadsExportsAndPruningStayFlat) {
    const char* hoursText = std::getenv("SOAK_HOURS");
    const char* recordText = std::getenv("SOAK_RECORD_SECONDS");
    const double hours = hoursText ? std::atof(hoursText) : (kSanitized ? 1 : 2);
    const int slots = std::max(2, static_cast<int>(2 * hours));
    const int recordSeconds = recordText ? std::max(30, std::atoi(recordText)) : 90;
    constexpr int kSlotSeconds = 1800;
    SetConfig({{"TraceLevel", std::getenv("SOAK_TRACE") ? "Detail" : "None"},
               {"Encoder", "Lame encoder"}, {"BitRate", "64"},
               {"Mode", "MONO"}, {"DiskSpace", "1"}, {"AutoScheduleDownload", "1"},
               {"AutoPlaylistDownload", "1"}});
    VirtualClock clock(kT0);
    const auto service = StartServiceOn(clock);
    ASSERT_TRUE(service);
    LogIn();
    SetConfig({{"ConfigRunWizard", "1"}});
    const auto slotStart = [&](int k) { return k * kSlotSeconds + 60; };
    for (int k = 0; k < slots; ++k) AddTask(At(slotStart(k)), At(slotStart(k) + recordSeconds));
    ApplicationOptions options = Options(&clock, true, 300000);
    options.diskCheckPeriodMs = 30000;
    std::mutex mutex;
    uint64_t mostUsed = 0;
    options.diskCheckObserver = [&](const DiskCheckResult&) {
        const uint64_t used = DiskSpaceManager::MeasureUsedSpace(m_home.File("Streams/"), {"Radio"});
        std::lock_guard lock(mutex);
        mostUsed = std::max(mostUsed, used);
    };
    RunningApp running(options);
    ASSERT_EQ(running.Start(), 0) << FirstPrompt();
    std::filesystem::create_directories(m_data.File("streams/Radio"));

    std::vector<ProcessSample> samples;
    std::set<std::string> expected;
    for (int k = 0; k < slots; ++k) {
        // Idle time passes in virtual seconds; the recording moves the clock
        // with its audio.
        const auto started = [&] { return running.Status().recordingsStarted == k + 1; };
        while (!started() && clock.Now() < At(slotStart(k))) {
            clock.Advance(std::min<int64_t>(1000, At(slotStart(k)).ToStreamTime() -
                                                      clock.Now().ToStreamTime()));
            std::this_thread::sleep_for(1ms);
        }
        // The scheduler takes its time on a busy machine: the clock creeps on.
        for (int i = 0; i < 3000 && !started(); ++i) {
            clock.Advance(10);
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(started()) << "slot " << k << " at " << clock.Now().LongText() << "\n"
                               << running.Status().recordingsStarted << " started, "
                               << running.Status().recordsSkipped << " skipped";
        ASSERT_TRUE(running.Await([&](auto& s) { return s.recordingsStopped == k + 1; }, 300s));
        // Two songs of this recording, in the service's time.
        const StreamTime ahead = 3500;
        const StreamTime s0 = At(slotStart(k)).ToStreamTime() + ahead;
        const std::string artist = "Artist " + std::to_string(k);
        test::WriteFile(m_data.File("streams/Radio/slot" + std::to_string(k) + ".des"),
                        DescriptionFile({{s0 + 10000, s0 + 35000, artist.c_str(), "First"},
                                         {s0 + 40000, s0 + 70000, artist.c_str(), "Second"}}));
        expected.insert(artist + " - First.mp3");
        expected.insert(artist + " - Second.mp3");
        // The rest of the half hour: downloads every five minutes export them.
        while (clock.Now() < At(slotStart(k) + kSlotSeconds - 60)) {
            clock.Advance(1000);
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_TRUE(running.Await([&](auto& s) {
            return s.songsExported >= 2 * (k + 1) && !s.playlistDownloadRunning;
        })) << "slot " << k << ": " << running.Status().songsExported << " songs";
        samples.push_back(SampleProcess());
        if (k % 8 == 7)
            std::printf("soak: %.1f virtual hours, RSS %ld KiB, heap %ld KiB, %d fds\n",
                        (k + 1) / 2.0, samples.back().rssKiB, samples.back().heapKiB,
                        samples.back().fds);
    }
    EXPECT_EQ(running.Stop(), 0);

    // Flat, after the first slot (libraries loaded, the threads' arenas
    // made): the heap in use grows by at most 4 MiB, the resident size by at
    // most 8 MiB (16 MiB in runs of more than a day: the allocator's arenas
    // fragment), and the descriptors open between downloads (the fewest of
    // the last four samples) are no more than at the start; a download in
    // flight may hold a few more.
    const ProcessSample warm = samples.front();
    ProcessSample most = warm;
    for (const ProcessSample& p : samples) {
        most.rssKiB = std::max(most.rssKiB, p.rssKiB);
        most.heapKiB = std::max(most.heapKiB, p.heapKiB);
        most.fds = std::max(most.fds, p.fds);
    }
    if (!kSanitized) {
        EXPECT_LE(most.heapKiB, warm.heapKiB + 4 * 1024);
        EXPECT_LE(most.rssKiB, warm.rssKiB + (slots > 48 ? 16 : 8) * 1024);
    }
    int lastFds = INT_MAX, firstFds = INT_MAX;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (i < 4) firstFds = std::min(firstFds, samples[i].fds);
        if (i + 4 >= samples.size()) lastFds = std::min(lastFds, samples[i].fds);
    }
    EXPECT_LE(lastFds, firstFds);
    EXPECT_LE(most.fds, warm.fds + 6);
    std::printf("soak: %d slots (%.1f virtual hours, %d s recorded each): RSS %ld..%ld KiB, heap "
                "%ld..%ld KiB, fds %d..%d (between downloads %d, then %d), most stream bytes "
                "%llu\n",
                slots, slots / 2.0, recordSeconds, warm.rssKiB, most.rssKiB, warm.heapKiB,
                most.heapKiB, warm.fds, most.fds, firstFds, lastFds,
                static_cast<unsigned long long>(mostUsed));

    // The allowance, less what it cannot help: one chunk being written.
    const auto chunks = Files(".mp3");
    ASSERT_FALSE(chunks.empty());
    uint64_t chunkBytes = 0;
    for (const auto& name : chunks) {
        const std::string path = m_home.File("Streams/Radio/" + name);
        chunkBytes = std::max<uint64_t>(chunkBytes, std::filesystem::file_size(path));
        EXPECT_EQ(test::DecodeMp3File(path).errors, 0) << name;
    }
    EXPECT_LE(mostUsed, DiskSpaceManager::kMiB + chunkBytes);
    // The newest recording whole: chunks 1.. of its session, none missing.
    const auto last = ParseChunkName(chunks.back());
    ASSERT_TRUE(last);
    std::set<int> newest;
    for (const auto& name : chunks)
        if (const auto c = ParseChunkName(name); c && c->start == last->start)
            newest.insert(c->number);
    EXPECT_EQ(*newest.begin(), 1);
    EXPECT_EQ(*newest.rbegin(), int(newest.size()));
    EXPECT_GE(int(newest.size()) * 10, recordSeconds);
    // Every song exported once and whole.
    const auto songs = Files(".mp3", "Songs");
    EXPECT_EQ(std::set<std::string>(songs.begin(), songs.end()), expected);
    for (const auto& name : songs) {
        const test::DecodedMp3 d = test::DecodeMp3File(m_home.File("Songs/" + name));
        EXPECT_EQ(d.errors, 0) << name;
        EXPECT_NEAR(double(d.samplesPerChannel) / 44100, name.find("First") != std::string::npos ? 25.0 : 30.0, 0.5)
            << name;
    }
}

}  // namespace
}  // namespace wk
