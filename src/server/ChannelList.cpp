#include "server/ChannelList.h"

#include "core/ConfigStore.h"
#include "core/Trace.h"
#include "platform/HttpClient.h"
#include "streamstore/StreamNameFile.h"

namespace wk {

bool LoadStreamListFromService(HttpClient& http, StreamNameFile& list,
                               std::vector<std::string>* skipped) {
    ConfigStore config;
    config.Load();
    const std::string url = config.GetString("URLChanelList");
    if (url.empty() || url == kKeyNotFound) {
        Trace(kTraceError, "No channel list URL configured");
        return false;
    }
    Trace(kTraceInfo, "Requesting the channel list");
    const HttpResult answer = http.PostForm(url, HttpForm{});
    if (answer.outcome != HttpResult::Outcome::kOk || answer.status != 200) {
        Trace(kTraceError, "Channel list request failed (status %d) %s", answer.status,
              answer.error.c_str());
        return false;
    }
    return list.loadFromBuffer(answer.body, skipped);
}

}  // namespace wk
