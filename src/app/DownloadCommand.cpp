#include "app/DownloadCommand.h"

#include "app/CommandLock.h"
#include "app/CliCommandTable.h"
#include "app/StreamChoice.h"

#include <memory>
#include <mutex>
#include <ostream>

#include "core/ConfigStore.h"
#include "core/ProgramHome.h"
#include "platform/HttpClientCurl.h"
#include "scheduler/Scheduler.h"
#include "server/ChannelList.h"
#include "server/Credentials.h"
#include "server/PlaylistDownload.h"
#include "server/RequestManager.h"
#include "server/ScheduleDownload.h"
#include "server/TimeCheck.h"
#include "server/Upload.h"
#include "streamstore/StreamNameFile.h"

namespace wk {

int RunDownloadSchedule(std::ostream& out, std::ostream& err) {
    HttpClientCurl http(WithDeadlineIn({}));
    Scheduler scheduler;
    scheduler.load();
    const ScheduleDownloadResult r = RunScheduleDownload(http, scheduler);
    if (r.code == 1) {
        err << "wavkeep: Timecheck failed. Aborting schedule download.\n";
        return 1;
    }
    if (!r.answered) {
        err << "wavkeep: the service did not answer the schedule request (see the trace)\n";
        return 1;
    }
    if (!r.parse.error.empty()) {
        err << "wavkeep: the schedule was not changed: " << r.parse.error << '\n';
        return 1;
    }
    out << r.parse.inserted << " tasks added, " << r.parse.skipped
        << " skipped (colliding or invalid)\n";
    return 0;
}

int RunDownloadPlaylist(const std::string& streamName, std::ostream& out, std::ostream& err) {
    int status = 0;
    const auto chosen = ChooseStream(streamName, err, &status);
    if (!chosen) return status;
    const std::string& stream = chosen->name;
    HttpClientCurl http(WithDeadlineIn({}));
    const PlaylistDownloadResult r = RunPlaylistDownload(http, stream);
    switch (r.status) {
    case PlaylistStatus::kTimeCheckFailed:
        err << "wavkeep: Timecheck failed. Aborting playlist download.\n";
        return 1;
    case PlaylistStatus::kUnknownStream:
        err << "wavkeep: no stream \"" << stream << "\" (see \"wavkeep streams\")\n";
        return 1;
    case PlaylistStatus::kRequestFailed:
        err << "wavkeep: Error: Couldn't download the playlist.\n";
        return 1;
    case PlaylistStatus::kNoRequest:
        out << "There is no available playlist for this stream (nothing recorded past what is covered)\n";
        return 0;
    case PlaylistStatus::kBusy:
        err << "wavkeep: a playlist download is running already\n";
        return 1;
    default:
        break;
    }
    out << r.requests << " requests, " << r.applied << " description files applied, " << r.skipped
        << " applied before, " << r.failed << " failed; clock difference " << r.difference << " s\n";
    if (r.exportFailed > 0) err << "wavkeep: " << r.exportFailed << " tracks could not be exported\n";
    if (!r.exportError.empty()) err << "wavkeep: " << r.exportError << '\n';
    return r.failed > 0 || r.exportFailed > 0 || !r.exportError.empty() ? 1 : 0;
}

int RunStreamsUpdate(std::ostream& out, std::ostream& err) {
    HttpClientCurl http(WithDeadlineIn({}));
    StreamNameFile fetched;
    fetched.load();
    std::vector<std::string> skipped;
    const bool loaded = LoadStreamListFromService(http, fetched, &skipped);
    for (const std::string& line : skipped) err << "wavkeep: channel " << line << "; skipped\n";
    if (!loaded) {
        err << (skipped.empty() ? "wavkeep: the channel list could not be downloaded (\"URLChanelList\")\n"
                                : "wavkeep: the channel list names no usable channel\n");
        return 1;
    }
    // The new channels go into the list as it is now, not as it was before
    // the (slow) request: the lock is not held across the network.
    FileLock lock;
    if (!LockFileForCommand(lock, StreamNameFile::FilePath(), err)) return 1;
    StreamNameFile streams;
    streams.load();
    const size_t before = streams.Records().size();
    for (const auto& record : fetched.Records())
        if (!streams.Contains(record->name)) streams.AddCopy(*record);
    if (!streams.CreateFolders() || !streams.save()) {
        err << "wavkeep: cannot write " << StreamNameFile::FilePath() << '\n';
        return 1;
    }
    out << streams.Records().size() - before << " streams added from the service\n";
    return 0;
}

namespace {

// Prints the request manager's status texts as they come (from the connect
// thread or this one).
class PrintedStatus final : public HttpStatusSink {
public:
    explicit PrintedStatus(std::ostream& out) : m_out(out) {
        CHTTPRequestManager::Instance().SetStatusSink(this);
    }
    ~PrintedStatus() override { CHTTPRequestManager::Instance().SetStatusSink(nullptr); }
    void OnHttpStatus(int code, const std::string& text, bool) override {
        std::lock_guard lock(m_mutex);
        m_out << text << '\n' << std::flush;
        m_last = code;
        m_lastText = text;
    }
    std::string LastText() {
        std::lock_guard lock(m_mutex);
        return m_lastText;
    }

private:
    std::ostream& m_out;
    std::mutex m_mutex;
    int m_last = -1;
    std::string m_lastText;
};

// Loads the account and the time-check URL into the request manager; false
// (with the message) without an account.
bool PrepareTimeCheck(const ConfigStore& config, Credentials& credentials, std::ostream& err) {
    if (!ReadCredentials(credentials)) {
        err << "wavkeep: no account (Options.txt); \"wavkeep account set\" stores one\n";
        return false;
    }
    CHTTPRequestManager& manager = CHTTPRequestManager::Instance();
    manager.SetTimeCheckRequest(credentials.login, credentials.password);
    manager.SetTimeCheckUrl(config.GetString("TimeCheckURL"));
    return true;
}

// The command's requests together, time check and upload alike (a window,
// which lives on, bounds each operation by itself).
void BoundCommandRequests() {
    CHTTPRequestManager::Instance().SetDeadline(WithDeadlineIn({}).deadline);
}

// Runs one command of the connect thread to its end.
void RunConnectCommand(int command) {
    CConnectThread& thread = CConnectThread::Instance();
    thread.Command(command);
    thread.WaitIdle(24 * 3600 * 1000);
}

}  // namespace

int RunTimeCheck(bool init, std::ostream& out, std::ostream& err) {
    ConfigStore config;
    config.Load();
    Credentials credentials;
    if (!PrepareTimeCheck(config, credentials, err)) return 1;
    BoundCommandRequests();
    PrintedStatus status(out);
    CHTTPRequestManager& manager = CHTTPRequestManager::Instance();
    if (init) {
        RunConnectCommand(CConnectThread::kInitTimeCheck);
        return manager.Values().initTimeChecked ? 0 : 1;
    }
    RunConnectCommand(CConnectThread::kTimeCheck);
    const TimeCheckValues values = manager.Values();
    if (!values.timeChecked) return 1;
    // Kept for "wavkeep import" and the other commands of later runs.
    if (!StoreTimeDifference(values.difference)) {
        err << "wavkeep: cannot write " << ProgramFile("timecheck.txt") << '\n';
        return 1;
    }
    return 0;
}

UploadOutcome UploadStreamDescriptions(const std::string& stream, std::ostream& err) {
    UploadOutcome outcome;
    ConfigStore config;
    config.Load();
    Credentials credentials;
    if (!PrepareTimeCheck(config, credentials, err)) return outcome;
    StreamNameFile streams;
    streams.load();
    const StreamRecord* record = streams.Find(stream);
    const int sourceType = record ? record->sourceType : kSourceRadio;
    CHTTPRequestManager& manager = CHTTPRequestManager::Instance();
    manager.SetUploadRequest(credentials.login, credentials.password, stream,
                             std::to_string(sourceType), std::to_string(kUploadMaxBytes),
                             StreamNameFile::StreamRoot() + stream + "/desc.des");
    manager.SetUploadUrl(config.GetString("UploadURL"));
    RunConnectCommand(CConnectThread::kTimeCheck);
    // The upload itself runs on this thread, not on the connect thread.
    outcome.result = manager.UploadDescription(CConnectThread::Instance());
    outcome.answer = manager.LastUploadAnswer();
    return outcome;
}

int RunUpload(const std::string& streamName, std::ostream& out, std::ostream& err) {
    int choiceStatus = 0;
    const auto chosen = ChooseStream(streamName, err, &choiceStatus);
    if (!chosen) return choiceStatus;
    BoundCommandRequests();
    PrintedStatus status(out);
    const UploadOutcome outcome = UploadStreamDescriptions(chosen->name, err);
    if (outcome.result == kUploadDone) return 0;
    const std::string text = UploadResultText(outcome.result, outcome.answer);
    if (!text.empty() && text != status.LastText() && outcome.result != kUploadRefused)
        err << "wavkeep: " << text << '\n';
    return 1;
}

void AddDownloadCommands(CliCommandTable& table) {
    struct Options {
        bool init = false;
        std::string stream;
    };
    auto o = std::make_shared<Options>();
    CLI::App& app = table.App();
    CLI::App* timecheck = app.add_subcommand(
        "timecheck", "Measure how far the service's clock (\"TimeCheckURL\") runs ahead: three "
                     "samples averaged, kept for \"wavkeep import\"");
    timecheck->add_flag("--init", o->init,
                        "The initial time check instead: one sample, the service's and this "
                        "computer's clock written to the active stream's initcheck.txt");
    table.On(timecheck, [o](std::ostream& out, std::ostream& err) {
        return RunTimeCheck(o->init, out, err);
    });

    CLI::App* download = app.add_subcommand("download", "One run of a download from the service");
    download->require_subcommand(1);
    CLI::App* schedule = download->add_subcommand(
        "schedule", "Time check, then the service's recording tasks (\"ScheduleURL\"), moved to "
                    "local time; tasks colliding with the schedule are skipped");
    table.On(schedule, [](std::ostream& out, std::ostream& err) {
        return RunDownloadSchedule(out, err);
    });
    CLI::App* playlist = download->add_subcommand(
        "playlist", "Time check, then the description files of every stretch recorded since "
                    "covered-until (\"UploadURL\"); each is applied once: shifted, matched and "
                    "merged into the stream's desc.des, then the complete tracks exported");
    playlist->add_option("--stream", o->stream, "Stream (default: \"ActiveStream\")")->type_name("STREAM");
    table.On(playlist, [o](std::ostream& out, std::ostream& err) {
        return RunDownloadPlaylist(o->stream, out, err);
    });

    CLI::App* upload = app.add_subcommand(
        "upload", "Time check, then upload the stream's desc.des, shifted to the service's "
                  "clock, with the account (\"UploadURL\"; at most 20000 bytes)");
    upload->add_option("--stream", o->stream, "Stream (default: \"ActiveStream\")")->type_name("STREAM");
    table.On(upload, [o](std::ostream& out, std::ostream& err) {
        return RunUpload(o->stream, out, err);
    });

    // Beside the stream list's other commands ("wavkeep streams ...").
    CLI::App* fetch = app.get_subcommand("streams")->add_subcommand(
        "fetch", "Add the channels of the service's channel list (\"URLChanelList\")");
    fetch->alias("update");
    table.On(fetch,
             [](std::ostream& out, std::ostream& err) { return RunStreamsUpdate(out, err); });
}

}  // namespace wk
