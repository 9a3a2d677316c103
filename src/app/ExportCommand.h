#pragma once
// "wavkeep export", "wavkeep normalize" and "wavkeep songs": the manual
// export of a stream's described tracks, the loudness normalisation of a set
// of MP3 files as one album, and the music folder's contents.

#include <iosfwd>
#include <string>
#include <vector>

namespace wk {

class CExportProgress;
class CliCommandTable;

struct ExportOptions {
    std::string stream;
    std::string from, to;  // both or neither: one range instead of every description
    CExportProgress* progress = nullptr;  // null: a line on the terminal
};

int RunExport(const ExportOptions& options, std::ostream& out, std::ostream& err);
int RunNormalize(const std::vector<std::string>& files, bool dryRun, std::ostream& out,
                 std::ostream& err);
int RunSongs(std::ostream& out, std::ostream& err);
// The playing time of an MP3 or Ogg file in seconds, -1 when unknown.
double MusicFileSeconds(const std::string& path);

void AddExportCommands(CliCommandTable& table);

}  // namespace wk
