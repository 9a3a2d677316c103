#pragma once
// "wavkeep streams", "wavkeep info", "wavkeep delete" and "wavkeep disk": the
// stream list, what a stream folder holds, cutting stretches out of a stream
// (never the session a recorder in this home is recording), and the disk
// allowance.

#include <cstdint>
#include <iosfwd>
#include <string>

namespace wk {

class CliCommandTable;

// `namesOnly`: the names alone, one a line.
int RunStreamsList(bool namesOnly, std::ostream& out);
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
// disk-space manager now (oldest sessions deleted down to nine tenths, then
// the finished chunks of the session being recorded); exit 1 when even that
// leaves the streams over the allowance.
int RunDisk(bool prune, std::ostream& out, std::ostream& err);

// A byte count in the largest unit that keeps it at 1 or more ("812 bytes",
// "1.4 MiB").
std::string SizeText(uint64_t bytes);

void AddStreamsCommands(CliCommandTable& table);
void AddDiskCommand(CliCommandTable& table);

}  // namespace wk
