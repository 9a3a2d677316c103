#pragma once
// "wavkeep record": records now, as a switched task, until --for runs out,
// Ctrl-C / SIGTERM / SIGHUP, or the input ends, keeping the streams within
// "DiskSpace" meanwhile.

#include <iosfwd>
#include <string>

namespace wk {

class CliCommandTable;

// The longest --for: chunk names hold the planned seconds, and longer ones
// could not be read back.
inline constexpr long long kLongestRecordSeconds = 2147483647;

struct RecordOptions {
    long long seconds = 0;  // 0: until stopped
    std::string stream;     // empty: "ActiveStream"
    std::string input;      // empty: "alsa"
};

int RunRecord(const RecordOptions& options, std::ostream& out, std::ostream& err);

void AddRecordCommand(CliCommandTable& table);

}  // namespace wk
