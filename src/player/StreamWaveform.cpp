#include "player/StreamWaveform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "core/Trace.h"
#include "player/TimeLine.h"
#include "streamstore/StreamInfo.h"

namespace wk {
namespace {

// The stream-wide bin levels, finest first.
constexpr std::array<StreamTime, 6> kBinSteps = {10000, 60000, 600000, 3600000, 21600000, 86400000};
constexpr StreamTime kMsPerByte = 10;
constexpr int kBytesPerTenth = 10;
// A chunk's ".dat" is read only as far as its length (and one cell of
// slack for the encoder block at its end) can hold; a side file of absurd
// size costs no more than that.
constexpr int64_t kSlackCells = 2;
constexpr int64_t kLongestChunkCells = 7 * 24 * 3600;
constexpr size_t kAddedChunksRoom = 4096;

StreamTime FloorDiv(StreamTime a, StreamTime b) {
    StreamTime q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

void Merge(WaveCell& into, WaveCell cell) {
    into.min = std::min(into.min, cell.min);
    into.max = std::max(into.max, cell.max);
}

void Merge(WaveColumn& into, WaveCell cell) {
    if (!into.present) {
        into = {cell.min, cell.max, true};
        return;
    }
    into.min = std::min(into.min, cell.min);
    into.max = std::max(into.max, cell.max);
}

// Min/max of each run of `per` bytes.
void Summarise(const int8_t* bytes, size_t count, size_t per, std::vector<WaveCell>& out) {
    for (size_t at = 0; at < count; at += per) {
        const size_t end = std::min(count, at + per);
        WaveCell cell{bytes[at], bytes[at]};
        for (size_t i = at + 1; i < end; ++i) {
            cell.min = std::min(cell.min, bytes[i]);
            cell.max = std::max(cell.max, bytes[i]);
        }
        out.push_back(cell);
    }
}

// Up to `limit` bytes of the file; false when it cannot be read.
bool ReadPrefix(const std::string& path, int64_t limit, std::vector<int8_t>& out) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.resize(static_cast<size_t>(limit));
    size_t got = 0;
    bool ok = true;
    while (got < out.size()) {
        const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    out.resize(got);
    return ok;
}

}  // namespace

struct StreamWaveform::Chunk {
    WaveChunk file;
    int64_t datSize = -1;  // bytes to use; -1: no readable side file
    int64_t mtimeNs = 0;
    int64_t statSize = -1;
    bool built = false;
    size_t cellAt = 0;
    size_t cellCount = 0;
    bool rawLoaded = false;
    std::vector<int8_t> raw;
    std::vector<WaveCell> tenths;
    uint64_t lastUse = 0;

