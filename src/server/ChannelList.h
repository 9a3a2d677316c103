#pragma once
// The service's channel list, merged into the stream list.
//
// Request: a form POST without fields to the URL in "URLChanelList" (the URL
// carries the request kind in its query). Answer: text lines of at least
// three TAB-separated fields (name, "One" for radio, service number); see
// StreamNameFile::loadFromBuffer for what is accepted.

#include <string>
#include <vector>

namespace wk {

class HttpClient;
class StreamNameFile;

// False, with `list` unchanged, when the request fails (no connection, a
// status other than 200, an oversized answer); otherwise whether any line of
// the answer was acceptable. Channels whose names cannot be streams are left
// out, each described in `skipped` when given. The caller saves the list.
bool LoadStreamListFromService(HttpClient& http, StreamNameFile& list,
                               std::vector<std::string>* skipped = nullptr);

}  // namespace wk
