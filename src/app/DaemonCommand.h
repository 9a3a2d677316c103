#pragma once
// "wavkeep run", "stop", "status" and "open": the daemon of the program
// home and the commands that reach it through its control socket.

#include <iosfwd>
#include <string>

namespace wk {

class CliCommandTable;

struct RunOptions {
    std::string input;            // as for "wavkeep record"; empty: "alsa"
    std::string descriptionFile;  // opened once running, or handed over
};

// Runs the daemon until it is stopped: 0 after a clean stop, 1 when it could
// not start (another recorder runs in the home, no sound card, no stream
// list), 2 for an input that cannot be used.
int RunDaemon(const RunOptions& options, std::ostream& out, std::ostream& err);
// Asks the daemon of the home to stop and waits until it is gone: 0, or 1
// when none runs (or it does not stop in time).
int RunStop(std::ostream& out, std::ostream& err);
// Whether a recorder runs in the home and what it records, the next task,
// the streams' disk use against "DiskSpace", the last five events.
int RunStatus(std::ostream& out, std::ostream& err);
// Hands a description file to the daemon, or imports it here when no daemon
// runs (as "wavkeep import" does, with the last measured clock difference).
int RunOpen(const std::string& file, std::ostream& out, std::ostream& err);

void AddDaemonCommands(CliCommandTable& table);

}  // namespace wk
