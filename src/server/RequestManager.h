#pragma once
// The interactive request manager: the user-triggered exchanges with the
// service (time check, initial time check, description upload and import,
// generic form posts), driven by the "connect" thread through a two-state
// machine (idle / connected), reporting what happens as status codes to a
// status sink (the command line prints them, the desktop shell shows them).
//
// Threads: the setters and UploadDescription/PostForm run on the caller's
// thread, the time checks and the import on the connect thread. The status
// sink is called on whichever thread reports; it must be thread-safe.
// CheckTime and PostForm are serialised by one lock.
//
// Requests honour the scheme and port of their URL, and form values are
// percent-encoded (HttpForm), so a login or stream name holding "&", "+" or
// "=" cannot corrupt a request.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/NoDestructor.h"
#include "platform/HttpClient.h"

namespace wk {

// Status codes, with the texts HttpStatusText gives them.
inline constexpr int kStatusTimeChecked = 0;        // "Time is checked. Difference: %.3f"
inline constexpr int kStatusTimeAlreadyChecked = 1;
inline constexpr int kStatusTimeCheckFailed = 2;
inline constexpr int kStatusTimeNotValid = 4;
inline constexpr int kStatusNoConnection = 8;
inline constexpr int kStatusTimeChecking = 9;
inline constexpr int kStatusUploaded = 16;
inline constexpr int kStatusDesMissing = 17;
inline constexpr int kStatusBadResponse = 18;
inline constexpr int kStatusUploadRefused = 20;     // + the server's answer line
inline constexpr int kStatusUploading = 23;
inline constexpr int kStatusUploadNeedsTimeCheck = 24;
inline constexpr int kStatusConnectionFailed = 25;
inline constexpr int kStatusImported = 32;
inline constexpr int kStatusImporting = 33;
inline constexpr int kStatusImportNeedsTimeCheck = 34;
inline constexpr int kStatusInitTimeChecked = 48;   // "Init time is checked. Server time: %.3f"
inline constexpr int kStatusInitTimeAlreadyChecked = 49;
inline constexpr int kStatusTooBig = 50;            // no text in the status window

// The translated text of a status; `value` is the difference (0) or the
// server clock (48), `answer` the server's line (20). "Default value" for
// codes without a text.
std::string HttpStatusText(int code, double value = 0, const std::string& answer = {});
// Whether the status window offers its Close button for the code.
bool HttpStatusClosable(int code);

class HttpStatusSink {
public:
    virtual ~HttpStatusSink() = default;
    virtual void OnHttpStatus(int code, const std::string& text, bool closable) = 0;
};

class CConnectThread;

// The request states; the current one is process-wide.
class RequestState {
public:
    virtual ~RequestState() = default;
    virtual bool Connect(CConnectThread& thread) = 0;
    virtual bool Disconnect(CConnectThread& thread) = 0;
    virtual bool Unused(CConnectThread&) { return false; }
    virtual bool CheckTime(CConnectThread& thread) = 0;
    virtual bool CheckInitTime(CConnectThread& thread) = 0;
    virtual int UploadDescription(CConnectThread& thread) = 0;
    virtual bool ImportDescription(CConnectThread& thread) = 0;
};

class IdleState final : public RequestState {
public:
    static IdleState& Instance();
    bool Connect(CConnectThread& thread) override;
    bool Disconnect(CConnectThread&) override { return false; }
    bool CheckTime(CConnectThread&) override { return false; }
    bool CheckInitTime(CConnectThread&) override { return false; }
    int UploadDescription(CConnectThread&) override { return 0; }
    bool ImportDescription(CConnectThread&) override { return false; }
};

RequestState& CurrentRequestState();

// Results of the time checks, shared with the import and the upload.
struct TimeCheckValues {
    bool timeChecked = false;
    bool initTimeChecked = false;
    double difference = 0;         // seconds, server minus local (averaged)
    double localAtLastMs = 0;      // ms since 2000-01-01 UTC
    double serverAtLastMs = 0;     // ms since 2000-01-01 UTC
    double initServerMs = 0;
    double initLocalMs = 0;
};

// (seconds since 1970 - 946684800) * 1000.
double MsSince2000(double secondsSince1970);

class CHTTPRequestManager final : public RequestState {
public:
    // Makes HTTP clients for the operations (tests shorten the time-outs).
    using ClientFactory = std::function<std::unique_ptr<HttpClient>(const HttpSettings&)>;

