#pragma once
// A program's documentation written from its CLI11 command line: the manual
// page (roff) and a bash completion script. Each program answers the hidden
// options "--help-man" and "--help-bash" with these (HandleDocRequest), and
// the build writes the installed man page and completion from that output,
// so neither can drift from what --help prints.
//
// Type names drive completion: an option or argument whose type name is
// "STREAM" completes the stream names of the program home (the `streamLister`
// command prints them, one a line), "DIR" folders and "FILE" files.
//
// Threads: any; nothing is shared.

#include <CLI/CLI.hpp>

#include <iosfwd>
#include <string>
#include <vector>

namespace wk::clidoc {

// A section after the generated ones. Its text is plain: paragraphs are
// separated by an empty line, a line "TERM\tTEXT" is a tagged item, and a
// line starting with two spaces is shown as it is (an example).
struct ManSection {
    std::string title;
    std::string text;
};

struct ManPage {
    std::string summary;  // the NAME line after "program \-"
    std::string version;  // "wavkeep 0.1.0"
    std::vector<ManSection> sections;  // after OPTIONS and COMMANDS
};

void WriteManPage(CLI::App& app, const ManPage& page, std::ostream& out);

// `streamLister`: the command printing the stream names, run with
// "--home DIR" in front when the command line being completed has one;
// empty when the program has no streams.
void WriteBashCompletion(CLI::App& app, const std::string& streamLister, std::ostream& out);

// When argv is exactly "PROGRAM --help-man" or "PROGRAM --help-bash", writes
// that document to `out` and returns true.
bool HandleDocRequest(int argc, const char* const* argv, CLI::App& app, const ManPage& page,
                      const std::string& streamLister, std::ostream& out);

}  // namespace wk::clidoc
