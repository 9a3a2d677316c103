#include "recording/StreamTaskStatus.h"

#include <algorithm>
#include <vector>

#include "descriptions/DescriptionStore.h"
#include "scheduler/TaskStates.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

// The folder of a stream as the stream list spells it; "" when the name
// cannot be a folder of the stream root.
std::string StreamFolder(const std::string& stream) {
    StreamNameFile streams;
    streams.load();
    const StreamRecord* record = streams.Find(stream);
    const std::string& name = record ? record->name : stream;
    if (!StreamNameFile::IsSafeFolderName(name)) return {};
    return StreamNameFile::StreamRoot() + name;
}

bool Overlaps(StreamTime start, StreamTime end, const DateTime& from, const DateTime& to) {
    return start < to.ToStreamTime() && end > from.ToStreamTime();
}

}  // namespace

void StreamTaskStatus::SetRecordedTask(const ScheduleTask* task) {
    std::unique_ptr<ScheduleTask> copy = task ? task->Clone() : nullptr;
    std::lock_guard lock(m_lock);
    m_recorded = std::move(copy);
}

bool StreamTaskStatus::HasRecordedChunks(const std::string& stream, const DateTime& start,
                                         const DateTime& end) {
    StreamInfo info;
    info.folder = StreamFolder(stream);
    if (info.folder.empty()) return false;
    UpdateStreamInfo(info);
    std::vector<RecordedRange> ranges;
    std::vector<int> codes;
    GetRecordedRanges(info, ranges, codes);
    return std::any_of(ranges.begin(), ranges.end(),
                       [&](const RecordedRange& r) { return Overlaps(r.first, r.second, start, end); });
}

bool StreamTaskStatus::HasDescription(const std::string& stream, const DateTime& start, const DateTime& end) {
    const std::string folder = StreamFolder(stream);
    if (folder.empty()) return false;
    DescriptionStore store(folder, "desc");
    store.Load();
    return std::any_of(store.Records().begin(), store.Records().end(),
                       [&](const auto& r) { return Overlaps(r->start, r->end, start, end); });
}

bool StreamTaskStatus::IsRecording(const ScheduleTask& task) {
    std::lock_guard lock(m_lock);
    return m_recorded && SameOccurrence(*m_recorded, task);
}

bool StreamTaskStatus::IsStreamActive(const std::string& stream) {
    StreamNameFile streams;
    streams.load();
    const StreamRecord* record = streams.Find(stream);
    return record && record->active == 1;
}

}  // namespace wk
