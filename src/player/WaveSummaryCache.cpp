#include "player/WaveSummaryCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/ProgramHome.h"
#include "core/Trace.h"

namespace wk {
namespace {

constexpr std::string_view kMagic = "WKWAVE1\n";
constexpr const char* kCacheFolder = "waveforms";
// A cache larger than this is not read: years of chunks stay far below it.
constexpr off_t kLargestCacheFile = off_t{1} << 30;
// Fixed payload bytes besides the name and the cells.
constexpr size_t kPayloadFixed = 2 + 8 + 8 + 4;
constexpr size_t kRecordFrame = 4 + 8;

uint64_t Fnv1a(std::string_view bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

template <typename T>
void PutLe(std::string& out, T value) {
    using U = std::make_unsigned_t<T>;
    auto u = static_cast<U>(value);
    for (size_t i = 0; i < sizeof(T); ++i) {
        out.push_back(static_cast<char>(u & 0xff));
        u = static_cast<U>(u >> 8);
    }
}

template <typename T>
T GetLe(const char* p) {
    using U = std::make_unsigned_t<T>;
    U u = 0;
    for (size_t i = sizeof(T); i-- > 0;) {
        u = static_cast<U>((u << 8) | static_cast<unsigned char>(p[i]));
    }
    return static_cast<T>(u);
}

void PutRecord(std::string& out, const ChunkSummary& s) {
    const size_t nameLength = std::min<size_t>(s.name.size(), UINT16_MAX);
    const size_t payloadLength = kPayloadFixed + nameLength + 2 * s.cells.size();
    PutLe<uint32_t>(out, static_cast<uint32_t>(payloadLength));
    const size_t payloadAt = out.size();
    PutLe<uint16_t>(out, static_cast<uint16_t>(nameLength));
    out.append(s.name.substr(0, nameLength));
    PutLe<int64_t>(out, s.datSize);
    PutLe<int64_t>(out, s.mtimeNs);
    PutLe<uint32_t>(out, static_cast<uint32_t>(s.cells.size()));
    for (const WaveCell& cell : s.cells) {
        out.push_back(static_cast<char>(cell.min));
        out.push_back(static_cast<char>(cell.max));
    }
    PutLe<uint64_t>(out, Fnv1a(std::string_view(out).substr(payloadAt)));
}

bool EnsureFolder(const std::string& folder) {
    return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

std::string WaveCachePathFor(const std::string& streamFolder) {
    std::string absolute = streamFolder;
    if (char* resolved = ::realpath(streamFolder.c_str(), nullptr)) {
        absolute = resolved;
        std::free(resolved);
    }
    while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
    std::string readable = absolute.substr(absolute.rfind('/') + 1);
    if (readable.size() > 40) readable.resize(40);
    for (char& c : readable) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!plain) c = '_';
    }
    char hash[20];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a(absolute)));
    return ProgramFolder() + kCacheFolder + "/" + readable + "-" + hash + ".wave";
}

