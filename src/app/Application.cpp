#include "app/Application.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <utility>

#include "app/CaptureInput.h"
#include "core/Clock.h"
#include "core/EventLog.h"
#include "core/FileLock.h"
#include "core/ProgramHome.h"
#include "core/RecordingNotifier.h"
#include "core/SystemInfo.h"
#include "core/Trace.h"
#include "core/Translation.h"
#include "core/UserPrompt.h"
#include "core/Version.h"
#include "export/ExportThread.h"
#include "platform/HttpClientCurl.h"
#include "server/AppliedDesIds.h"
#include "server/ChannelList.h"
#include "server/Credentials.h"
#include "server/PostRequest.h"
#include "streamstore/DiskSpaceManager.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

constexpr const char* kFatalChannelList =
    "Fatal error:\nChannel list could not be downloaded from site!";
constexpr const char* kChannelPage = "/html/playlists/index.php3?a=gsl&country=49";
// How long the shutdown waits for post-request threads after cancelling them.
constexpr int kPostRequestWaitMs = 10000;

std::string ServiceRoot(const ConfigStore& config) {
    std::string root = config.GetString("DefaultURL");
    if (root.empty() || root == kKeyNotFound) root = kDefaultServiceRoot;
    while (!root.empty() && root.back() == '/') root.pop_back();
    return root;
}

}  // namespace

// --- start-up ----------------------------------------------------------------

namespace {

// Each request of the daemon's client ends within kNetworkTimeLimitMs, its
// retries included.
HttpSettings DaemonHttpSettings(const ApplicationOptions& options) {
    HttpSettings http;
    http.userAgent = "wavkeepSession";
    http.connectRetries = 10;
    http.connectTimeoutMs = 20000;
    if (options.http) {
        const HttpSettings& o = *options.http;
        http.connectRetries = o.connectRetries;
        http.connectTimeoutMs = o.connectTimeoutMs;
        http.retryPauseMs = o.retryPauseMs;
        http.totalTimeoutMs = o.totalTimeoutMs;
    }
    return http;
}

}  // namespace

// The client exists before the control channel can deliver a stop, so a stop
// during the start-up finds it to cancel.
Application::Application(ApplicationOptions options)
    : m_options(std::move(options)),
      m_slot(m_loop, this),
      m_http(std::make_unique<HttpClientCurl>(DaemonHttpSettings(m_options))) {
    if (m_options.clock) {
        SetClock(m_options.clock);
        m_clockInstalled = true;
    }
}

Application::~Application() {
    if (m_started && !m_shutDown) Shutdown();
    m_control.Stop();
    if (m_subscribed) RecordingNotifier::Instance().Unsubscribe(m_loop, m_slot.Id());
    if (m_controller) m_controller->Shutdown();
    if (m_disk) m_disk->Stop();
    m_lock.Release();
    if (m_clockInstalled) SetClock(nullptr);
}

int Application::Fail(const std::string& text, int code) {
    GetUserPrompt().Show(text, kMbOk | kMbIconStop);
    return code;
}

int Application::SecondInstance(const std::string& why) {
    std::string text = why;
    if (m_options.descriptionFile.empty()) {
        text += "; nothing done";
        return Fail(text, 1);
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(m_options.descriptionFile, ec))
        return Fail(text + "; cannot read " + m_options.descriptionFile, 1);
    std::string problem;
    if (HandOverDescriptionFile(m_options.descriptionFile, &problem)) {
        text += "; " + m_options.descriptionFile + " was handed over to it";
    } else {
        text += "; " + m_options.descriptionFile + " was not opened (" + problem + ")";
    }
    return Fail(text, 1);
}

