#include "server/RequestManager.h"

#include <chrono>
#include <cstdio>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/FileUtil.h"
#include "core/NoDestructor.h"
#include "core/PrintableText.h"
#include "core/Trace.h"
#include "core/Translation.h"
#include "platform/HttpClientCurl.h"
#include "server/TimeCheck.h"
#include "server/Upload.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

std::atomic<RequestState*> g_current{nullptr};

constexpr int kKindTimeCheck = 1;
constexpr int kKindUpload = 2;

std::string Format(const char* format, double value) {
    char text[128];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The local clock read now, as the time check's text and back as seconds.
double LocalClockSeconds() {
    return ParseServerClock(LocalClockText(GetClock().Now()));
}

}  // namespace

std::string HttpStatusText(int code, double value, const std::string& answer) {
    switch (code) {
        case kStatusTimeChecked:
            return Format(TranslateText("Time is checked. Difference: %.3f").c_str(), value);
        case kStatusTimeAlreadyChecked:
            return TranslateText("Time is already checked");
        case kStatusTimeCheckFailed:
            return TranslateText("Time checking failed");
        case kStatusTimeNotValid:
            return TranslateText("Time is not valid - check destination URL address");
        case kStatusNoConnection:
        case kStatusConnectionFailed:
            return TranslateText("Unable to make HTTP connection. Try again.");
        case kStatusTimeChecking:
            return TranslateText("Time checking...");
        case kStatusUploaded:
            return TranslateText("File is successfully uploaded");
        case kStatusDesMissing:
            return TranslateText("Des file is missing or being corrupted");
        case kStatusBadResponse:
            return TranslateText("File upload failed - bad response from server");
        case kStatusUploadRefused:
            return TranslateText("File upload failed - ") + ScreenLine(answer);
        case kStatusUploading:
            return TranslateText("Uploading description file...");
        case kStatusUploadNeedsTimeCheck:
            return TranslateText("Uploading failed. You have to do time check first.");
        case kStatusImported:
            return TranslateText("Description file succesfully imported");
        case kStatusImporting:
            return TranslateText("Importing description file...");
        case kStatusImportNeedsTimeCheck:
            return TranslateText("File import failed. You have to do time check first.");
        case kStatusInitTimeChecked:
            return Format(TranslateText("Init time is checked. Server time: %.3f").c_str(), value);
        case kStatusInitTimeAlreadyChecked:
            return TranslateText("Init time is already checked");
        default:
            return TranslateText("Default value");
    }
}

bool HttpStatusClosable(int code) {
    switch (code) {
        case kStatusTimeChecked:
        case kStatusTimeAlreadyChecked:
        case kStatusTimeChecking:
        case kStatusUploading:
        case kStatusImporting:
            return false;
        default:
            return true;
    }
}

double MsSince2000(double secondsSince1970) {
    return (secondsSince1970 - 946684800.0) * 1000.0;
}

IdleState& IdleState::Instance() {
    static IdleState state;
    return state;
}

bool IdleState::Connect(CConnectThread&) {
    g_current = &CHTTPRequestManager::Instance();
    return true;
}

RequestState& CurrentRequestState() {
    RequestState* state = g_current.load();
    return state ? *state : IdleState::Instance();
}

// --- request manager -------------------------------------------------------

namespace {

std::atomic<CHTTPRequestManager*> g_installed{nullptr};

std::unique_ptr<HttpClient> DefaultClient(const HttpSettings& settings) {
    HttpSettings s = settings;
    s.userAgent = "MySession";
    return std::make_unique<HttpClientCurl>(s);
}

}  // namespace

CHTTPRequestManager::CHTTPRequestManager() : m_factory(&DefaultClient) {}

CHTTPRequestManager& CHTTPRequestManager::Instance() {
    if (CHTTPRequestManager* installed = g_installed.load()) return *installed;
    // A connect thread that nobody shut down may still use it while the
    // process exits.
    static NoDestructor<CHTTPRequestManager> manager;
    return *manager;
}

CHTTPRequestManager* CHTTPRequestManager::Install(CHTTPRequestManager* manager) {
    return g_installed.exchange(manager);
}

void CHTTPRequestManager::Shutdown() {
    CancelRequests();
    CConnectThread::Shutdown();
}

void CHTTPRequestManager::CancelRequests() {
    // A running request ends promptly; later ones fail at once.
    CHTTPRequestManager& self = Instance();
    std::lock_guard lock(self.m_mutex);
    self.m_shuttingDown = true;
    if (self.m_client) self.m_client->Cancel();
}

void CHTTPRequestManager::SetDeadline(std::chrono::steady_clock::time_point deadline) {
    std::lock_guard lock(m_mutex);
    m_deadline = deadline;
}

