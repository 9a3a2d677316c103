#pragma once
// What the scheduler needs to know about recordings to tell how a task went.
// Implemented by the recording side; the scheduler asks it while holding its
// own lock, so an implementation must not wait for that lock on another thread.

#include <string>

#include "core/DateTime.h"

namespace wk {

class ScheduleTask;

class TaskStatusSource {
public:
    virtual ~TaskStatusSource() = default;

    // Chunk files of the stream exist for some part of [start, end).
    virtual bool HasRecordedChunks(const std::string& stream, const DateTime& start,
                                   const DateTime& end) = 0;
    // A playlist (description) of the stream covers the period.
    virtual bool HasDescription(const std::string& stream, const DateTime& start,
                                const DateTime& end) = 0;
    // The task is the one being recorded now.
    virtual bool IsRecording(const ScheduleTask& task) = 0;
    // The stream is one the service currently broadcasts.
    virtual bool IsStreamActive(const std::string& stream) = 0;
};

}  // namespace wk
