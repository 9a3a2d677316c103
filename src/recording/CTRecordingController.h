#pragma once
// The recording controller: its "rec control" thread follows the scheduler
// every 50 ms of the process clock and starts and stops recording sessions.
// A recording is named after its start, planned duration and chunk length
// and goes into StreamPath/ActiveStream. Progress reaches the user through
// the recording notifier (1 started, 2 stopped, 3 skipped, 9 active stream
// changed, 12 error shown; the encoder adds 5 and 8).
//
// While a session runs, the controller publishes it (RecordingMarker.h) so
// that deleting and pruning, in this process or another, leave it alone;
// the session's name and its first chunk appear under the streams lock, and
// the note goes once the last chunk is closed. The controller waits for that
// lock at most kStreamsLockWaitMs, so that another process's long deletion
// never costs more than that much of the recording; a wait given up is
// traced and the session goes on without the lock.
//
// Public operations may be called from the main thread while the control
// thread runs; a lock serialises starting and stopping.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/Event.h"
#include "core/WorkerThread.h"
#include "platform/CaptureDevice.h"
#include "recording/RecordingSession.h"
#include "streamstore/RecordingMarker.h"

namespace wk {

class Scheduler;
class ScheduleTask;

class CTRecordingController : public WorkerThread {
public:
    static constexpr int kPollMs = 50;
    static constexpr int kStreamsLockWaitMs = 2000;

    explicit CTRecordingController(Scheduler& scheduler);
    ~CTRecordingController() override;

    // Where each session's audio comes from; without a factory sessions
    // record from the default ALSA device.
    using DeviceFactory = std::function<std::unique_ptr<CaptureDevice>()>;
    void SetDeviceFactory(DeviceFactory factory);

    // Set when the program's data is loaded; the thread waits for it first,
    // and again after a task could not be prepared.
    Event& StartEvent() { return m_startEvent; }
    // Makes the thread look at the scheduler now instead of after its sleep.
    void Poke();

    void StartRecording(bool timesValid);
    void StopRecording();
    void AbortRecording();
    bool IsRecording() const;
    // Aborts a running recording (its unfinished chunk is deleted), stops the
    // control thread and waits for it.
    void Shutdown();

    // The chunk being written, "" when none.
    std::string CurrentFileName() const;
    // The folder and session name of the running (or last) recording.
    std::string CurrentSessionFolder() const;

protected:
    int Run() override;

private:
    struct TaskIdentity {
        char kind = 0;
        std::string stream, description;
        long long start = 0, end = 0;
        bool operator==(const TaskIdentity&) const = default;
    };
    static TaskIdentity IdentityOf(const ScheduleTask& task);
    void Pass();
    void StopRecordingLocked(bool abort);
    void ShowError(const std::string& text);
    // An event for a due task whose stream is not listed or not active.
    void NoteSkippedTask(const ScheduleTask& task, bool unknownStream);
    bool WaitForStartEvent();
    void WithdrawSession();

    Scheduler& m_scheduler;
    DeviceFactory m_deviceFactory;
    Event m_startEvent;
    std::atomic<int> m_interrupt{0};
    mutable std::recursive_mutex m_mutex;  // the session and the task
    std::unique_ptr<RecordingSession> m_session;
    std::unique_ptr<ScheduleTask> m_task;      // being recorded
    std::unique_ptr<ScheduleTask> m_lastTask;  // kept alive for event 2's receivers
    TaskIdentity m_taskIdentity;
    TaskIdentity m_skipped;        // a task that failed; not retried while it stays active
    bool m_haveSkipped = false;
    TaskIdentity m_inactiveNoted;  // the last task NoteSkippedTask wrote an event for
    bool m_haveInactiveNoted = false;
    bool m_waitForStart = false;
    std::string m_activeStreamText;  // event 9's parameter
    std::string m_skippedTaskName;   // event 3's parameter
    std::string m_sessionFolder;
    RecordingMarker m_marker;
};

}  // namespace wk
