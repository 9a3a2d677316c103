#pragma once
// "wavkeep record": records now, as a switched task, until --for runs out,
// Ctrl-C / SIGTERM, or the input ends.

#include <iosfwd>
#include <string>

namespace wk {

struct RecordOptions {
    long long seconds = 0;  // 0: until stopped
    std::string stream;     // empty: "ActiveStream"
    std::string input;      // empty: "alsa"
};

int RunRecord(const RecordOptions& options, std::ostream& out, std::ostream& err);

}  // namespace wk