int Application::Start() {
    if (m_started) return 0;

    // 1. The input, before anything is touched.
    const std::string input = CaptureInputOrDefault(m_options.input);
    std::unique_ptr<CaptureDevice> first;
    if (!m_options.deviceFactory) {
        std::string why;
        first = CreateCaptureDevice(input, &why);
        if (!first) return Fail(why, 2);
        if (!first->IsRealTime()) {
            return Fail("\"" + input +
                            "\" delivers audio as fast as it is encoded; the daemon "
                            "records at the pace of the clock: use a real-time input (alsa, "
                            "file:PATH:realtime, generator:SEED)",
                        2);
        }
    }

    // 2. Single instance.
    std::string why;
    if (!m_lock.Acquire(m_options.lockCommand, &why)) {
        if (FindRunningInstance()) return SecondInstance(why);
        return Fail(why, 1);
    }
    if (!StartControl()) return 1;

    // 3. The sound card.
    ConfigStore early;
    early.Load();
    RecordingSettings settings;
    early.ReadRecordingSettings(settings);
    if (first && IsSoundCardInput(input)) {
        const int message = TestSoundCard(*first, settings.mode == kModeMono ? 1 : 2, nullptr);
        if (message != 0) return Fail(LoadTranslatedString(message), 1);
    }

    // 4. Configuration.
    m_config.Load();
    if (m_config.GetString("URLChanelList").empty()) {
        m_config.SetString("URLChanelList", ServiceRoot(m_config) + kChannelPage);
        m_config.Save();
    }

    // 5. Trace, banner, applied descriptions, HTTP client, event log.
    SetUpTraceFromConfig();
    WriteStartBanner();
    {
        AppliedDesIds applied;
        if (!applied.Load())
            Trace(kTraceError, "Error loading the AppliedDesIDs.dat file (%s)",
                  applied.Path().c_str());
        else
            Trace(kTraceDebug, "%zu applied description identifiers", applied.Ids().size());
    }
    if (m_options.http) {
        const HttpSettings& o = *m_options.http;
        CHTTPRequestManager::Instance().SetClientFactory([o](const HttpSettings& given) {
            HttpSettings s = o;
            s.deadline = given.deadline;
            s.userAgent = "MySession";
            return std::unique_ptr<HttpClient>(std::make_unique<HttpClientCurl>(s));
        });
    }
    EventLog::Instance().Open();
    RegisterHandOverFolder();
    InstallMatchingExport();  // an imported file's songs are exported after matching

    // 6. No account file: the set-up wizard is due (in the desktop shell).
    std::error_code optionsError;
    if (!std::filesystem::exists(ProgramFile("Options.txt"), optionsError)) {
        m_config.SetString("ConfigRunWizard", "0");
        m_config.Save();
    }
    Trace(kTraceDebug, "ConfigRunWizard=%s (the set-up wizard belongs to the desktop shell)",
          m_config.GetString("ConfigRunWizard").c_str());

    // 7. The stream list.
    if (!LoadStreamList()) {
        if (m_stopping) {
            Trace(kTraceInfo, "Stopped during the start-up");
            return 1;
        }
        return Fail(TranslateText(kFatalChannelList), 1);
    }
    m_config.Load();  // loading the list may have reset "ActiveStream"
    Trace(kTraceInfo, "Active stream: %s", m_config.GetString("ActiveStream").c_str());

    // 8. Schedule, recording controller, disk-space thread, time check, timers.
    if (!m_scheduler.load())
        Trace(kTraceInfo, "No schedule yet (%s)", m_scheduler.FileName().c_str());
    m_controller = std::make_unique<CTRecordingController>(m_scheduler);
    m_controller->SetDeviceFactory(m_options.deviceFactory
                                       ? m_options.deviceFactory
                                       : MakeCaptureDeviceFactory(std::move(first), input));
    m_controller->Create();
    m_controller->Start();
    m_disk = std::make_unique<DiskSpaceManager>(StreamNameFile::StreamRoot());
    m_disk->SetNotifyReceiver(&m_loop, m_slot.Id());
    if (m_options.diskCheckObserver) m_disk->SetCheckObserver(m_options.diskCheckObserver);
    if (m_options.diskCheckPeriodMs > 0) m_disk->SetCheckPeriod(m_options.diskCheckPeriodMs);
    m_disk->Start();
    CHTTPRequestManager::Instance().SetStatusSink(this);
    PrepareTimeCheck(true);

    Trace(kTraceDetail, "polling timer for easy set");
    StartTimers();
    auto& notifier = RecordingNotifier::Instance();
    notifier.Subscribe(kEventRecordingStarted, m_loop, m_slot.Id(), kMsgRecordingStarted);
    notifier.Subscribe(kEventRecordingStopped, m_loop, m_slot.Id(), kMsgRecordingStopped);
    notifier.Subscribe(kEventChunkFilesClosed, m_loop, m_slot.Id(), kMsgChunkFilesClosed);
    notifier.Subscribe(kEventChunkCompleted, m_loop, m_slot.Id(), kMsgChunkCompleted);
    notifier.Subscribe(kEventRecordSkipped, m_loop, m_slot.Id(), kMsgRecordSkipped);
    m_subscribed = true;

    m_started = true;
    {
        std::lock_guard lock(m_statusMutex);
        m_status.running = true;
    }
    if (!m_options.descriptionFile.empty())
        m_loop.Post(m_slot.Id(), kMsgOpenDescription, 0, 0,
                    std::make_unique<ValuePayload<std::string>>(m_options.descriptionFile));
    Trace(kTraceInfo, "wavkeep runs in %s (pid %d)", ProgramFolder().c_str(),
          static_cast<int>(::getpid()));
    return 0;
}

