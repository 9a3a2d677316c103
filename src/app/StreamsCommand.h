#pragma once
// "wavkeep streams", "wavkeep info" and "wavkeep delete": the stream list,
// what a stream folder holds, and cutting stretches out of a stream.

#include <iosfwd>
#include <string>

namespace wk {

int RunStreamsList(std::ostream& out);
int RunStreamsAdd(const std::string& name, std::ostream& out, std::ostream& err);
int RunStreamsActivate(const std::string& name, bool active, std::ostream& out, std::ostream& err);
int RunStreamsImport(const std::string& path, std::ostream& out, std::ostream& err);

int RunInfo(const std::string& stream, std::ostream& out, std::ostream& err);

struct DeleteOptions {
    std::string from, to;
    std::string stream;
    bool all = false;
    bool yes = false;
};
int RunDelete(const DeleteOptions& options, std::ostream& out, std::ostream& err);

// Space the streams use against "DiskSpace"; with `prune`, one check of the
// disk-space manager now (oldest sessions deleted down to nine tenths).
int RunDisk(bool prune, std::ostream& out, std::ostream& err);

}  // namespace wk
