#include "ui/shell/StreamSummary.h"

#include "descriptions/DescriptionStore.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamNameFile.h"

namespace wk::ui {

StreamSummary SummariseStream(const std::string& stream) {
    StreamSummary s;
    if (stream.empty() || !StreamNameFile::IsSafeFolderName(stream)) return s;
    s.folder = StreamNameFile::StreamRoot() + stream + "/";
    StreamInfo info;
    info.folder = s.folder;
    UpdateStreamInfo(info);
    StreamTime first = 0, last = 0;
    for (const MP3SingleSaving& session : info.sessions) {
        if (session.spans.empty()) continue;
        ++s.sessions;
        s.chunks += static_cast<int>(session.spans.size());
        if (s.sessions == 1 || session.spans.front().start < first) first = session.spans.front().start;
        if (session.spans.back().end > last) last = session.spans.back().end;
    }
    if (s.chunks > 0) {
        const DateTime a = DateTime::FromStreamTime(first), b = DateTime::FromStreamTime(last);
        s.first = a.DateText() + " " + a.TimeText();
        s.last = b.DateText() + " " + b.TimeText();
    }
    DescriptionStore store(s.folder, "desc");
    store.Load();
    s.descriptions = static_cast<int>(store.Size());
    return s;
}

}  // namespace wk::ui
