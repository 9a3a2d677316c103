#pragma once
#include <iosfwd>

namespace wk {
// Runs one wavkeep command line; returns the process exit code
// (0 ok, 1 the job failed, 2 bad usage).
int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
}  // namespace wk
