// The client's reading of the service's playlist answer: the first byte gives
// the clock difference, the rest are the answer's lines. Each answer is
// applied to a stream of 30 s of fixed side bytes (empty audio: the matching
// reads only the side files), then applied again, which must be skipped.
#include <filesystem>
#include <vector>

#include "FuzzSupport.h"
#include "descriptions/DescriptionStore.h"
#include "server/AppliedDesIds.h"
#include "server/PlaylistDownload.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"

namespace {

const wk::StreamInfo& Stream() {
    static const wk::StreamInfo& info = *[] {
        auto* made = new wk::StreamInfo();
        made->folder = wk::fuzz::ScratchHome() + "stream/";
        std::filesystem::create_directories(made->folder);
        uint32_t seed = 7;
        const wk::DateTime start(2003, 11, 7, 17, 40, 0);
        for (int n = 1; n <= 3; ++n) {
            const std::string base = "stream/" + wk::ChunkBaseName(start, 30, 10, n);
            std::string fgp(1000, '\0');
            for (char& c : fgp) {
                seed = seed * 1103515245u + 12345u;
                c = static_cast<char>((seed >> 16) % 111);
            }
            wk::fuzz::WriteHomeFile(base + ".mp3", "");
            wk::fuzz::WriteHomeFile(base + ".dat", std::string(1000, '\x10'));
            wk::fuzz::WriteHomeFile(base + ".fgp", fgp);
        }
        wk::UpdateStreamInfo(*made);
        return made;
    }();
    return info;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const wk::StreamInfo& info = Stream();
    std::vector<std::string> lines;
    std::string_view text = wk::fuzz::AsText(data + 1, size - 1);
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    const double difference = static_cast<int8_t>(data[0]) * 0.5;
    std::error_code ignored;
    std::filesystem::remove(info.folder + "desc.des", ignored);
    const std::string idsPath = wk::fuzz::ScratchHome() + "ids.dat";
    std::filesystem::remove(idsPath, ignored);

    wk::AppliedDesIds ids(idsPath);
    wk::DescriptionStore store(info.folder, "desc");
    store.SetStreamInfo(&info);
    wk::PlaylistDownloadResult first;
    wk::PlaylistAnswerContext context{info.folder, info, difference, ids, store, first};
    wk::ApplyPlaylistAnswer(lines, context);
    if (first.applied + first.skipped + first.failed + first.notDescriptions != 1)
        wk::fuzz::Fail("an answer counted other than once");
    wk::PlaylistDownloadResult second;
    wk::PlaylistAnswerContext again{info.folder, info, difference, ids, store, second};
    wk::ApplyPlaylistAnswer(lines, again);
    if (first.applied == 1 && second.skipped != 1) wk::fuzz::Fail("an applied answer applied again");
    if (std::filesystem::exists(info.folder + wk::kRawDownloadName))
        wk::fuzz::Fail("the raw answer was left behind");
    return 0;
}
