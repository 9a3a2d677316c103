#include "recording/CTRecordingController.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <optional>

#include "core/CTError.h"
#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/FileLock.h"
#include "core/RecordingNotifier.h"
#include "core/Trace.h"
#include "core/Translation.h"
#include "core/UserPrompt.h"
#include "recording/EngineChoice.h"
#include "recording/TvInput.h"
#include "scheduler/ScheduleTask.h"
#include "scheduler/Scheduler.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

intptr_t AsParam(const void* p) {
    return reinterpret_cast<intptr_t>(p);
}

// The planned duration of a session whose task has no end.
constexpr long long kOpenEndedSeconds = 365LL * 24 * 3600;

// True when a file of the folder begins with the date-time part of a chunk
// name: a session starting in that second exists already.
bool StartSecondTaken(const std::string& folder, const DateTime& start) {
    const std::string prefix = start.FileNamePrefix();
    std::error_code ec;
    // Stepping with an error code: a folder that fails half-way never throws.
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->path().filename().string().rfind(prefix, 0) == 0) return true;
    }
    return false;
}

}  // namespace

CTRecordingController::CTRecordingController(Scheduler& scheduler) : m_scheduler(scheduler) {}

CTRecordingController::~CTRecordingController() {
    Shutdown();
}

void CTRecordingController::SetDeviceFactory(DeviceFactory factory) {
    std::lock_guard lock(m_mutex);
    m_deviceFactory = std::move(factory);
}

void CTRecordingController::Poke() {
    ++m_interrupt;
    GetClock().WakeSleepers();
}

CTRecordingController::TaskIdentity CTRecordingController::IdentityOf(const ScheduleTask& task) {
    return {task.Kind(), task.StreamName(), task.Description(), task.Start().ToStreamTime(),
            task.End().ToStreamTime()};
}

void CTRecordingController::NoteSkippedTask(const ScheduleTask& task, bool unknownStream) {
    // Once per occurrence: the task stays due for the whole of its period.
    const TaskIdentity identity = IdentityOf(task);
    if (m_haveInactiveNoted && m_inactiveNoted == identity) return;
    m_inactiveNoted = identity;
    m_haveInactiveNoted = true;
    const std::string text =
        "The scheduled recording of " + task.StreamName() + " from " + task.Start().LongText() +
        " to " + task.End().LongText() + " is skipped: " +
        (unknownStream ? "the stream list has no such stream"
                       : "the stream is not active (\"wavkeep streams activate " +
                             task.StreamName() + "\")");
    Trace(kTraceInfo, "%s", text.c_str());
    AddEvent(text);
}

bool CTRecordingController::IsRecording() const {
    std::lock_guard lock(m_mutex);
    return m_session && m_session->IsStarted();
}

std::string CTRecordingController::CurrentFileName() const {
    std::lock_guard lock(m_mutex);
    return m_session ? m_session->CurrentFileName() : std::string();
}

std::string CTRecordingController::CurrentSessionFolder() const {
    std::lock_guard lock(m_mutex);
    return m_sessionFolder;
}

void CTRecordingController::ShowError(const std::string& text) {
    Trace(kTraceError, "%s", text.c_str());
    GetUserPrompt().Show(text, kMbOk | kMbIconStop);
    RecordingNotifier::Instance().Notify(kEventRecordingError);
}

bool CTRecordingController::WaitForStartEvent() {
    while (!StopRequested()) {
        if (m_startEvent.Wait(kPollMs)) return true;
    }
    return false;
}

int CTRecordingController::Run() {
    TraceThreadBegin("rec control");
    bool started = WaitForStartEvent();
    while (started && !StopRequested()) {
        if (m_waitForStart) {
            m_waitForStart = false;
            if (!WaitForStartEvent()) break;
        }
        Pass();
        GetClock().SleepFor(kPollMs, &m_interrupt);
        m_interrupt = 0;
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_task) StopRecordingLocked(false);
    }
    TraceThreadEnd("rec control");
    return 0;
}

