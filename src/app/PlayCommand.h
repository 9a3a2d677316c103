#pragma once
// "wavkeep play": listening to a stream from the command line, through the
// same playback controller as the stream view.

#include <iosfwd>
#include <string>

namespace wk {

class CliCommandTable;

struct PlayOptions {
    std::string stream;
    std::string from, to;  // or
    int track = 0;         // a description's number as "wavkeep descriptions" shows it
    std::string output;    // empty: "alsa"
};

// Adds the "play" command and its handler to the command line.
void AddPlayCommand(CliCommandTable& table);
int RunPlay(const PlayOptions& options, std::ostream& out, std::ostream& err);

}  // namespace wk