    StreamTime Reach() const { return std::max<int64_t>(datSize, 0) * kMsPerByte; }
};

struct StreamWaveform::Bin {
    StreamTime index = 0;  // covers [index * step, (index + 1) * step)
    WaveCell cell;
};

StreamWaveform::StreamWaveform(std::string cachePath) : m_cache(std::move(cachePath)) {}

StreamWaveform::~StreamWaveform() = default;

size_t StreamWaveform::ChunkCount() const { return m_chunks.size(); }

StreamTime StreamWaveform::LevelStep(StreamTime width, int columns) {
    if (columns <= 0 || width <= 0) return kRawStep;
    const double perColumn = static_cast<double>(width) / columns;
    for (auto it = kBinSteps.rbegin(); it != kBinSteps.rend(); ++it) {
        if (2.0 * static_cast<double>(*it) <= perColumn) return *it;
    }
    if (2.0 * kSecondStep <= perColumn) return kSecondStep;
    if (2.0 * kTenthStep <= perColumn) return kTenthStep;
    return kRawStep;
}

void StreamWaveform::Look(Chunk& chunk, const std::string& folder, int& dirFd) {
    if (chunk.file.datBytes >= 0) {
        chunk.statSize = chunk.file.datBytes;
        chunk.mtimeNs = chunk.file.datModifiedNs;
    } else {
        if (dirFd < 0) dirFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat st {};
        if (dirFd >= 0 && ::fstatat(dirFd, chunk.file.datName.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode)) {
            chunk.statSize = st.st_size;
            chunk.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        } else {
            chunk.statSize = -1;
        }
    }
    if (chunk.statSize >= 0) {
        const int64_t cells =
            std::min(std::max<int64_t>(chunk.file.length, 0) / kMsPerSecond + kSlackCells, kLongestChunkCells);
        chunk.datSize = std::min<int64_t>(chunk.statSize, cells * kDatBytesPerCell);
    }
}

void StreamWaveform::Insert(WaveChunk file) {
    Chunk chunk;
    chunk.file = std::move(file);
    int dirFd = -1;
    Look(chunk, m_folder, dirFd);
    if (dirFd >= 0) ::close(dirFd);
    m_longestChunk = std::max(m_longestChunk, chunk.Reach());
    const auto at = std::upper_bound(m_chunks.begin(), m_chunks.end(), chunk, [](const Chunk& a, const Chunk& b) {
        return a.file.start != b.file.start ? a.file.start < b.file.start : a.file.datName < b.file.datName;
    });
    // Not summarised yet: no bin holds it before Prepare builds it.
    m_chunks.insert(at, std::move(chunk));
    m_allBuilt = false;
    ++m_generation;
}

void StreamWaveform::Add(WaveChunk closed) {
    closed.growing = false;
    // The chunk was drawn as it grew (normally the last one); its summary
    // is built afresh.
    for (size_t i = m_chunks.size(); i-- > 0;) {
        if (m_chunks[i].file.datName != closed.datName) continue;
        if (m_chunks[i].rawLoaded) m_rawBytes -= m_chunks[i].raw.size();
        Touch(m_chunks[i]);
        m_chunks.erase(m_chunks.begin() + static_cast<std::ptrdiff_t>(i));
        break;
    }
    Insert(std::move(closed));
}

void StreamWaveform::SetGrowing(std::optional<WaveChunk> growing) {
    // The chunk being written is normally the last one.
    const auto last = std::find_if(m_chunks.rbegin(), m_chunks.rend(), [](const Chunk& c) { return c.file.growing; });
    if (last != m_chunks.rend()) {
        const auto was = std::prev(last.base());
        if (growing && was->file.datName == growing->datName && was->statSize == growing->datBytes &&
            was->mtimeNs == growing->datModifiedNs)
            return;
        if (was->rawLoaded) m_rawBytes -= was->raw.size();
        Touch(*was);
        m_chunks.erase(was);
        ++m_generation;
    }
    if (!growing) return;
    growing->growing = true;
    Insert(std::move(*growing));
}

void StreamWaveform::Sync(const std::string& folder, std::vector<WaveChunk> chunks) {
    if (!m_cacheLoaded && !m_cache.Path().empty()) {
        m_cache.Load();
        m_cacheLoaded = true;
    }
    if (folder != m_folder) {
        m_chunks.clear();
        m_pool.clear();
        m_rawBytes = 0;
        m_folder = folder;
    }
    const auto before = [](const WaveChunk& a, const WaveChunk& b) {
        return a.start != b.start ? a.start < b.start : a.datName < b.datName;
    };
    std::sort(chunks.begin(), chunks.end(), before);

    // Room for the chunks the recorder adds before the next Sync, so that
    // adding one never moves them all.
    std::vector<Chunk> next;
    next.reserve(chunks.size() + kAddedChunksRoom);
    next.resize(chunks.size());
    std::vector<WaveCell> pool;
    pool.reserve(m_pool.size() + 64);
    size_t rawBytes = 0;
    bool changed = next.size() != m_chunks.size();
    m_longestChunk = 0;
    int dirFd = -1;
    // Both lists are in the same order: one walk pairs each chunk with its
    // old self.
    size_t old = 0;
    for (size_t i = 0; i < chunks.size(); ++i) {
        Chunk& chunk = next[i];
        chunk.file = std::move(chunks[i]);
        Look(chunk, folder, dirFd);
        m_longestChunk = std::max(m_longestChunk, chunk.Reach());

        while (old < m_chunks.size() && before(m_chunks[old].file, chunk.file)) ++old;
        Chunk* was = old < m_chunks.size() && m_chunks[old].file.datName == chunk.file.datName &&
                             m_chunks[old].file.start == chunk.file.start
                         ? &m_chunks[old]
                         : nullptr;
        const bool same = was && was->statSize == chunk.statSize && was->mtimeNs == chunk.mtimeNs &&
                          was->datSize == chunk.datSize;
        changed = changed || !same;
        const WaveCell* cells = nullptr;
        size_t count = 0;
        if (same && was->built) {
            cells = m_pool.data() + was->cellAt;
            count = was->cellCount;
            if (was->rawLoaded) {
                chunk.rawLoaded = true;
                chunk.raw = std::move(was->raw);
                chunk.tenths = std::move(was->tenths);
                chunk.lastUse = was->lastUse;
                rawBytes += chunk.raw.size();
            }
        } else if (chunk.datSize >= 0 && !chunk.file.growing) {
            if (const ChunkSummary* cached =
                    m_cache.Find(chunk.file.datName, chunk.statSize, chunk.mtimeNs)) {
                if (static_cast<int64_t>(cached->cells.size()) == CellCountFor(chunk.datSize)) {
                    cells = cached->cells.data();
                    count = cached->cells.size();
                    ++m_count.fromCache;
                }
            }
        }
        if (cells != nullptr) {
            chunk.built = true;
            chunk.cellAt = pool.size();
            chunk.cellCount = count;
            pool.insert(pool.end(), cells, cells + count);
        }
    }
    if (dirFd >= 0) ::close(dirFd);
    m_chunks = std::move(next);
    m_pool = std::move(pool);
    m_rawBytes = rawBytes;
    m_binsStale = m_binsStale || changed;
    m_allBuilt = false;
    ++m_generation;
}

std::pair<size_t, size_t> StreamWaveform::ChunksIn(StreamTime start, StreamTime end) const {
    const auto byStart = [](const Chunk& c, StreamTime t) { return c.file.start < t; };
    const auto first =
        std::lower_bound(m_chunks.begin(), m_chunks.end(), start - m_longestChunk, byStart);
    const auto last = std::lower_bound(first, m_chunks.end(), end, byStart);
    return {static_cast<size_t>(first - m_chunks.begin()), static_cast<size_t>(last - m_chunks.begin())};
}

void StreamWaveform::BuildSummary(Chunk& chunk) {
    std::vector<int8_t> bytes;
    const std::string path = FolderFile(m_folder, chunk.file.datName);
    if (!ReadPrefix(path, chunk.datSize, bytes)) {
        Trace(kTraceInfo, "wave form: cannot read %s", path.c_str());
    }
    chunk.cellAt = m_pool.size();
    Summarise(bytes.data(), bytes.size(), kDatBytesPerCell, m_pool);
    chunk.cellCount = m_pool.size() - chunk.cellAt;
    // What was read is what the summary stands for; a shorter read is
    // taken again next time the file changes.
    chunk.datSize = static_cast<int64_t>(bytes.size());
    chunk.built = true;
    ++m_count.built;
}

void StreamWaveform::LoadRaw(Chunk& chunk) {
    const std::string path = FolderFile(m_folder, chunk.file.datName);
    if (!ReadPrefix(path, chunk.datSize, chunk.raw)) {
        Trace(kTraceInfo, "wave form: cannot read %s", path.c_str());
    }
    chunk.tenths.clear();
    Summarise(chunk.raw.data(), chunk.raw.size(), kBytesPerTenth, chunk.tenths);
    chunk.rawLoaded = true;
    m_rawBytes += chunk.raw.size();
    ++m_count.rawLoads;
}

void StreamWaveform::Prepare(StreamTime start, StreamTime end, int columns) {
    if (end <= start || columns <= 0) return;
    const StreamTime step = LevelStep(end - start, columns);
    // A bin at either edge needs every chunk it covers, also outside the view.
    StreamTime from = start;
    StreamTime to = end;
    if (step > kSecondStep) {
        from = FloorDiv(start, step) * step;
        to = (FloorDiv(end - 1, step) + 1) * step;
    }
    std::vector<size_t> builtNow;
    const auto [first, last] = ChunksIn(from, to);
    // Zoomed out over everything, a paint does no work per chunk once
    // every chunk is summarised.
    const bool whole = first == 0 && last == m_chunks.size();
    if (!(whole && m_allBuilt)) {
        size_t left = 0;  // not summarised, out of the stretch
        for (size_t i = first; i < last; ++i) {
            Chunk& chunk = m_chunks[i];
            if (chunk.built || chunk.datSize < 0) continue;
            if (chunk.file.start + chunk.Reach() <= from) {
                ++left;
                continue;
            }
            BuildSummary(chunk);
            builtNow.push_back(i);
        }
        m_allBuilt = whole && left == 0;
    }
    if (!builtNow.empty()) {
        ++m_generation;
        std::vector<ChunkSummary> fresh;
        for (size_t i : builtNow) {
            const Chunk& c = m_chunks[i];
            Touch(c);
            if (c.file.growing) continue;
            fresh.push_back({c.file.datName, c.statSize, c.mtimeNs, {m_pool.data() + c.cellAt, c.cellCount}});
        }
        SaveSummaries(fresh);
    }

    if (step < kSecondStep) {
        const uint64_t now = ++m_useClock;
        const auto [a, b] = ChunksIn(start, end);
        for (size_t i = a; i < b; ++i) {
            Chunk& chunk = m_chunks[i];
            if (chunk.datSize < 0 || chunk.file.start + chunk.Reach() <= start) continue;
            chunk.lastUse = now;
            if (!chunk.rawLoaded) {
                LoadRaw(chunk);
                ++m_generation;
            }
        }
        // Drop the bytes of chunks out of view, least recently used first.
        while (m_rawBytes > kRawBudgetBytes) {
            Chunk* oldest = nullptr;
            for (Chunk& c : m_chunks) {
                if (c.rawLoaded && c.lastUse < now && (!oldest || c.lastUse < oldest->lastUse)) oldest = &c;
            }
            if (oldest == nullptr) break;
            m_rawBytes -= oldest->raw.size();
            oldest->raw = {};
            oldest->tenths = {};
            oldest->rawLoaded = false;
            ++m_generation;
        }
    }
    if (m_binsStale) {
        RebuildBins();
        ++m_generation;
    } else if (m_dirtyFrom < m_dirtyTo) {
        UpdateBins(m_dirtyFrom, m_dirtyTo);
        ++m_generation;
    }
    m_dirtyFrom = m_dirtyTo = 0;
}

void StreamWaveform::SaveSummaries(const std::vector<ChunkSummary>& fresh) {
    if (m_cache.Path().empty()) return;
    size_t live = 0;
    for (const Chunk& c : m_chunks) live += (c.built && !c.file.growing) ? 1 : 0;
    if (m_cache.WantsRewrite(live) || !m_cache.Append(fresh)) {
        std::vector<ChunkSummary> all;
        all.reserve(live);
        for (const Chunk& c : m_chunks) {
            if (!c.built || c.file.growing) continue;
            all.push_back({c.file.datName, c.statSize, c.mtimeNs, {m_pool.data() + c.cellAt, c.cellCount}});
        }
        m_cache.Rewrite(all);
    }
}

void StreamWaveform::RebuildBins() {
    m_bins.assign(kBinSteps.size(), {});
    std::vector<Bin>& tens = m_bins[0];
    bool sorted = true;
    for (const Chunk& chunk : m_chunks) {
        if (!chunk.built) continue;
        for (size_t i = 0; i < chunk.cellCount; ++i) {
            const StreamTime index =
                FloorDiv(chunk.file.start + static_cast<StreamTime>(i) * kSecondStep, kBinSteps[0]);
            const WaveCell cell = m_pool[chunk.cellAt + i];
            if (!tens.empty() && tens.back().index == index) {
                Merge(tens.back().cell, cell);
                continue;
            }
            sorted = sorted && (tens.empty() || tens.back().index < index);
            tens.push_back({index, cell});
        }
    }
    // Chunks overlap only after a clock step; their bins then come twice.
    if (!sorted) {
        std::stable_sort(tens.begin(), tens.end(),
                         [](const Bin& a, const Bin& b) { return a.index < b.index; });
        std::vector<Bin> merged;
        for (const Bin& bin : tens) {
            if (!merged.empty() && merged.back().index == bin.index) {
                Merge(merged.back().cell, bin.cell);
            } else {
                merged.push_back(bin);
            }
        }
        tens = std::move(merged);
    }
    for (size_t level = 1; level < kBinSteps.size(); ++level) {
        const std::vector<Bin>& finer = m_bins[level - 1];
        std::vector<Bin>& bins = m_bins[level];
        for (const Bin& bin : finer) {
            const StreamTime index = FloorDiv(bin.index * kBinSteps[level - 1], kBinSteps[level]);
            if (!bins.empty() && bins.back().index == index) {
                Merge(bins.back().cell, bin.cell);
            } else {
                bins.push_back({index, bin.cell});
            }
        }
    }
    m_binsStale = false;
    m_dirtyFrom = m_dirtyTo = 0;
    ++m_count.binRebuilds;
}

void StreamWaveform::Touch(const Chunk& chunk) {
    if (!chunk.built || chunk.cellCount == 0) return;
    const StreamTime from = chunk.file.start;
    const StreamTime to = from + static_cast<StreamTime>(chunk.cellCount) * kSecondStep;
    if (m_dirtyFrom >= m_dirtyTo) {
        m_dirtyFrom = from;
        m_dirtyTo = to;
        return;
    }
    m_dirtyFrom = std::min(m_dirtyFrom, from);
    m_dirtyTo = std::max(m_dirtyTo, to);
}

void StreamWaveform::UpdateBins(StreamTime from, StreamTime to) {
    if (m_bins.size() != kBinSteps.size()) {
        RebuildBins();
        return;
    }
    const auto byIndex = [](const Bin& b, StreamTime i) { return b.index < i; };
    // Puts `fresh` (ascending, one bin per index at most) in place of the
    // level's bins with indices [first, last].
    const auto replace = [&](std::vector<Bin>& bins, StreamTime first, StreamTime last, std::vector<Bin>& fresh) {
        const auto a = std::lower_bound(bins.begin(), bins.end(), first, byIndex);
        const auto b = std::lower_bound(a, bins.end(), last + 1, byIndex);
        const auto at = bins.erase(a, b);
        bins.insert(at, fresh.begin(), fresh.end());
    };
    const auto add = [](std::vector<Bin>& into, StreamTime index, WaveCell cell) {
        // Indices come in any order only where chunks overlap.
        auto it = std::lower_bound(into.begin(), into.end(), index,
                                   [](const Bin& b, StreamTime i) { return b.index < i; });
        if (it != into.end() && it->index == index) {
            Merge(it->cell, cell);
        } else {
            into.insert(it, {index, cell});
        }
    };
    // The finest level from the seconds of every chunk reaching into the
    // affected bins.
    StreamTime first = FloorDiv(from, kBinSteps[0]);
    StreamTime last = FloorDiv(to - 1, kBinSteps[0]);
    std::vector<Bin> fresh;
    const StreamTime lo = first * kBinSteps[0];
    const StreamTime hi = (last + 1) * kBinSteps[0];
    const auto [c0, c1] = ChunksIn(lo, hi);
    for (size_t c = c0; c < c1; ++c) {
        const Chunk& chunk = m_chunks[c];
        if (!chunk.built) continue;
        const StreamTime i0 = std::max<StreamTime>(FloorDiv(lo - chunk.file.start + kSecondStep - 1, kSecondStep), 0);
        const StreamTime i1 =
            std::min<StreamTime>(FloorDiv(hi - chunk.file.start - 1, kSecondStep) + 1,
                                 static_cast<StreamTime>(chunk.cellCount));
        for (StreamTime i = i0; i < i1; ++i) {
            add(fresh, FloorDiv(chunk.file.start + i * kSecondStep, kBinSteps[0]),
                m_pool[chunk.cellAt + static_cast<size_t>(i)]);
        }
    }
    replace(m_bins[0], first, last, fresh);
    // Each coarser level from the finer one, over the bins that cover what changed.
    for (size_t level = 1; level < kBinSteps.size(); ++level) {
        const StreamTime ratio = kBinSteps[level] / kBinSteps[level - 1];
        first = FloorDiv(first, ratio);
        last = FloorDiv(last, ratio);
        const std::vector<Bin>& finer = m_bins[level - 1];
        fresh.clear();
        auto it = std::lower_bound(finer.begin(), finer.end(), first * ratio, byIndex);
        for (; it != finer.end() && it->index < (last + 1) * ratio; ++it) {
            const StreamTime index = FloorDiv(it->index, ratio);
            if (!fresh.empty() && fresh.back().index == index) {
                Merge(fresh.back().cell, it->cell);
            } else {
                fresh.push_back({index, it->cell});
            }
        }
        replace(m_bins[level], first, last, fresh);
    }
}

void StreamWaveform::Columns(StreamTime start, StreamTime end, int columns,
                             std::vector<WaveColumn>& out) const {
    out.assign(static_cast<size_t>(std::max(columns, 0)), WaveColumn{});
    if (end <= start || columns <= 0) return;
    const StreamTime width = end - start;
    const int64_t lastColumn = columns - 1;
    // Every value lands in each column its stretch [a, b) overlaps.
    const auto mark = [&](StreamTime a, StreamTime b, WaveCell cell) {
        const int64_t c0 = std::max<int64_t>(ColumnOf(a - start, width, columns), 0);
        const int64_t c1 = std::min(ColumnOf(b - 1 - start, width, columns), lastColumn);
        for (int64_t c = c0; c <= c1; ++c) Merge(out[static_cast<size_t>(c)], cell);
    };
    const StreamTime step = LevelStep(width, columns);

    if (step > kSecondStep) {
        const size_t level =
            static_cast<size_t>(std::find(kBinSteps.begin(), kBinSteps.end(), step) - kBinSteps.begin());
        if (level >= m_bins.size()) return;
        const std::vector<Bin>& bins = m_bins[level];
        const StreamTime firstIndex = FloorDiv(start, step);
        auto it = std::lower_bound(bins.begin(), bins.end(), firstIndex,
                                   [](const Bin& b, StreamTime i) { return b.index < i; });
        for (; it != bins.end() && it->index * step < end; ++it) {
            mark(it->index * step, it->index * step + step, it->cell);
        }
        return;
    }

    // Values of one chunk stretch of `size` ms each from its start.
    const auto markRun = [&](const Chunk& chunk, const WaveCell* values, size_t count, StreamTime size) {
        const StreamTime cs = chunk.file.start;
        const StreamTime i0 = std::max<StreamTime>(FloorDiv(start - cs, size), 0);
        const StreamTime i1 = std::min<StreamTime>(FloorDiv(end - 1 - cs, size) + 1, static_cast<StreamTime>(count));
        for (StreamTime i = i0; i < i1; ++i) mark(cs + i * size, cs + (i + 1) * size, values[i]);
    };
    const auto [first, last] = ChunksIn(start, end);
    for (size_t i = first; i < last; ++i) {
        const Chunk& chunk = m_chunks[i];
        if (step == kRawStep && chunk.rawLoaded) {
            const StreamTime cs = chunk.file.start;
            const StreamTime i0 = std::max<StreamTime>(FloorDiv(start - cs, kMsPerByte), 0);
            const StreamTime i1 = std::min<StreamTime>(FloorDiv(end - 1 - cs, kMsPerByte) + 1,
                                                       static_cast<StreamTime>(chunk.raw.size()));
            for (StreamTime k = i0; k < i1; ++k) {
                const int8_t v = chunk.raw[static_cast<size_t>(k)];
                mark(cs + k * kMsPerByte, cs + (k + 1) * kMsPerByte, WaveCell{v, v});
            }
        } else if (step <= kTenthStep && chunk.rawLoaded) {
            markRun(chunk, chunk.tenths.data(), chunk.tenths.size(), kTenthStep);
        } else if (chunk.built) {
            markRun(chunk, m_pool.data() + chunk.cellAt, chunk.cellCount, kSecondStep);
        }
    }
}

}  // namespace wk
