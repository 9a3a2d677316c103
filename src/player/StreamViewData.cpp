#include "player/StreamViewData.h"

#include <sys/stat.h>

#include <algorithm>

#include "core/PrintableText.h"
#include "streamstore/ChunkName.h"
#include "streamstore/RecordingMarker.h"

namespace wk {
namespace {

std::string DatName(const std::string& sessionName, int64_t number) {
    return sessionName + "_" + std::to_string(number) + ".dat";
}

// Size and modification time of a side file; size -1 when there is none.
std::pair<int64_t, int64_t> DatState(const std::string& folder, const std::string& name) {
    struct stat st {};
    if (::stat(FolderFile(folder, name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {-1, 0};
    return {st.st_size, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

}  // namespace

std::string BarLabel(const Description& d) {
    if (d.artist.empty() || d.title.empty()) return PrintableText(d.artist + d.title);
    return PrintableText(d.artist + " - " + d.title);
}

std::optional<WaveChunk> FindGrowingChunk(const StreamInfo& info, RecordedRange* span) {
    const std::string session = RecordedSessionIn(info.folder);
    if (session.empty()) return std::nullopt;
    const auto fields = ParseChunkName(session + "_1.dat");
    if (!fields) return std::nullopt;
    const StreamTime start = fields->start.ToStreamTime();
    // The closed chunks of the session are in the stream info; the one
    // being written follows the highest of them.
    int64_t number = 0;
    for (const MP3SingleSaving& s : info.sessions) {
        if (s.start != start || s.length != fields->lengthMs) continue;
        for (const ChunkSpan& c : s.spans) number = std::max(number, (c.start - s.start) / s.length + 1);
    }
    ++number;
    auto state = DatState(info.folder, DatName(session, number));
    if (state.first < 0) {
        // No closed chunk before it (or a gap): the highest number present.
        number = 0;
        for (const std::string& name : ListChunkFiles(info.folder, ".dat")) {
            if (!BelongsToSession(name, session)) continue;
            if (const auto f = ParseChunkName(name)) number = std::max<int64_t>(number, f->number);
        }
        if (number == 0) return std::nullopt;
        state = DatState(info.folder, DatName(session, number));
        if (state.first < 0) return std::nullopt;
    }
    WaveChunk chunk;
    chunk.datName = DatName(session, number);
    chunk.start = start + (number - 1) * fields->lengthMs;
    chunk.length = fields->lengthMs;
    chunk.growing = true;
    chunk.datBytes = state.first;
    chunk.datModifiedNs = state.second;
    const int64_t size = state.first;
    if (span != nullptr) {
        const StreamTime planned = std::max<StreamTime>(fields->durationMs - (number - 1) * fields->lengthMs, 0);
        *span = {chunk.start, chunk.start + std::min(size * kMsPerDatByte, planned)};
    }
    return chunk;
}

StreamViewData::StreamViewData(const std::string& folder, const std::string& cachePath)
    : m_wave(cachePath) {
    m_info.folder = folder;
    m_store.SetFolder(folder);
    m_store.SetName("desc");
    m_store.SetStreamInfo(&m_info);
    m_scene.wave = &m_wave;
}

void StreamViewData::Refresh() {
    UpdateStreamInfo(m_info);
    std::vector<int> codes;
    GetRecordedRanges(m_info, m_scene.recorded, codes);
    m_store.Load();
    m_store.MarkCoverage(m_scene.recorded);
    m_scene.bars.clear();
    m_scene.bars.reserve(m_store.Size());
    for (const auto& d : m_store.Records()) {
        m_scene.bars.push_back({d->start, d->end, BarLabel(*d), d->coverage, d->notIdentified});
    }

    std::vector<WaveChunk> chunks;
    chunks.reserve(m_wave.ChunkCount() + 1);
    for (const MP3SingleSaving& s : m_info.sessions) {
        if (s.length <= 0) continue;
        const std::string session = ChunkSessionName(DateTime::FromStreamTime(s.start),
                                                     s.duration / kMsPerSecond, s.length / kMsPerSecond);
        for (const ChunkSpan& c : s.spans) {
            const int64_t number = (c.start - s.start) / s.length + 1;
            chunks.push_back({DatName(session, number), s.start + (number - 1) * s.length, s.length, false,
                              c.datBytes, c.datModifiedNs});
        }
    }
    RecordedRange growingSpan;
    m_scene.growing.reset();
    if (auto growing = FindGrowingChunk(m_info, &growingSpan)) {
        m_scene.growing = growingSpan;
        chunks.push_back(std::move(*growing));
    }
    m_wave.Sync(m_info.folder, std::move(chunks));
}

std::optional<RecordedRange> StreamViewData::Extent() const {
    std::optional<RecordedRange> extent = m_scene.growing;
    for (const RecordedRange& r : m_scene.recorded) {
        if (!extent) {
            extent = r;
        } else {
            extent->first = std::min(extent->first, r.first);
            extent->second = std::max(extent->second, r.second);
        }
    }
    return extent;
}

}  // namespace wk