bool Application::StartControl() {
    std::string why;
    const bool ok = m_control.Start(
        m_options.controlSocket, m_options.catchSignals,
        [this](const std::string& request) { return AnswerRequest(request); },
        [this](int signal) {
            if (signal == SIGHUP) {
                RequestReload();
            } else {
                Trace(kTraceInfo, "Signal %d: stopping", signal);
                RequestStop();
            }
        },
        &why);
    if (!ok) Fail(why, 1);
    return ok;
}

std::string Application::AnswerRequest(const std::string& request) {
    if (request == "status") return StatusText();
    if (request == "stop") {
        Trace(kTraceInfo, "Stop requested through the control socket");
        RequestStop();
        return "ok\n";
    }
    if (request == "open" || request.rfind("open ", 0) == 0) {
        if (m_stopping.load()) return "error: wavkeep is shutting down\n";
        // Without a path the file is named in share.shr.
        const std::string path = request.size() > 5 ? request.substr(5) : std::string();
        std::unique_ptr<MessagePayload> payload;
        if (!path.empty()) payload = std::make_unique<ValuePayload<std::string>>(path);
        m_loop.Post(m_slot.Id(), kMsgOpenDescription, 0, 0, std::move(payload));
        if (m_options.onRaise) m_options.onRaise();
        return "ok\n";
    }
    if (request == "raise") {
        if (!m_options.onRaise) return "error: this instance has no window\n";
        m_options.onRaise();
        return "ok\n";
    }
    return "error: unknown request\n";
}

void Application::WriteStartBanner() {
    Trace(kTraceInfo, "Starting the wavkeep client, %s version %s", kWavkeepBuildLabel,
          GetProgramVersion().c_str());
    const DateTime now = GetClock().Now();
    char date[16];
    std::snprintf(date, sizeof date, "%02d/%02d/%02d", now.month % 100, now.day % 100,
                  now.year % 100);
    Trace(kTraceInfo, "Start date: %s", date);
    Trace(kTraceInfo, "Computer name: %s", GetComputerNameString().c_str());
    Trace(kTraceInfo, "Build time: %s, %s\r\n", __DATE__, __TIME__);
}

bool Application::LoadStreamList() {
    StreamNameFile streams;
    if (streams.load()) return true;
    Trace(kTraceInfo, "No stream list in %s: asking the service for its channel list",
          StreamNameFile::FilePath().c_str());
    std::vector<std::string> skipped;
    const bool loaded = LoadStreamListFromService(*m_http, streams, &skipped);
    for (const std::string& line : skipped) AddEvent("Channel " + line + "; skipped");
    if (!loaded) {
        Trace(kTraceError, "The channel list could not be downloaded (%s)",
              m_config.GetString("URLChanelList").c_str());
        return false;
    }
    // A command may have written the list during the request: the channels
    // go into the list as it is now.
    FileLock lock;
    std::string why;
    if (!lock.AcquireFor(StreamNameFile::FilePath(), FileLock::kDefaultTimeoutMs, &why)) {
        Trace(kTraceError, "The channel list was not saved: %s", why.c_str());
        return true;
    }
    StreamNameFile current;
    const bool written = current.load();
    if (written)
        for (const auto& record : streams.Records())
            if (!current.Contains(record->name)) current.AddCopy(*record);
    StreamNameFile& saved = written ? current : streams;
    saved.CreateFolders();
    if (!saved.save()) Trace(kTraceError, "Cannot write %s", StreamNameFile::FilePath().c_str());
    return true;
}

void Application::PrepareTimeCheck(bool start) {
    Credentials credentials;
    if (!ReadCredentials(credentials)) {
        if (start) Trace(kTraceInfo, "No account stored (Options.txt): no time check at start");
        return;
    }
    CHTTPRequestManager& manager = CHTTPRequestManager::Instance();
    manager.SetTimeCheckRequest(credentials.login, credentials.password);
    manager.SetTimeCheckUrl(m_config.GetString("TimeCheckURL"));
    if (start) CConnectThread::Instance().StartTimeCheck();
}

void Application::OnHttpStatus(int code, const std::string& text, bool) {
    Trace(kTraceInfo, "Time check status %d: %s", code, text.c_str());
}

void Application::RequestStop() {
    m_stopping = true;
    m_loop.Quit(0);
    // Whatever waits for the service now, the start-up's channel list
    // included, gives up at once (after the quit: its result is not handled).
    m_http->Cancel();
    CHTTPRequestManager::CancelRequests();
}

