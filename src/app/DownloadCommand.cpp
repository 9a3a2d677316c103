#include "app/DownloadCommand.h"

#include <ostream>

#include "platform/HttpClientCurl.h"
#include "scheduler/Scheduler.h"
#include "core/ConfigStore.h"
#include "server/ChannelList.h"
#include "server/PlaylistDownload.h"
#include "server/Credentials.h"
#include "server/ScheduleDownload.h"
#include "server/TimeCheck.h"
#include "server/Upload.h"
#include "streamstore/StreamNameFile.h"

namespace wk {

int RunDownloadSchedule(std::ostream& out, std::ostream& err) {
    HttpClientCurl http;
    Scheduler scheduler;
    scheduler.load();
    const ScheduleDownloadResult r = RunScheduleDownload(http, scheduler);
    if (r.code == 1) {
        err << "wavkeep: Timecheck failed. Aborting schedule download.\n";
        return 1;
    }
    if (!r.answered) {
        err << "wavkeep: the service did not answer the schedule request (see the trace)\n";
        return 1;
    }
    out << r.parse.inserted << " tasks added, " << r.parse.skipped
        << " skipped (colliding or invalid)\n";
    return 0;
}

int RunDownloadPlaylist(const std::string& streamName, std::ostream& out, std::ostream& err) {
    std::string stream = streamName;
    if (stream.empty()) {
        ConfigStore config;
        config.Load();
        stream = config.GetString("ActiveStream");
    }
    HttpClientCurl http;
    const PlaylistDownloadResult r = RunPlaylistDownload(http, stream);
    switch (r.status) {
    case PlaylistStatus::kTimeCheckFailed:
        err << "wavkeep: Timecheck failed. Aborting playlist download.\n";
        return 1;
    case PlaylistStatus::kUnknownStream:
        err << "wavkeep: no stream \"" << stream << "\" (see \"wavkeep streams\")\n";
        return 1;
    case PlaylistStatus::kRequestFailed:
        err << "wavkeep: Error: Couldn't download the playlist.\n";
        return 1;
    case PlaylistStatus::kNoRequest:
        out << "There is no available playlist for this stream (nothing recorded past what is covered)\n";
        return 0;
    case PlaylistStatus::kBusy:
        err << "wavkeep: a playlist download is running already\n";
        return 1;
    default:
        break;
    }
    out << r.requests << " requests, " << r.applied << " description files applied, " << r.skipped
        << " applied before, " << r.failed << " failed; clock difference " << r.difference << " s\n";
    return r.failed > 0 ? 1 : 0;
}

int RunStreamsUpdate(std::ostream& out, std::ostream& err) {
    HttpClientCurl http;
    StreamNameFile streams;
    streams.load();
    const size_t before = streams.Records().size();
    if (!LoadStreamListFromService(http, streams)) {
        err << "wavkeep: the channel list could not be downloaded (\"URLChanelList\")\n";
        return 1;
    }
    if (!streams.CreateFolders() || !streams.save()) {
        err << "wavkeep: cannot write " << StreamNameFile::FilePath() << '\n';
        return 1;
    }
    out << streams.Records().size() - before << " streams added from the service\n";
    return 0;
}

int RunUpload(const std::string& streamName, std::ostream& out, std::ostream& err) {
    ConfigStore config;
    config.Load();
    const std::string stream = streamName.empty() ? config.GetString("ActiveStream") : streamName;
    if (!StreamNameFile::IsSafeFolderName(stream)) {
        err << "wavkeep: \"" << stream << "\" cannot name a stream folder\n";
        return 2;
    }
    Credentials credentials;
    if (!ReadCredentials(credentials)) {
        err << "wavkeep: no account (Options.txt); \"wavkeep account set\" stores one\n";
        return 1;
    }
    HttpClientCurl http;
    const TimeCheckResult check = RunAutoTimeCheck(http, config.GetString("TimeCheckURL"));
    if (!check.ok) {
        err << "wavkeep: Uploading failed. You have to do time check first. (" << check.error << ")\n";
        return 1;
    }
    StoreTimeDifference(check.difference);
    std::string answer;
    const int result = UploadDescriptionFile(
        http, stream, StreamNameFile::StreamRoot() + stream + "/desc.des", check.difference, &answer);
    const std::string text = UploadResultText(result, answer);
    (result == kUploadDone ? out : err) << (result == kUploadDone ? "" : "wavkeep: ") << text << '\n';
    return result == kUploadDone ? 0 : 1;
}

}  // namespace wk
