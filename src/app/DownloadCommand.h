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
// What an upload of a stream's descriptions came to: the result of the
// upload (server/Upload.h; kUploadNoAccount when nothing was sent) and the
// service's answer line.
struct UploadOutcome {
    int result = 0;
    std::string answer;
};
// The upload as the command line and the window run it: the account (its
// absence is said on `err`), the URLs and the stream's source type into the
// request manager, the time check on the connect thread (waited for), then
// the stream's desc.des shifted and posted on the calling thread. Blocks for
// as long as the service makes it wait; the request manager's status sink
// sees every step.
UploadOutcome UploadStreamDescriptions(const std::string& stream, std::ostream& err);
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
