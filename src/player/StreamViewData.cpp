#include "player/StreamViewData.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "core/PrintableText.h"
#include "streamstore/ChunkName.h"
#include "streamstore/RecordingMarker.h"
#include "streamstore/StreamsGeneration.h"

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

namespace {

// Chunk `number` of `session` in `folder` as the chunk being written; none
// when its side file is not there (yet).
std::optional<WaveChunk> GrowingChunkOf(const std::string& folder, const std::string& session, int64_t number,
                                        RecordedRange* span) {
    const auto fields = ParseChunkName(session + "_1.dat");
    const auto state = DatState(folder, DatName(session, number));
    if (!fields || state.first < 0) return std::nullopt;
    WaveChunk chunk;
    chunk.datName = DatName(session, number);
    chunk.start = fields->start.ToStreamTime() + (number - 1) * fields->lengthMs;
    chunk.length = fields->lengthMs;
    chunk.growing = true;
    chunk.datBytes = state.first;
    chunk.datModifiedNs = state.second;
    if (span != nullptr) {
        const StreamTime planned = std::max<StreamTime>(fields->durationMs - (number - 1) * fields->lengthMs, 0);
        *span = {chunk.start, chunk.start + std::min(state.first * kMsPerDatByte, planned)};
    }
    return chunk;
}

}  // namespace

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
    if (DatState(info.folder, DatName(session, number)).first < 0) {
        // No closed chunk before it (or a gap): the highest number present.
        number = 0;
        for (const std::string& name : ListChunkFiles(info.folder, ".dat")) {
            if (!BelongsToSession(name, session)) continue;
            if (const auto f = ParseChunkName(name)) number = std::max<int64_t>(number, f->number);
        }
        if (number == 0) return std::nullopt;
    }
    return GrowingChunkOf(info.folder, session, number, span);
}

namespace {

// Scene stamps are unique over every instance (a read on another thread
// is adopted by the view's).
uint64_t NextSceneStamp() {
    static std::atomic<uint64_t> last{0};
    return ++last;
}

}  // namespace

StreamViewData::StreamViewData(const std::string& folder, const std::string& cachePath)
    : m_cachePath(cachePath), m_wave(std::make_unique<StreamWaveform>(cachePath)) {
    m_info.folder = folder;
    m_store.SetFolder(folder);
    m_store.SetName("desc");
    m_store.SetStreamInfo(&m_info);
    m_scene.wave = m_wave.get();
    m_scene.stamp = NextSceneStamp();
}