void Application::RequestReload() {
    m_loop.Post(m_slot.Id(), kMsgReload);
}

void Application::Reload() {
    m_config.Load();
    SetTraceLevel(GetTraceLevelNumber());
    const bool loaded = m_scheduler.load();
    PrepareTimeCheck(false);
    if (m_controller) m_controller->Poke();
    Trace(kTraceInfo, "config.ini and schedule.txt reloaded (%s, %zu tasks)",
          loaded ? "schedule read" : "no schedule", m_scheduler.TaskCount());
    std::lock_guard lock(m_statusMutex);
    ++m_status.reloads;
}

// --- status ------------------------------------------------------------------

void Application::UpdateStatus() {
    if (!m_controller) return;
    const bool recording = m_controller->IsRecording();
    const std::string chunk = m_controller->CurrentFileName();
    const std::string session = m_controller->CurrentSessionFolder();
    const std::string stream =
        session.empty() ? std::string()
                        : std::filesystem::path(session).parent_path().filename().string();
    const std::optional<DiskCheckResult> disk = m_disk ? m_disk->LastCheck() : std::nullopt;
    std::lock_guard lock(m_statusMutex);
    m_status.diskChecked = disk.has_value();
    m_status.diskMet = disk && disk->Met();
    if (recording != m_status.recording)
        Trace(kTraceDetail, "State indicator: %s", recording ? "recording" : "not recording");
    m_status.recording = recording;
    m_status.chunk = chunk;
    m_status.session = session;
    m_status.stream = stream;
}

ApplicationStatus Application::Status() const {
    std::lock_guard lock(m_statusMutex);
    return m_status;
}

std::string Application::StatusText() const {
    const ApplicationStatus s = Status();
    std::ostringstream out;
    out << "pid=" << ::getpid() << '\n'
        << "running=" << (s.running ? 1 : 0) << '\n'
        << "recording=" << (s.recording ? 1 : 0) << '\n'
        << "stream=" << s.stream << '\n'
        << "chunk=" << s.chunk << '\n'
        << "session=" << s.session << '\n'
        << "recordings=" << s.recordingsStarted << '\n'
        << "chunks=" << s.chunksCompleted << '\n'
        << "skipped=" << s.recordsSkipped << '\n'
        << "scheduleDownloads=" << s.scheduleDownloads << '\n'
        << "playlistDownloads=" << s.playlistDownloads << '\n'
        << "songsExported=" << s.songsExported << '\n'
        << "imports=" << s.imports << '\n'
        << "diskChecked=" << (s.diskChecked ? 1 : 0) << '\n'
        << "diskMet=" << (s.diskMet ? 1 : 0) << '\n';
    return out.str();
}

// --- shutdown ----------------------------------------------------------------

int Application::Run() {
    if (!m_started) return 1;
    const int code = m_loop.Run();
    Shutdown();
    return code;
}

void Application::Shutdown() {
    if (m_shutDown) return;
    m_shutDown = true;
    m_stopping = true;
    for (TimerId* timer : {&m_indicatorTimer, &m_scheduleTimer, &m_playlistTimer, &m_reloadTimer}) {
        if (*timer != 0) m_loop.KillTimer(*timer);
        *timer = 0;
    }

    Trace(kTraceInfo, "Shutdown: stopping the request manager and the request threads");
    CHTTPRequestManager::Shutdown();
    m_http->Cancel();
    m_scheduleJob.Join();
    m_playlistJob.Join();
    m_importJob.Join();
    if (!WaitForPostRequests(kPostRequestWaitMs))
        Trace(kTraceError, "Shutdown: post requests still running after %d ms", kPostRequestWaitMs);
    CHTTPRequestManager::Instance().SetStatusSink(nullptr);

    // "ActiveView" belongs to the desktop shell's views; the daemon has none.
    Trace(kTraceInfo, "Shutdown: shutting the recording controller down");
    m_controller->Shutdown();

    Trace(kTraceInfo, "Shutdown: stopping the disk-space thread");
    m_disk->Stop();

    RecordingNotifier::Instance().Unsubscribe(m_loop, m_slot.Id());
    m_subscribed = false;
    {
        std::lock_guard lock(m_statusMutex);
        m_status.running = false;
        m_status.recording = false;
        m_status.chunk.clear();
    }
    Trace(kTraceInfo, "Shutdown: complete");
    m_control.Stop();
    EventLog::Instance().Close();
    m_lock.Release();
}

}  // namespace wk