std::string CHTTPRequestManager::SetTimeCheckRequest(const std::string& login,
                                                     const std::string& password) {
    std::lock_guard lock(m_mutex);
    m_timeCheckForm = HttpForm{};
    m_timeCheckForm.Add("a", "timeCheck").Add("login", login).Add("passwd", password);
    return m_timeCheckForm.Encode() + "&localTime=";
}

std::string CHTTPRequestManager::SetUploadRequest(
    const std::string& login, const std::string& password, const std::string& srcname,
    const std::string& srctype, const std::string& maxFileSize, const std::string& userfile) {
    std::lock_guard lock(m_mutex);
    // Only the file's name goes to the server.
    const auto cut = userfile.find_last_of("/\\");
    m_uploadForm = HttpForm{};
    m_uploadForm.Add("a", "uploadfp")
        .Add("login", login)
        .Add("passwd", password)
        .Add("srcname", srcname)
        .Add("srctype", srctype)
        .Add("MAX_FILE_SIZE", maxFileSize)
        .Add("userfile", cut == std::string::npos ? userfile : userfile.substr(cut + 1));
    m_descriptionFile = userfile;
    m_uploadStream = srcname;
    return m_uploadForm.Encode() + "&fileContent=";
}

std::string CHTTPRequestManager::SetTimeCheckUrl(const std::string& url) {
    std::lock_guard lock(m_mutex);
    return m_timeCheckUrl = url;
}

std::string CHTTPRequestManager::SetUploadUrl(const std::string& url) {
    std::lock_guard lock(m_mutex);
    return m_uploadUrl = url;
}

bool CHTTPRequestManager::IsTimeChecked() const {
    std::lock_guard lock(m_mutex);
    return m_values.timeChecked;
}

std::string CHTTPRequestManager::LastUploadAnswer() const {
    std::lock_guard lock(m_mutex);
    return m_lastUploadAnswer;
}

TimeCheckValues CHTTPRequestManager::Values() const {
    std::lock_guard lock(m_mutex);
    return m_values;
}

void CHTTPRequestManager::SetStatusSink(HttpStatusSink* sink) {
    std::lock_guard lock(m_mutex);
    m_sink = sink;
}

void CHTTPRequestManager::SetClientFactory(ClientFactory factory) {
    std::lock_guard lock(m_mutex);
    m_factory = std::move(factory);
}

void CHTTPRequestManager::SetImportHandler(std::function<void()> handler) {
    std::lock_guard lock(m_mutex);
    m_importHandler = std::move(handler);
}

void CHTTPRequestManager::PostStatus(int code, double value, const std::string& answer) {
    HttpStatusSink* sink = nullptr;
    {
        std::lock_guard lock(m_mutex);
        sink = m_sink;
    }
    const std::string text = HttpStatusText(code, value, answer);
    Trace(kTraceDetail, "HTTP status %d: %s", code, text.c_str());
    if (sink) sink->OnHttpStatus(code, text, HttpStatusClosable(code));
}

std::unique_ptr<HttpClient> CHTTPRequestManager::NewClient(bool upload) {
    HttpSettings settings;
    settings.connectRetries = upload ? 20 : 10;
    settings.connectTimeoutMs = upload ? 40000 : 20000;
    ClientFactory factory;
    {
        std::lock_guard lock(m_mutex);
        factory = m_factory;
        // The operation in all, unless a command bounds several of them.
        settings = WithDeadlineIn(settings);
        if (m_deadline) settings.deadline = *m_deadline;
    }
    return factory(settings);
}

HttpClient* CHTTPRequestManager::BeginRequest(std::unique_ptr<HttpClient> client) {
    std::lock_guard lock(m_mutex);
    m_client = std::move(client);
    if (m_shuttingDown) m_client->Cancel();
    return m_client.get();
}

void CHTTPRequestManager::EndOfRequest() {
    std::unique_ptr<HttpClient> client;
    {
        std::lock_guard lock(m_mutex);
        m_samples = 0;
        m_requestKind = 0;
        client = std::move(m_client);
    }
    g_current = &IdleState::Instance();
}

bool CHTTPRequestManager::Disconnect(CConnectThread&) {
    g_current = &IdleState::Instance();
    return true;
}

