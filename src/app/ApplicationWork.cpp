// The application's work on the main loop: the timers, the download and
// import workers, and the handling of the messages they and the recording
// notifier post.

#include <sstream>
#include <utility>

#include "app/Application.h"
#include "app/DescriptionsCommand.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/SystemInfo.h"
#include "core/Trace.h"
#include "server/PlaylistDownload.h"
#include "server/ScheduleDownload.h"
#include "server/TimeCheck.h"
#include "streamstore/DiskSpaceManager.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

template <typename T>
std::unique_ptr<MessagePayload> Payload(T value) {
    return std::make_unique<ValuePayload<T>>(std::move(value));
}

// The first line of a command's output, without the program's prefix.
std::string FirstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    if (line.rfind("wavkeep: ", 0) == 0) line.erase(0, 9);
    return line;
}

const char* PlaylistStatusName(PlaylistStatus status) {
    switch (status) {
        case PlaylistStatus::kBusy:
            return "busy";
        case PlaylistStatus::kTimeCheckFailed:
            return "time check failed";
        case PlaylistStatus::kUnknownStream:
            return "unknown stream";
        case PlaylistStatus::kRequestFailed:
            return "request failed";
        case PlaylistStatus::kNoRequest:
            return "nothing to ask for";
        case PlaylistStatus::kDownloaded:
            return "downloaded";
    }
    return "?";
}

}  // namespace

// --- Job ---------------------------------------------------------------------

bool Application::Job::Start(const char* name, std::function<void()> work) {
    if (m_running.load()) return false;
    Join();
    m_running = true;
    m_thread = std::thread([this, name, work = std::move(work)] {
        NameCurrentThread(name);
        work();
        m_running = false;
    });
    return true;
}

void Application::Job::Join() {
    if (m_thread.joinable()) m_thread.join();
}

// --- timers ------------------------------------------------------------------

void Application::StartTimers() {
    m_indicatorTimer =
        m_loop.SetTimer(m_options.indicatorPeriodMs, true, [this] { UpdateStatus(); });
    ArmScheduleTimer(m_options.firstDownloadMs);
    ArmPlaylistTimer(m_options.firstDownloadMs);
    m_reloadTimer = m_loop.SetTimer(m_options.reloadDelayMs, false, [this] {
        m_reloadTimer = 0;
        StreamNameFile streams;
        streams.load();  // makes the folders of new streams
        Trace(kTraceDebug, "Streams reloaded; the recording controller may start");
        m_controller->StartEvent().Set();
        m_controller->Poke();
        UpdateStatus();
    });
}

void Application::ArmScheduleTimer(int64_t ms) {
    m_scheduleTimer = m_loop.SetTimer(ms, false, [this] {
        m_scheduleTimer = 0;
        StartScheduleDownload();
        ArmScheduleTimer(m_options.downloadPeriodMs);
    });
}

void Application::ArmPlaylistTimer(int64_t ms) {
    m_playlistTimer = m_loop.SetTimer(ms, false, [this] {
        m_playlistTimer = 0;
        StartPlaylistDownload();
        ArmPlaylistTimer(m_options.downloadPeriodMs);
    });
}

void Application::StartScheduleDownload() {
    ConfigStore config;
    config.Load();
    if (config.GetString("AutoScheduleDownload") == "0") return;
    if (m_scheduleJob.Running()) {
        Trace(kTraceDebug, "Schedule request while working schedule request");
        return;
    }
    const ReceiverId self = m_slot.Id();
    m_scheduleJob.Start("schedule", [this, self] {
        ScheduleDownloadResult result = RunScheduleDownload(
            *m_http, m_scheduler, [this, self] { m_loop.Post(self, kMsgNewSchedule); });
        m_loop.Post(self, kMsgScheduleDone, 0, 0, Payload(result));
    });
    std::lock_guard lock(m_statusMutex);
    m_status.scheduleDownloadRunning = true;
}

void Application::StartPlaylistDownload() {
    ConfigStore config;
    config.Load();
    if (config.GetString("AutoPlaylistDownload") == "0") return;
    if (m_playlistJob.Running()) {
        Trace(kTraceDebug, "Playlist request while working playlist request");
        return;
    }
    const std::string stream = config.GetString("ActiveStream");
    const ReceiverId self = m_slot.Id();
    m_playlistJob.Start("playlist", [this, self, stream] {
        PlaylistDownloadResult result;
        {
            std::lock_guard lock(m_descriptionsMutex);
            result = RunPlaylistDownload(*m_http, stream);
        }
        m_loop.Post(self, kMsgPlaylistDone, 0, 0, Payload(result));
    });
    std::lock_guard lock(m_statusMutex);
    m_status.playlistDownloadRunning = true;
}

// --- description files handed over -------------------------------------------

void Application::OpenDescription(const std::string& path) {
    Trace(kTraceInfo, "Opening the description file %s", path.c_str());
    m_pendingImports.push_back(path);
    StartNextImport();
}