    static CHTTPRequestManager& Instance();
    // Makes `manager` the one Instance() gives until another is installed
    // (nullptr: the process's own); returns the one it replaces. A run, or a
    // test, can so start from a manager that has checked nothing yet.
    static CHTTPRequestManager* Install(CHTTPRequestManager* manager);
    CHTTPRequestManager();
    // Stops the connect thread and cancels a running request (shutdown).
    static void Shutdown();
    // Cancels a running request and every later one, without waiting for the
    // connect thread: any thread may call it (a stop request, a signal).
    static void CancelRequests();

    // Every operation's requests end by `deadline` (a command bounding its
    // whole network wait); without one each operation gets
    // kNetworkTimeLimitMs from its start.
    void SetDeadline(std::chrono::steady_clock::time_point deadline);

    std::string SetTimeCheckRequest(const std::string& login, const std::string& password);
    std::string SetUploadRequest(const std::string& login, const std::string& password,
                                 const std::string& srcname, const std::string& srctype,
                                 const std::string& maxFileSize, const std::string& userfile);
    std::string SetTimeCheckUrl(const std::string& url);
    std::string SetUploadUrl(const std::string& url);
    bool IsTimeChecked() const;
    // The service's first answer line to the last upload.
    std::string LastUploadAnswer() const;
    TimeCheckValues Values() const;

    void SetStatusSink(HttpStatusSink* sink);
    void SetClientFactory(ClientFactory factory);
    // Called on the connect thread when an import is due (the main window
    // loads the description file and starts the matching).
    void SetImportHandler(std::function<void()> handler);

    bool Connect(CConnectThread& thread) override { (void)thread; return false; }
    bool Disconnect(CConnectThread& thread) override;
    bool CheckTime(CConnectThread& thread) override;
    bool CheckInitTime(CConnectThread& thread) override;
    int UploadDescription(CConnectThread& thread) override;
    bool ImportDescription(CConnectThread& thread) override;

    // Generic post of `form` to the upload URL; answer lines are appended.
    // 0, 18 (no request / status not 200) or 25 (no connection).
    int PostForm(const HttpForm& form, std::vector<std::string>& answer);

private:
    void PostStatus(int code, double value = 0, const std::string& answer = {});
    std::unique_ptr<HttpClient> NewClient(bool upload);
    HttpClient* BeginRequest(std::unique_ptr<HttpClient> client);
    void EndOfRequest();

    mutable std::mutex m_mutex;      // the fields below
    std::recursive_mutex m_operation;  // serialises CheckTime and PostForm
    HttpForm m_timeCheckForm;        // without localTime
    HttpForm m_uploadForm;           // without fileContent
    std::string m_timeCheckUrl;
    std::string m_uploadUrl;
    std::string m_descriptionFile = "desc.des";
    std::string m_uploadStream;
    std::string m_lastUploadAnswer;
    TimeCheckValues m_values;
    int m_samples = 0;
    int m_requestKind = 0;           // 1 time check, 2 upload
    bool m_shuttingDown = false;
    HttpStatusSink* m_sink = nullptr;
    ClientFactory m_factory;
    std::function<void()> m_importHandler;
    std::unique_ptr<HttpClient> m_client;  // of the running operation
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
};

// The "connect" worker: one instance, commands 1 idle, 2 time check, 3 time
// check then upload, 4 time check then import, 5 initial time check.
class CConnectThread {
    // Only Instance() makes one.
    struct Key {
        explicit Key() = default;
    };

public:
    static constexpr int kIdle = 1, kTimeCheck = 2, kTimeCheckUpload = 3, kTimeCheckImport = 4,
                         kInitTimeCheck = 5;

    explicit CConnectThread(Key);
    ~CConnectThread();
    CConnectThread(const CConnectThread&) = delete;
    CConnectThread& operator=(const CConnectThread&) = delete;

    static CConnectThread& Instance();
    static void Shutdown();

    void StartTimeCheck() { Command(kTimeCheck); }
    void StartInitTimeCheck() { Command(kInitTimeCheck); }
    void StartImport() { Command(kTimeCheckImport); }
    void Command(int command);
    // Waits until the commands given so far are done; false on time-out.
    bool WaitIdle(int timeoutMs);

private:
    void Loop();
    void Stop();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    int m_command = kIdle;
    bool m_pending = false;
    bool m_busy = false;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace wk
