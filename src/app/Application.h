#pragma once
// The application object of the program without windows ("wavkeep run"); the
// desktop shell will reuse it around its own loop.
//
// Start-up (Start), in this order. A failure shows its message through the
// UserPrompt and ends the start: exit code 1, or 2 for an input that cannot
// be used at all.
//  1. The capture input is made (not opened); a daemon follows the wall
//     clock, so an input that delivers faster than real time is refused.
//  2. Single instance: the program home's lock (InstanceLock.h) and the
//     control socket (ControlChannel.h). A second instance writes its
//     description file into share.shr, sends "open PATH" to the first and
//     ends.
//  3. The sound-card test of an ALSA input: "Error : sound card does not
//     exist!", "Cannot determine sound card capabilities!" or the 16-bit /
//     44 kHz text. File and generator inputs need none.
//  4. config.ini: an empty "URLChanelList" is set to the service's channel
//     page ("DefaultURL" + "/html/playlists/index.php3?a=gsl&country=49").
//  5. The trace and the start banner; AppliedDesIDs.dat; the HTTP client
//     ("wavkeepSession", 10 connect retries, 20 s connect time-out, each
//     request kNetworkTimeLimitMs in all; made at construction, so a stop
//     can cancel it at any time); the event log; the hand-over folder.
//  6. No Options.txt: "ConfigRunWizard" becomes "0" (the set-up wizard
//     itself belongs to the desktop shell).
//  7. The stream list, else the service's channel list; with neither:
//     "Fatal error:\nChannel list could not be downloaded from site!", exit 1.
//  8. The schedule, the recording controller (waiting for its start event),
//     the disk-space thread, the interactive time check when an account is
//     stored, the timers and the recording notifier's subscriptions; a
//     description file given to this instance is opened.
//
// Timers, on the process clock (ApplicationOptions shortens them for tests):
//  - state indicator, every 500 ms: the status that Status() and the
//    "status" request report;
//  - schedule and playlist download, 10 s after the start and then every
//    5 minutes, unless "AutoScheduleDownload" / "AutoPlaylistDownload" is
//    "0" (read at every expiry). Each download runs on a worker thread of its
//    own, so the loop never waits for the service; an expiry while the last
//    run still works traces "Schedule request while working schedule
//    request" / "Playlist request while working playlist request" (30);
//  - reload, once after 5 s: the stream list is read again and the recording
//    controller's start event set, so recording begins.
//
// A stop (RequestStop, SIGINT, SIGTERM, the "stop" request) cancels every
// running request at once, start-up included: a stop during the start ends
// Start with 1 and no message (StopRequested tells it apart).
//
// Shutdown, once Run's loop ends (RequestStop, SIGINT, SIGTERM, the "stop"
// request), in this order: the request manager and the request threads
// (connect thread, HTTP client cancelled, the download and import workers,
// WaitForPostRequests); the recording controller (a running recording is
// aborted, its unfinished chunk deleted); the disk-space thread; then the
// control socket and the lock. SIGHUP reloads config.ini and schedule.txt.
//
// Threading: construct, Start, Run and destroy on one thread, the main
// thread, which runs the loop; RequestStop, RequestReload, Status and
// StatusText may be called from any thread.

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/ConfigStore.h"
#include "core/EventLoop.h"
#include "platform/ControlChannel.h"
#include "platform/HttpClient.h"
#include "platform/InstanceLock.h"
#include "recording/CTRecordingController.h"
#include "scheduler/Scheduler.h"
#include "server/RequestManager.h"

namespace wk {

class Clock;
class DiskSpaceManager;
struct DiskCheckResult;

struct ApplicationOptions {
    // The capture input as "wavkeep record" takes it; empty: "alsa".
    std::string input;
    // Replaces `input` (tests): the device of every recording session.
    CTRecordingController::DeviceFactory deviceFactory;
    // Installed as the process clock while the application lives (tests);
    // nullptr keeps the process clock.
    Clock* clock = nullptr;
    // A description file to open once started, or to hand over to the
    // instance that runs already.
    std::string descriptionFile;
    int64_t indicatorPeriodMs = 500;
    int64_t firstDownloadMs = 10000;
    int64_t downloadPeriodMs = 300000;
    int64_t reloadDelayMs = 5000;
    bool catchSignals = true;  // SIGINT, SIGTERM, SIGHUP
    bool controlSocket = true;
    // Replaces the connect retries and time-outs of every HTTP client (tests).
    std::optional<HttpSettings> http;
    // Called on the disk thread after each of its checks (tests).
    std::function<void(const DiskCheckResult&)> diskCheckObserver;
    // The disk thread's time between checks; 0 keeps its three minutes (tests).
    int64_t diskCheckPeriodMs = 0;
    // What the lock file names as the holder: "run" for the daemon, "gui"
    // for the desktop shell, so that a second start knows whom it meets.
    std::string lockCommand = "run";
    // Called on the control thread after a "raise" or an "open" request: a
    // window shows itself (it must only post to its own loop). Without it,
    // "raise" is answered with an error.
    std::function<void()> onRaise;
};

struct ApplicationStatus {
    bool running = false;  // started and not yet shut down
    bool recording = false;
    std::string stream;   // of the running (or last) recording
    std::string chunk;    // the chunk file being written, "" when none
    std::string session;  // folder + name of the running (or last) recording
    int recordingsStarted = 0;
    int recordingsStopped = 0;
    int recordsSkipped = 0;
    int chunksCompleted = 0;
    int scheduleDownloads = 0;  // runs finished
    int playlistDownloads = 0;
    int tasksDownloaded = 0;  // tasks the schedule downloads inserted
    int descriptionsApplied = 0;
    int songsExported = 0;  // music files the playlist downloads put into place
    int imports = 0;        // handed-over description files imported
    int importsFailed = 0;
    int reloads = 0;  // SIGHUP
    bool scheduleDownloadRunning = false;
    bool playlistDownloadRunning = false;
    bool diskChecked = false;  // the disk thread has checked the allowance
    bool diskMet = false;      // and its last check left the streams within it
};

class Application final : public MessageReceiver, private HttpStatusSink {
public:
    // Private messages of the application's receiver.
    static constexpr int kMsgOpenDescription = 0x8038;  // payload: path; none: share.shr
    static constexpr int kMsgReload = 0x8100;
    static constexpr int kMsgScheduleDone = 0x8101;
    static constexpr int kMsgPlaylistDone = 0x8102;
    static constexpr int kMsgImportDone = 0x8103;
    static constexpr int kMsgNewSchedule = 0x8104;
    // The recording notifier's events as the main frame receives them.
    static constexpr int kMsgRecordingStarted = 1125;
    static constexpr int kMsgRecordingStopped = 1126;
    static constexpr int kMsgChunkFilesClosed = 1128;
    static constexpr int kMsgChunkCompleted = 1129;
    static constexpr int kMsgRecordSkipped = 1131;