bool CHTTPRequestManager::CheckTime(CConnectThread&) {
    std::lock_guard operation(m_operation);
    HttpForm prefix;
    std::string url;
    {
        std::unique_lock lock(m_mutex);
        if (m_values.timeChecked) {
            // The first result stands for the whole run.
            lock.unlock();
            PostStatus(kStatusTimeAlreadyChecked);
            return true;
        }
        prefix = m_timeCheckForm;
        url = m_timeCheckUrl;
        m_requestKind = kKindTimeCheck;
    }
    PostStatus(kStatusTimeChecking);
    HttpClient* http = BeginRequest(NewClient(false));
    double samples[3] = {0, 0, 0};
    double serverMs = 0, localMs = 0;
    for (int i = 0; i < 3; ++i) {
        HttpForm form = prefix;
        form.Add("localTime", LocalClockText(GetClock().Now()));
        const HttpResult answer = http->PostForm(url, form);
        if (answer.outcome != HttpResult::Outcome::kOk) {
            Trace(kTraceError, "Time check: no connection to %s: %s", url.c_str(),
                  answer.error.c_str());
            PostStatus(kStatusNoConnection);
            EndOfRequest();
            return false;
        }
        if (answer.status != 200) {
            Trace(kTraceError, "Time check: status %d from %s", answer.status, url.c_str());
            PostStatus(kStatusTimeCheckFailed);
            EndOfRequest();
            return false;
        }
        if (answer.lines.size() < 2 || answer.lines[0] != "OK") {
            Trace(kTraceError, "Time check: the answer does not begin with OK");
            PostStatus(kStatusTimeNotValid);
            EndOfRequest();
            return false;
        }
        const double local = LocalClockSeconds();
        const std::optional<double> sample = ClockSample(answer.lines[1], local);
        if (!sample) {
            Trace(kTraceError, "Time check: no plausible clock in \"%s\"",
                  ScreenLine(answer.lines[1]).c_str());
            PostStatus(kStatusTimeCheckFailed);
            EndOfRequest();
            return false;
        }
        serverMs = MsSince2000(ParseServerClock(answer.lines[1]));
        localMs = MsSince2000(local);
        samples[i] = *sample;
        std::lock_guard lock(m_mutex);
        ++m_samples;
    }
    const double difference = (samples[0] + samples[1] + samples[2]) * 0.3333333333333333;
    {
        std::lock_guard lock(m_mutex);
        m_values.difference = difference;
        m_values.localAtLastMs = localMs;
        m_values.serverAtLastMs = serverMs;
        m_values.timeChecked = true;
    }
    Trace(kTraceDebug, "TimeCheck OK, Difference: %lf", difference);
    PostStatus(kStatusTimeChecked, difference);
    EndOfRequest();
    return true;
}

bool CHTTPRequestManager::CheckInitTime(CConnectThread&) {
    HttpForm form;
    std::string url;
    {
        std::lock_guard lock(m_mutex);
        form = m_timeCheckForm;
        url = m_timeCheckUrl;
        m_requestKind = kKindTimeCheck;
    }
    PostStatus(kStatusTimeChecking);
    HttpClient* http = BeginRequest(NewClient(false));
    form.Add("localTime", LocalClockText(GetClock().Now()));
    const HttpResult answer = http->PostForm(url, form);
    if (answer.outcome != HttpResult::Outcome::kOk) {
        PostStatus(kStatusNoConnection);
        EndOfRequest();
        return false;
    }
    if (answer.status != 200) {
        PostStatus(kStatusTimeCheckFailed);
        EndOfRequest();
        return false;
    }
    if (answer.lines.size() < 2 || answer.lines[0] != "OK") {
        PostStatus(kStatusTimeNotValid);
        EndOfRequest();
        return false;
    }
    const double local = LocalClockSeconds();
    const std::optional<double> sample = ClockSample(answer.lines[1], local);
    if (!sample) {
        Trace(kTraceError, "Initial time check: no plausible clock in \"%s\"",
              ScreenLine(answer.lines[1]).c_str());
        PostStatus(kStatusTimeCheckFailed);
        EndOfRequest();
        return false;
    }
    const double serverMs = MsSince2000(ParseServerClock(answer.lines[1]));
    const double localMs = MsSince2000(local);
    {
        std::lock_guard lock(m_mutex);
        m_values.initServerMs = serverMs;
        m_values.initLocalMs = localMs;
        m_values.initTimeChecked = true;
    }
    ConfigStore config;
    config.Load();
    const std::string stream = config.GetString("ActiveStream");
    if (StreamNameFile::IsSafeFolderName(stream)) {
        char text[96];
        std::snprintf(text, sizeof text, "%.14g\n%.14g\n", serverMs, localMs);
        const std::string path = StreamNameFile::StreamRoot() + stream + "/initcheck.txt";
        if (!ReplaceFileContents(path, text)) Trace(kTraceError, "Cannot write %s", path.c_str());
    }
    PostStatus(kStatusInitTimeChecked, serverMs);
    EndOfRequest();
    return true;
}