void CTRecordingController::Pass() {
    std::lock_guard lock(m_mutex);
    const DateTime now = GetClock().Now();
    std::unique_ptr<ScheduleTask> due;
    {
        auto schedulerLock = m_scheduler.LockGuard();
        m_scheduler.advanceRecurringTasks(now);
        if (ScheduleTask* found = m_scheduler.findActiveTask(now)) due = found->Clone();
    }
    if (m_haveSkipped && (!due || !(IdentityOf(*due) == m_skipped))) m_haveSkipped = false;

    if (m_task) {
        if (m_session && m_session->HasEndedByItself()) {
            m_skipped = m_taskIdentity;
            m_haveSkipped = true;
            StopRecordingLocked(false);
            return;
        }
        if (due && IdentityOf(*due) == m_taskIdentity) return;
        StopRecordingLocked(false);
    }
    if (!due || (m_haveSkipped && IdentityOf(*due) == m_skipped)) return;

    // The folder is the one the stream list spells, whatever case the task uses.
    std::string stream = due->StreamName();
    if (due->Kind() != 'C') {
        StreamNameFile streams;
        streams.load();
        const StreamRecord* record = streams.Find(due->StreamName());
        if (!record || record->active != 1) {
            NoteSkippedTask(*due, record == nullptr);
            return;
        }
        stream = record->name;
    }
    bool timesValid = due->Start().IsValid() && due->End().IsValid();
    if (!timesValid) {
        due->SetStart(DateTime());
        due->SetEnd(DateTime());
    }
    if (!PrepareTvInput(stream)) {
        m_skippedTaskName = stream;
        RecordingNotifier::Instance().Notify(kEventRecordSkipped, 0, AsParam(&m_skippedTaskName));
        m_waitForStart = true;
        Trace(kTraceDebug, "CTRecordingController event");
        return;
    }
    ConfigStore config;
    config.Load();
    if (config.GetString("ActiveStream") != stream) {
        config.SetString("ActiveStream", stream);
        config.Save();
        m_activeStreamText = stream;
        RecordingNotifier::Instance().Notify(kEventActiveStreamChanged, 0, AsParam(&m_activeStreamText));
    }
    m_task = std::move(due);
    m_taskIdentity = IdentityOf(*m_task);
    StartRecording(timesValid);
    if (!IsRecording() && m_task) {
        // Starting failed and was reported; wait until the task changes.
        m_skipped = m_taskIdentity;
        m_haveSkipped = true;
        m_lastTask = std::move(m_task);
    }
}

void CTRecordingController::StartRecording(bool timesValid) {
    std::lock_guard lock(m_mutex);
    Trace(kTraceDebug, timesValid ? "CRRecordingController::StartRecording with TRUE"
                                  : "CRRecordingController::StartRecording with FALSE");
    if (!m_task) {
        ShowError(LoadTranslatedString(kStrStartRecordingNullTask));
        return;
    }
    ConfigStore config;
    config.Load();
    RecordingSettings settings;
    config.ReadRecordingSettings(settings);
    const int engine = ChooseEncoderEngine(config);
    // Chunk names must be read back, or the recording is lost to the store.
    const std::string chunkText = config.GetString("SingleFileLength");
    const std::optional<int> chunkSeconds = ParseChunkSeconds(chunkText);
    if (!chunkSeconds) {
        ShowError(ChunkLengthRefusal(chunkText));
        return;
    }
    settings.chunkSeconds = *chunkSeconds;

    const std::string stream = config.GetString("ActiveStream");
    std::string root = config.GetString("StreamPath");
    if (!StreamNameFile::IsSafeFolderName(stream)) {
        ShowError("Cannot record into the stream \"" + stream + "\": not a usable folder name");
        return;
    }
    const std::string folder = (root.empty() || root.back() == '/' ? root : root + "/") + stream;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        ShowError("Cannot create the stream folder " + folder + ": " + ec.message());
        return;
    }

    auto session = std::make_unique<RecordingSession>();
    try {
        if (m_deviceFactory) session->SetDevice(m_deviceFactory());
        session->SetOnEndedByItself([this] { Poke(); });
        session->Configure(engine, settings.bitRate, settings.mode, settings.chunkSeconds, "dummy");
        session->Open();
    } catch (const CTError& e) {
        ShowError(e.GetText());
        return;
    }

    // No other process may list the folder between the note and chunk 1.
    FileLock streams;
    std::string why;
    if (!LockStreams(streams, kStreamsLockWaitMs, &why))
        Trace(kTraceError, "The recording starts without the streams lock after %d ms: %s", kStreamsLockWaitMs,
              why.c_str());
    DateTime start = GetClock().Now();
    start.millisecond = 0;
    // The wall clock can step back (daylight saving, a corrected clock): a
    // session never takes the start second of one already in the folder.
    for (int i = 0; i < 7200 && StartSecondTaken(folder, start); ++i)
        start = DateTime::FromStreamTime(start.ToStreamTime() + 1000);
    const StreamTime startMs = start.ToStreamTime();
    const StreamTime taskStart = m_task->Start().ToStreamTime();
    const StreamTime taskEnd = m_task->End().ToStreamTime();
    long long duration = (taskStart > startMs ? taskEnd - taskStart : taskEnd - startMs) / 1000;
    // A name with no duration, or one too long to read back, would hide the
    // recording from the store; a task without times runs open-ended.
    if (!timesValid) duration = kOpenEndedSeconds;
    duration = std::clamp<long long>(duration, 1, INT_MAX);
    const std::string sessionName = ChunkSessionName(start, duration, settings.chunkSeconds);

    if (!m_marker.Publish(folder, sessionName, &why))
        Trace(kTraceError, "%s: other wavkeep processes cannot tell which session is being recorded", why.c_str());
    SetCurrentSessionPrefix(sessionName, folder);
    try {
        session->SetFileName(folder + "/" + sessionName);
        session->Start();
    } catch (const CTError& e) {
        session.reset();
        WithdrawSession();
        streams.Release();
        ShowError(e.GetText());
        return;
    }
    streams.Release();
    m_session = std::move(session);
    m_sessionFolder = folder + "/" + sessionName;
    Trace(kTraceInfo, "Recording %s", m_sessionFolder.c_str());
    RecordingNotifier::Instance().Notify(kEventRecordingStarted, 0, AsParam(m_task.get()));
}