void WaveSummaryCache::Load() {
    m_records.clear();
    m_index.clear();
    m_next = 0;
    m_bytes.clear();
    m_cells = {};
    m_recordCount = 0;
    m_badTail = false;
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kLargestCacheFile) {
        ::close(fd);
        Trace(kTraceInfo, "wave cache %s not read: not a file of a usable size", m_path.c_str());
        m_badTail = true;
        return;
    }
    m_bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < m_bytes.size()) {
        const ssize_t n = ::read(fd, m_bytes.data() + got, m_bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    m_bytes.resize(got);

    const std::string_view all = m_bytes;
    // Reserved once, so the spans handed out stay where they are.
    m_cells.reserve(all.size() / 2);
    if (!all.starts_with(kMagic)) {
        Trace(kTraceInfo, "wave cache %s ignored: not a wave cache", m_path.c_str());
        m_badTail = true;
        return;
    }
    size_t at = kMagic.size();
    while (at < all.size()) {
        const size_t left = all.size() - at;
        if (left < kRecordFrame) break;
        const size_t payloadLength = GetLe<uint32_t>(all.data() + at);
        if (payloadLength < kPayloadFixed || payloadLength > left - kRecordFrame) break;
        const std::string_view payload = all.substr(at + 4, payloadLength);
        if (GetLe<uint64_t>(payload.data() + payloadLength) != Fnv1a(payload)) break;
        const size_t nameLength = GetLe<uint16_t>(payload.data());
        if (nameLength + kPayloadFixed > payloadLength) break;
        const char* p = payload.data() + 2 + nameLength;
        ChunkSummary s;
        s.name = payload.substr(2, nameLength);
        s.datSize = GetLe<int64_t>(p);
        s.mtimeNs = GetLe<int64_t>(p + 8);
        const size_t cells = GetLe<uint32_t>(p + 16);
        if (s.datSize < 0 || static_cast<uint64_t>(CellCountFor(s.datSize)) < cells ||
            kPayloadFixed + nameLength + 2 * cells != payloadLength) {
            break;
        }
        // Copied out rather than pointed into: the bytes are chars, not cells.
        const size_t first = m_cells.size();
        m_cells.resize(first + cells);
        std::memcpy(m_cells.data() + first, p + 20, 2 * cells);
        s.cells = {m_cells.data() + first, cells};
        m_records.push_back(s);
        ++m_recordCount;
        at += kRecordFrame + payloadLength;
    }
    if (at != all.size()) {
        m_badTail = true;
        Trace(kTraceInfo, "wave cache %s: a damaged record at byte %zu; the rest is rebuilt",
              m_path.c_str(), at);
    }
}

const ChunkSummary* WaveSummaryCache::Find(std::string_view name, int64_t datSize,
                                           int64_t mtimeNs) const {
    const ChunkSummary* found = nullptr;
    if (m_next < m_records.size() && m_records[m_next].name == name) found = &m_records[m_next];
    // A later record of the name replaces this one.
    if (found == nullptr || found->datSize != datSize || found->mtimeNs != mtimeNs) {
        if (m_index.empty()) {
            m_index.reserve(m_records.size());
            for (size_t i = 0; i < m_records.size(); ++i) m_index[m_records[i].name] = i;
        }
        const auto it = m_index.find(name);
        found = it == m_index.end() ? nullptr : &m_records[it->second];
    }
    if (found == nullptr) return nullptr;
    m_next = static_cast<size_t>(found - m_records.data()) + 1;
    return found->datSize == datSize && found->mtimeNs == mtimeNs ? found : nullptr;
}

bool WaveSummaryCache::WantsRewrite(size_t live) const {
    return m_badTail || m_recordCount > 2 * live + 64;
}

bool WaveSummaryCache::Append(std::span<const ChunkSummary> summaries) {
    if (summaries.empty()) return true;
    const int fd = ::open(m_path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    std::string bytes;
    for (const ChunkSummary& s : summaries) PutRecord(bytes, s);
    const bool ok = WriteAll(fd, bytes);
    ::close(fd);
    if (!ok) Trace(kTraceError, "wave cache %s: cannot append", m_path.c_str());
    return ok;
}

bool WaveSummaryCache::Rewrite(std::span<const ChunkSummary> summaries) {
    const std::string folder = ParentOf(m_path);
    if (!EnsureFolder(ProgramFolder()) || !EnsureFolder(folder)) {
        Trace(kTraceError, "wave cache: cannot create %s", folder.c_str());
        return false;
    }
    std::string bytes(kMagic);
    for (const ChunkSummary& s : summaries) PutRecord(bytes, s);
    static std::atomic<unsigned> counter{0};
    const std::string temp =
        m_path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    if (ok) {
        ok = WriteAll(fd, bytes);
        ok = ::close(fd) == 0 && ok;
        ok = ok && ::rename(temp.c_str(), m_path.c_str()) == 0;
        if (!ok) ::unlink(temp.c_str());
    }
    if (!ok) Trace(kTraceError, "wave cache %s: cannot write", m_path.c_str());
    // The summaries may point into the bytes read before: they stay.
    m_badTail = false;
    m_recordCount = summaries.size();
    return ok;
}

}  // namespace wk
