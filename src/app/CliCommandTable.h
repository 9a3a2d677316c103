#pragma once
// The command line's table of commands. Each command group declares its
// subcommands, their options and what runs them in the file of its own code
// (AddRecordCommand in RecordCommand.cpp, ...); RunCommandLine parses the
// arguments, prepares the program home and runs the handler of the innermost
// command given.
//
// Threads: the main thread, for one command line at a time.

#include <CLI/CLI.hpp>

#include <functional>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace wk {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Options that do not go together, found by a handler: "wavkeep: TEXT" and
// exit status 2.
class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

class CliCommandTable {
public:
    // Runs the command once the program home is ready and the trace is set
    // up; returns the exit status.
    using Handler = std::function<int(std::ostream& out, std::ostream& err)>;
    // Runs before the program home is chosen: `home` holds --home ("" when
    // not given) and may be set. A status ends the run with it.
    using EarlyHandler =
        std::function<std::optional<int>(std::string& home, std::ostream& out, std::ostream& err)>;

    explicit CliCommandTable(CLI::App& app) : m_app(app) {}
    CliCommandTable(const CliCommandTable&) = delete;
    CliCommandTable& operator=(const CliCommandTable&) = delete;

    CLI::App& App() { return m_app; }
    void On(CLI::App* command, Handler handler) {
        m_handlers.emplace_back(command, std::move(handler));
    }
    void Early(CLI::App* command, EarlyHandler handler) {
        m_early.emplace_back(command, std::move(handler));
    }
    // An argument of `command` that the trace must not show (a password).
    void Secret(CLI::App* command, const std::string* value) {
        m_secrets.emplace_back(command, value);
    }

    // After parsing: the innermost command given, and its handlers (null
    // when it has none).
    CLI::App* Given() const;
    const Handler* HandlerOf(CLI::App* command) const;
    const EarlyHandler* EarlyHandlerOf(CLI::App* command) const;
    // The arguments as the trace may show them.
    std::string TraceableArguments(int argc, const char* const* argv) const;

private:
    CLI::App& m_app;
    std::vector<std::pair<CLI::App*, Handler>> m_handlers;
    std::vector<std::pair<CLI::App*, EarlyHandler>> m_early;
    std::vector<std::pair<CLI::App*, const std::string*>> m_secrets;
};

}  // namespace wk