StreamViewData::FileStamp StreamViewData::DescriptionStamp() const {
    struct stat st {};
    if (::stat(m_store.FilePath().c_str(), &st) != 0) return {};
    return {static_cast<int64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

void StreamViewData::LoadDescriptions() {
    // Taken before the read: a change during it shows as a change after.
    m_descStamp = DescriptionStamp();
    m_store.Load();
}

void StreamViewData::MarkDescriptions() {
    m_store.MarkCoverage(m_scene.recorded);
    m_scene.bars.clear();
    m_scene.bars.reserve(m_store.Size());
    for (const auto& d : m_store.Records()) {
        m_scene.bars.push_back({d->start, d->end, BarLabel(*d), d->coverage, d->notIdentified});
    }
}

void StreamViewData::FindWriting() {
    RecordedRange growingSpan;
    m_scene.growing.reset();
    m_writing.reset();
    if (auto growing = FindGrowingChunk(m_info, &growingSpan)) {
        m_scene.growing = growingSpan;
        const std::string& name = growing->datName;
        const size_t cut = name.rfind('_');
        if (const auto fields = ParseChunkName(name); fields && cut != std::string::npos)
            m_writing = Writing{name.substr(0, cut), fields->number};
    }
}

void StreamViewData::SyncWave() {
    std::vector<WaveChunk> chunks;
    chunks.reserve(m_wave->ChunkCount() + 1);
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
    if (auto growing = FindGrowingChunk(m_info, &growingSpan)) chunks.push_back(std::move(*growing));
    m_wave->Sync(m_info.folder, std::move(chunks));
}

void StreamViewData::Refresh(int columns, std::optional<RecordedRange> stretch) {
    using Clock = std::chrono::steady_clock;
    const auto since = [](Clock::time_point t) {
        return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
    };
    // Noted before the scan: a deletion during it shows as one after.
    m_generation = StreamsGeneration();
    auto t = Clock::now();
    UpdateStreamInfo(m_info);
    std::vector<int> codes;
    GetRecordedRanges(m_info, m_scene.recorded, codes);
    FindWriting();
    m_times.folder = since(t);
    t = Clock::now();
    LoadDescriptions();
    MarkDescriptions();
    m_times.descriptions = since(t);
    t = Clock::now();
    SyncWave();
    m_times.wave = since(t);
    t = Clock::now();
    if (!stretch) stretch = Extent();
    if (columns > 0 && stretch && stretch->second > stretch->first)
        m_wave->Prepare(stretch->first, stretch->second, columns);
    m_times.summaries = since(t);
    m_read = true;
    m_scene.stamp = NextSceneStamp();
}

void StreamViewData::Adopt(StreamViewData&& fresh) {
    // Swapped, not replaced: what this instance held goes with `fresh`,
    // whose owner may free it where it costs nobody a wait.
    std::swap(m_info.sessions, fresh.m_info.sessions);
    m_info.maxReach = fresh.m_info.maxReach;
    for (MP3SingleSaving& s : m_info.sessions) s.owner = &m_info;
    for (MP3SingleSaving& s : fresh.m_info.sessions) s.owner = &fresh.m_info;
    std::swap(m_scene.recorded, fresh.m_scene.recorded);
    m_scene.growing = fresh.m_scene.growing;
    std::swap(m_wave, fresh.m_wave);
    m_scene.wave = m_wave.get();
    fresh.m_scene.wave = fresh.m_wave.get();
    m_generation = fresh.m_generation;
    m_writing = std::move(fresh.m_writing);
    m_times = fresh.m_times;
    m_read = fresh.m_read;
    if (DescriptionStamp() == fresh.m_descStamp) {
        m_descStamp = fresh.m_descStamp;
        std::swap(m_store.Records(), fresh.m_store.Records());
        for (int i = 0; i < 3; ++i) m_store.header[i] = std::move(fresh.m_store.header[i]);
        std::swap(m_scene.bars, fresh.m_scene.bars);
    } else {
        LoadDescriptions();
        MarkDescriptions();
    }
    m_scene.stamp = NextSceneStamp();
    fresh.m_scene.stamp = NextSceneStamp();
}

void StreamViewData::RefreshDescriptions() {
    LoadDescriptions();
    MarkDescriptions();
    m_scene.stamp = NextSceneStamp();
}

int StreamViewData::CloseFrom(const std::string& session, int number, bool recorded) {
    const auto audioExists = [&](int n) {
        struct stat st {};
        const std::string base = FolderFile(m_info.folder, session + "_" + std::to_string(n));
        return ::stat((base + ".mp3").c_str(), &st) == 0 || ::stat((base + ".ogg").c_str(), &st) == 0;
    };
    int added = 0;
    for (int n = std::max(number, 1); audioExists(n); ++n) {
        if (recorded && !audioExists(n + 1)) {
            m_writing = Writing{session, n};
            break;
        }
        const std::string dat = DatName(session, n);
        const auto fields = ParseChunkName(dat);
        const auto [bytes, modified] = DatState(m_info.folder, dat);
        if (fields && AddChunk(m_info, *fields, bytes, modified)) {
            ++added;
            m_wave->Add({dat, fields->start.ToStreamTime() + (n - 1) * fields->lengthMs, fields->lengthMs, false,
                         bytes, modified});
        }
    }
    return added;
}

bool StreamViewData::AppendCompleted(bool* changed) {
    if (changed != nullptr) *changed = false;
    if (!m_read || StreamsGeneration() != m_generation) return false;
    const std::string recorded = RecordedSessionIn(m_info.folder);
    const std::optional<Writing> was = std::move(m_writing);
    m_writing.reset();
    int count = 0;
    if (was) count += CloseFrom(was->session, was->number, was->session == recorded);
    if (!recorded.empty() && (!was || was->session != recorded)) {
        // A recording begun since: its chunks after those known.
        int known = 0;
        if (const auto f = ParseChunkName(recorded + "_1.dat")) {
            for (const MP3SingleSaving& s : m_info.sessions) {
                if (s.start != f->start.ToStreamTime() || s.length <= 0) continue;
                for (const ChunkSpan& c : s.spans)
                    known = std::max<int>(known, static_cast<int>((c.start - s.start) / s.length + 1));
            }
        }
        count += CloseFrom(recorded, known + 1, true);
    }
    if (count > 0) {
        std::vector<int> codes;
        GetRecordedRanges(m_info, m_scene.recorded, codes);
    }
    const std::optional<RecordedRange> grew = m_scene.growing;
    m_scene.growing.reset();
    std::optional<WaveChunk> growing;
    RecordedRange span;
    if (m_writing && (growing = GrowingChunkOf(m_info.folder, m_writing->session, m_writing->number, &span)))
        m_scene.growing = span;
    m_wave->SetGrowing(std::move(growing));
    const bool descriptions = DescriptionStamp() != m_descStamp;
    if (descriptions) LoadDescriptions();
    if (count > 0 || descriptions) MarkDescriptions();
    if (changed != nullptr) *changed = count > 0 || descriptions || grew != m_scene.growing;
    m_scene.stamp = NextSceneStamp();
    return true;
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