void CTRecordingController::StopRecordingLocked(bool abort) {
    if (m_session) {
        // A last chunk that could not be stored is news in the event log too.
        std::string failure;
        try {
            if (m_session->IsStarted()) m_session->Stop(abort);
        } catch (const CTError& e) {
            failure = e.GetText();
            ShowError(failure);
        }
        // An input that ended or vanished is news for the user; one that
        // delivered what it was asked for is not.
        const std::string reason = m_session->EndReason();
        if (m_session->HasEndedByItself() && !reason.empty() && reason != kEndFrameLimit)
            Report("Recording stopped: " + reason);
        else if (!failure.empty())
            Report("Recording stopped: " + failure);
        try {
            if (m_session->State() == 2) m_session->Close();
        } catch (const CTError& e) {
            ShowError(e.GetText());
        }
        m_session.reset();
    }
    WithdrawSession();
    const DateTime now = GetClock().Now();
    {
        auto schedulerLock = m_scheduler.LockGuard();
        m_scheduler.advanceRecurringTasks(now);
        m_scheduler.removeFinishedTasks(now);
    }
    m_lastTask = std::move(m_task);
    RecordingNotifier::Instance().Notify(kEventRecordingStopped, 0, AsParam(m_lastTask.get()));
    ConfigStore config;
    config.Load();
    if (config.GetTvInputKind() == 1 || config.GetTvInputKind() == 2) ReleaseTvInput();
}

void CTRecordingController::WithdrawSession() {
    if (!m_marker.Published() && CurrentSessionPrefix().empty()) return;
    // Under the streams lock, so that a deletion that saw the note works
    // with it to its end.
    FileLock streams;
    std::string why;
    if (!LockStreams(streams, kStreamsLockWaitMs, &why))
        Trace(kTraceError, "The recording's note is withdrawn without the streams lock after %d ms: %s",
              kStreamsLockWaitMs, why.c_str());
    m_marker.Withdraw();
    SetCurrentSessionPrefix("");
}

void CTRecordingController::StopRecording() {
    std::lock_guard lock(m_mutex);
    StopRecordingLocked(false);
}

void CTRecordingController::AbortRecording() {
    std::lock_guard lock(m_mutex);
    StopRecordingLocked(true);
}

void CTRecordingController::Shutdown() {
    {
        std::lock_guard lock(m_mutex);
        if (m_session) {
            try {
                if (m_session->IsStarted()) m_session->Stop(true);
            } catch (const CTError& e) {
                ShowError(e.GetText());
            }
            try {
                if (m_session->State() == 2) m_session->Close();
            } catch (const CTError& e) {
                ShowError(e.GetText());
            }
            m_session.reset();
            WithdrawSession();
        }
    }
    if (HasThread()) {
        RequestStop();
        Poke();
        WaitForEnd(-1);
    }
}

}  // namespace wk