int CHTTPRequestManager::UploadDescription(CConnectThread&) {
    PostStatus(kStatusUploading);
    HttpForm prefix;
    std::string url, file;
    double difference = 0;
    {
        std::unique_lock lock(m_mutex);
        if (!m_values.timeChecked) {
            lock.unlock();
            PostStatus(kStatusUploadNeedsTimeCheck);
            return kStatusUploadNeedsTimeCheck;
        }
        prefix = m_uploadForm;
        url = m_uploadUrl;
        file = m_descriptionFile;
        difference = m_values.difference;
        m_requestKind = kKindUpload;
    }
    HttpClient* http = BeginRequest(NewClient(true));
    std::string answer;
    const int result = UploadShiftedDescription(*http, url, prefix, file, difference, &answer);
    {
        std::lock_guard lock(m_mutex);
        m_lastUploadAnswer = answer;
    }
    // A bad status and an oversized file are left to the caller's message.
    if (result != kStatusBadResponse && result != kStatusTooBig) PostStatus(result, 0, answer);
    EndOfRequest();
    return result;
}

bool CHTTPRequestManager::ImportDescription(CConnectThread&) {
    PostStatus(kStatusImporting);
    std::function<void()> handler;
    {
        std::unique_lock lock(m_mutex);
        if (!m_values.timeChecked) {
            lock.unlock();
            PostStatus(kStatusImportNeedsTimeCheck);
            return false;
        }
        handler = m_importHandler;
    }
    if (handler) handler();
    PostStatus(kStatusImported);
    return true;
}

int CHTTPRequestManager::PostForm(const HttpForm& form, std::vector<std::string>& answer) {
    std::lock_guard operation(m_operation);
    std::string url;
    {
        std::lock_guard lock(m_mutex);
        url = m_uploadUrl;
    }
    HttpClient* http = BeginRequest(NewClient(true));
    const HttpResult result = http->PostForm(url, form);
    int code = 0;
    if (result.outcome == HttpResult::Outcome::kBadUrl) {
        code = kStatusBadResponse;
    } else if (result.outcome != HttpResult::Outcome::kOk) {
        PostStatus(kStatusConnectionFailed);
        code = kStatusConnectionFailed;
    } else if (result.status != 200) {
        code = kStatusBadResponse;
    } else {
        answer.insert(answer.end(), result.lines.begin(), result.lines.end());
    }
    EndOfRequest();
    return code;
}

// --- connect thread --------------------------------------------------------

namespace {

struct ConnectSlot {
    std::mutex mutex;
    std::unique_ptr<CConnectThread> thread;
};

// Never destroyed: a thread that nobody shut down is left to the end of the
// process rather than joined while the statics it traces to go away.
ConnectSlot& Slot() {
    static NoDestructor<ConnectSlot> slot;
    return *slot;
}

}  // namespace

CConnectThread& CConnectThread::Instance() {
    ConnectSlot& slot = Slot();
    std::lock_guard lock(slot.mutex);
    if (!slot.thread) {
        g_current = &IdleState::Instance();
        slot.thread = std::make_unique<CConnectThread>(Key{});
    }
    return *slot.thread;
}

void CConnectThread::Shutdown() {
    ConnectSlot& slot = Slot();
    std::lock_guard lock(slot.mutex);
    slot.thread.reset();
}

CConnectThread::CConnectThread(Key) : m_thread([this] { Loop(); }) {}

CConnectThread::~CConnectThread() {
    Stop();
}

void CConnectThread::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void CConnectThread::Command(int command) {
    {
        std::lock_guard lock(m_mutex);
        m_command = command;
        m_pending = true;
    }
    m_wake.notify_all();
}

bool CConnectThread::WaitIdle(int timeoutMs) {
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return !m_pending && !m_busy; });
}

void CConnectThread::Loop() {
    TraceThreadBegin("connect");
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_stop || m_pending; });
        if (m_stop) break;
        const int command = m_command;
        m_pending = false;
        m_busy = true;
        lock.unlock();
        CConnectThread& self = *this;
        switch (command) {
            case kTimeCheck:
                CurrentRequestState().Connect(self);
                CurrentRequestState().CheckTime(self);
                CurrentRequestState().Disconnect(self);
                break;
            case kTimeCheckUpload:
            case kTimeCheckImport: {
                CurrentRequestState().Connect(self);
                const bool ok = CurrentRequestState().CheckTime(self);
                CurrentRequestState().Disconnect(self);
                if (ok) {
                    CurrentRequestState().Connect(self);
                    if (command == kTimeCheckUpload)
                        CurrentRequestState().UploadDescription(self);
                    else
                        CurrentRequestState().ImportDescription(self);
                    CurrentRequestState().Disconnect(self);
                }
                break;
            }
            case kInitTimeCheck:
                CurrentRequestState().Connect(self);
                CurrentRequestState().CheckInitTime(self);
                CurrentRequestState().Disconnect(self);
                break;
            default:
                break;
        }
        lock.lock();
        if (!m_pending) m_command = kIdle;
        m_busy = false;
        m_idle.notify_all();
    }
    lock.unlock();
    TraceThreadEnd("connect");
}

}  // namespace wk
