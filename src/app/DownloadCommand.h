#pragma once
// "wavkeep download schedule|playlist" and "wavkeep streams update": one run
// of the service downloads, as the daemon's timers will run them.

#include <iosfwd>
#include <string>

namespace wk {

class CliCommandTable;

int RunDownloadSchedule(std::ostream& out, std::ostream& err);
int RunDownloadPlaylist(const std::string& stream, std::ostream& out, std::ostream& err);
int RunStreamsUpdate(std::ostream& out, std::ostream& err);
// "wavkeep upload": time check, then the stream's desc.des shifted to the
// service's clock and posted to "UploadURL".
int RunUpload(const std::string& stream, std::ostream& out, std::ostream& err);
// "wavkeep timecheck [--init]": the interactive time check (three samples)
// or the initial one (one sample, written to the stream's initcheck.txt),
// through the request manager; its status texts are printed.
int RunTimeCheck(bool init, std::ostream& out, std::ostream& err);

// "timecheck", "download", "upload" and "streams fetch" (after AddStreamsCommands).
void AddDownloadCommands(CliCommandTable& table);

}  // namespace wk
