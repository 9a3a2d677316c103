#include "streamstore/StreamListChange.h"

#include <strings.h>

#include "core/FileLock.h"
#include "core/Trace.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

StreamChangeResult Refuse(StreamChangeStatus status, const std::string& name, std::string problem) {
    return {status, name, std::move(problem)};
}

}  // namespace

StreamRecord NewStreamRecord(const StreamNameFile& list, const std::string& name) {
    StreamRecord record;
    if (const StreamRecord* def = list.Find(StreamNameFile::kDefaultStream)) record = *def;
    record.name = name;
    record.serviceNumber = 0;
    record.active = 0;
    record.coveredUntil = 0;
    return record;
}

StreamChangeResult ApplyStreamChanges(StreamNameFile& list, const StreamListChanges& changes) {
    // Every check first, so that a refused change leaves the list untouched.
    std::vector<std::string> newNames;
    for (const StreamRecord& r : changes.added) {
        const std::string shown = StreamNameFile::ShownName(r.name);
        if (const std::string problem = StreamNameFile::NameProblem(r.name); !problem.empty())
            return Refuse(StreamChangeStatus::kBadName, r.name,
                          "\"" + shown + "\" cannot name a stream: " + problem);
        bool twice = false;
        for (const std::string& n : newNames) twice |= strcasecmp(n.c_str(), r.name.c_str()) == 0;
        if (const StreamRecord* known = list.Find(r.name); known || twice)
            return Refuse(StreamChangeStatus::kExists, r.name,
                          "the stream \"" + StreamNameFile::ShownName(known ? known->name : r.name) +
                              "\" exists already");
        newNames.push_back(r.name);
    }
    for (const StreamRecordChange& c : changes.changed)
        if (!list.Find(c.before.name))
            return Refuse(StreamChangeStatus::kNotFound, c.before.name,
                          "no stream \"" + StreamNameFile::ShownName(c.before.name) + "\"");
    for (const StreamRecordChange& c : changes.changed) {
        StreamRecord& to = *list.Find(c.before.name);
        const StreamRecord& a = c.before;
        const StreamRecord& b = c.after;
        auto take = [](int32_t& field, int32_t was, int32_t wanted) {
            if (was != wanted) field = wanted;
        };
        take(to.sourceType, a.sourceType, b.sourceType);
        take(to.tunerChannel, a.tunerChannel, b.tunerChannel);
        take(to.silenceMinimum, a.silenceMinimum, b.silenceMinimum);
        take(to.silenceSensitivity, a.silenceSensitivity, b.silenceSensitivity);
        take(to.shortestTrack, a.shortestTrack, b.shortestTrack);
        take(to.longestTrack, a.longestTrack, b.longestTrack);
        take(to.serviceNumber, a.serviceNumber, b.serviceNumber);
        take(to.active, a.active, b.active);
    }
    for (const StreamRecord& r : changes.added) list.AddCopy(r);
    return {};
}

StreamChangeResult ChangeStreamList(const StreamListChanges& changes) {
    const std::string path = StreamNameFile::FilePath();
    FileLock lock;
    std::string why;
    if (!lock.AcquireFor(path, FileLock::kDefaultTimeoutMs, &why))
        return Refuse(StreamChangeStatus::kNotWritten, {}, path + " was not changed: " + why);
    StreamNameFile list;
    list.load();
    StreamChangeResult result = ApplyStreamChanges(list, changes);
    if (!result.Done()) {
        Trace(kTraceInfo, "stream list not changed: %s", result.problem.c_str());
        return result;
    }
    if (!list.CreateFolders() || !list.save())
        return Refuse(StreamChangeStatus::kNotWritten, {}, "cannot write " + path);
    Trace(kTraceInfo, "stream list: %zu streams added, %zu changed", changes.added.size(),
          changes.changed.size());
    return result;
}

}  // namespace wk