    explicit Application(ApplicationOptions options = {});
    ~Application() override;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // 0 when started; otherwise the exit code, the message shown.
    int Start();
    // Runs the loop until a stop, then shuts down; returns the exit code.
    int Run();

    void RequestStop();
    void RequestReload();
    // The timers' downloads at once (main thread); a run still working
    // makes them trace and do nothing, as at a timer's expiry.
    void RequestScheduleDownload() { StartScheduleDownload(); }
    void RequestPlaylistDownload() { StartPlaylistDownload(); }
    // Opens (imports) a description file as a hand-over does; any thread.
    void RequestOpen(const std::string& path) {
        m_loop.Post(m_slot.Id(), kMsgOpenDescription, 0, 0,
                    std::make_unique<ValuePayload<std::string>>(path));
    }
    bool StopRequested() const { return m_stopping.load(); }

    ApplicationStatus Status() const;
    // The answer to the "status" request: "key=value" lines.
    std::string StatusText() const;

    EventLoop& Loop() { return m_loop; }
    Scheduler& GetScheduler() { return m_scheduler; }
    CTRecordingController* Controller() { return m_controller.get(); }

    void HandleMessage(Message& message) override;

private:
    // A worker thread for one kind of job; one run at a time.
    class Job {
    public:
        ~Job() { Join(); }
        bool Running() const { return m_running.load(); }
        // False when the last run still works. `name` (a literal, at most
        // 15 characters) names the thread.
        bool Start(const char* name, std::function<void()> work);
        void Join();

    private:
        std::atomic<bool> m_running{false};
        std::thread m_thread;
    };

    struct ImportOutcome {
        std::string path;
        int code = 0;
        std::string output;
        std::string error;
    };

    int Fail(const std::string& text, int code);
    int SecondInstance(const std::string& why);
    bool StartControl();
    std::string AnswerRequest(const std::string& request);
    void WriteStartBanner();
    bool LoadStreamList();
    void PrepareTimeCheck(bool start);
    void StartTimers();
    void ArmScheduleTimer(int64_t ms);
    void ArmPlaylistTimer(int64_t ms);
    void StartScheduleDownload();
    void StartPlaylistDownload();
    void OpenDescription(const std::string& path);
    void StartNextImport();
    void Reload();
    void UpdateStatus();
    void Shutdown();
    void OnHttpStatus(int code, const std::string& text, bool closable) override;

    ApplicationOptions m_options;
    bool m_clockInstalled = false;
    EventLoop m_loop;
    ReceiverSlot m_slot;
    InstanceLock m_lock;
    ControlServer m_control;
    ConfigStore m_config;  // the shared instance, main thread only
    std::unique_ptr<HttpClient> m_http;
    Scheduler m_scheduler;
    std::unique_ptr<CTRecordingController> m_controller;
    std::unique_ptr<DiskSpaceManager> m_disk;
    bool m_started = false;
    bool m_subscribed = false;
    bool m_shutDown = false;
    TimerId m_indicatorTimer = 0;
    TimerId m_scheduleTimer = 0;
    TimerId m_playlistTimer = 0;
    TimerId m_reloadTimer = 0;

    Job m_scheduleJob;
    Job m_playlistJob;
    Job m_importJob;
    // The playlist download and the import both rewrite the stream's
    // desc.des; they take turns.
    std::mutex m_descriptionsMutex;
    std::deque<std::string> m_pendingImports;  // main thread only

    mutable std::mutex m_statusMutex;
    ApplicationStatus m_status;
    std::atomic<bool> m_stopping{false};
};

}  // namespace wk
