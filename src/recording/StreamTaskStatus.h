#pragma once
// The answers a schedule task's state needs (TaskStatusSource), from the
// streams on disk: chunks and descriptions of the task's period in its
// stream's folder, the stream list's active flag, and the task the
// recording controller said it records.
//
// The composer sets the recorded task on the controller's "recording
// started" event and clears it on "stopped". The controller keeps its own
// lock while it waits for the scheduler's, and the scheduler asks this
// source under its lock, so the answer cannot come from the controller.
//
// Threading: any thread; the recorded task is guarded by a lock of its own.
// The other answers read the disk and take no lock.

#include <memory>
#include <mutex>
#include <string>

#include "scheduler/ScheduleTask.h"
#include "scheduler/TaskStatusSource.h"

namespace wk {

class StreamTaskStatus final : public TaskStatusSource {
public:
    // A copy of `task`'s occurrence; nullptr: nothing is being recorded.
    void SetRecordedTask(const ScheduleTask* task);

    // Chunks recorded somewhere inside (start, end).
    bool HasRecordedChunks(const std::string& stream, const DateTime& start, const DateTime& end) override;
    // A description of the stream's desc.des overlapping (start, end).
    bool HasDescription(const std::string& stream, const DateTime& start, const DateTime& end) override;
    // Same stream, start and end as the recorded task.
    bool IsRecording(const ScheduleTask& task) override;
    bool IsStreamActive(const std::string& stream) override;

private:
    std::mutex m_lock;
    std::unique_ptr<ScheduleTask> m_recorded;
};

}  // namespace wk