void Application::StartNextImport() {
    if (m_pendingImports.empty() || m_importJob.Running() || m_stopping.load()) return;
    ImportOptions options;
    options.file = m_pendingImports.front();
    m_pendingImports.pop_front();
    // The difference of this run's time check, else the last one measured.
    const TimeCheckValues values = CHTTPRequestManager::Instance().Values();
    options.difference =
        values.timeChecked ? values.difference : LastTimeDifference().value_or(0.0);
    const ReceiverId self = m_slot.Id();
    m_importJob.Start("import", [this, self, options] {
        std::ostringstream out, err;
        ImportOutcome outcome;
        outcome.path = options.file;
        {
            std::lock_guard lock(m_descriptionsMutex);
            outcome.code = RunImport(options, out, err);
        }
        outcome.output = out.str();
        outcome.error = err.str();
        m_loop.Post(self, kMsgImportDone, 0, 0, Payload(std::move(outcome)));
    });
}

// --- messages ----------------------------------------------------------------

void Application::HandleMessage(Message& message) {
    switch (message.id) {
        case kMsgOpenDescription: {
            if (const auto* path = message.PayloadAs<std::string>()) {
                OpenDescription(*path);
            } else if (const auto shared = ReadHandOverFile()) {
                OpenDescription(*shared);
            } else {
                Trace(kTraceError, "A description file was handed over, but %s%s names none",
                      HandOverFolder().c_str(), kHandOverFile);
            }
            break;
        }
        case kMsgReload:
            Reload();
            break;
        case kMsgNewSchedule:
            // New tasks may be due at once.
            if (m_controller) m_controller->Poke();
            break;
        case kMsgScheduleDone: {
            m_scheduleJob.Join();
            std::lock_guard lock(m_statusMutex);
            m_status.scheduleDownloadRunning = false;
            if (const auto* r = message.PayloadAs<ScheduleDownloadResult>()) {
                ++m_status.scheduleDownloads;
                m_status.tasksDownloaded += r->parse.inserted;
                Trace(kTraceInfo, "Schedule download: code %d, %s, %d tasks inserted, %d skipped",
                      r->code, r->answered ? "answered" : "no answer", r->parse.inserted,
                      r->parse.skipped);
            }
            break;
        }
        case kMsgPlaylistDone: {
            m_playlistJob.Join();
            std::lock_guard lock(m_statusMutex);
            m_status.playlistDownloadRunning = false;
            if (const auto* r = message.PayloadAs<PlaylistDownloadResult>()) {
                ++m_status.playlistDownloads;
                m_status.descriptionsApplied += r->applied;
                m_status.songsExported += r->exported;
                Trace(
                    kTraceInfo,
                    "Playlist download: %s, %d requests, %d applied, %d applied before, %d failed, "
                    "%d songs exported",
                    PlaylistStatusName(r->status), r->requests, r->applied, r->skipped, r->failed,
                    r->exported);
            }
            break;
        }
        case kMsgImportDone: {
            m_importJob.Join();
            if (const auto* outcome = message.PayloadAs<ImportOutcome>()) {
                std::lock_guard lock(m_statusMutex);
                if (outcome->code == 0) {
                    ++m_status.imports;
                    Trace(kTraceInfo, "Imported %s: %s", outcome->path.c_str(),
                          FirstLine(outcome->output).c_str());
                    AddEvent("Description file imported: " + outcome->path);
                } else {
                    ++m_status.importsFailed;
                    Trace(kTraceError, "Import of %s failed: %s", outcome->path.c_str(),
                          FirstLine(outcome->error).c_str());
                    AddEvent("Description file not imported: " + FirstLine(outcome->error));
                }
            }
            StartNextImport();
            break;
        }
        case kMsgRecordingStarted: {
            {
                std::lock_guard lock(m_statusMutex);
                ++m_status.recordingsStarted;
            }
            UpdateStatus();
            Trace(kTraceInfo, "Recording started: %s",
                  m_controller->CurrentSessionFolder().c_str());
            break;
        }
        case kMsgRecordingStopped: {
            {
                std::lock_guard lock(m_statusMutex);
                ++m_status.recordingsStopped;
            }
            UpdateStatus();
            Trace(kTraceInfo, "Recording stopped: %s",
                  m_controller->CurrentSessionFolder().c_str());
            break;
        }
        case kMsgChunkCompleted: {
            {
                std::lock_guard lock(m_statusMutex);
                ++m_status.chunksCompleted;
            }
            UpdateStatus();  // the next chunk's name
            break;
        }
        case kMsgChunkFilesClosed:
            break;
        case kMsgRecordSkipped: {
            std::lock_guard lock(m_statusMutex);
            ++m_status.recordsSkipped;
            Trace(kTraceInfo, "A scheduled recording was skipped: its input could not be prepared");
            break;
        }
        case DiskSpaceManager::kMsgDiskSpaceFreed:
            Trace(kTraceInfo, "The disk-space thread deleted old chunks");
            break;
        default:
            break;
    }
}

}  // namespace wk
