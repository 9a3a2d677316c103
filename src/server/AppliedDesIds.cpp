#include "server/AppliedDesIds.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>

#include "core/FileUtil.h"
#include "core/ProgramHome.h"
#include "core/Trace.h"

namespace wk {
namespace {

const std::array<uint32_t, 256>& CrcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

}  // namespace

void DesIdHasher::Update(std::string_view bytes) {
    const auto& table = CrcTable();
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        m_state = (m_state >> 8) ^ table[(m_state ^ b) & 0xFFu];
        if (++m_inBlock == kDesIdBlockBytes) {
            m_state = ~m_state;
            m_inBlock = 0;
        }
    }
}

uint32_t DesIdHasher::Finish() const {
    // A file ending exactly on a block boundary was inverted already; an empty
    // file has no block at all and keeps the start value.
    return m_inBlock == 0 ? m_state : ~m_state;
}

uint32_t DescriptionId(std::string_view bytes) {
    DesIdHasher hasher;
    hasher.Update(bytes);
    return hasher.Finish();
}

bool DescriptionFileId(const std::string& path, uint32_t& id) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    DesIdHasher hasher;
    char buffer[kDesIdBlockBytes];
    while (in) {
        in.read(buffer, sizeof buffer);
        hasher.Update(std::string_view(buffer, static_cast<size_t>(in.gcount())));
    }
    if (in.bad()) return false;
    id = hasher.Finish();
    return true;
}

AppliedDesIds::AppliedDesIds(std::string path)
    : m_path(path.empty() ? ProgramFile(kAppliedDesIdsFile) : std::move(path)) {}

bool AppliedDesIds::Load() {
    m_ids.clear();
    std::ifstream in(m_path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return true;
        Trace(kTraceError, "Error loading the AppliedDesIDs.dat file. Cause: %d", errno);
        return false;
    }
    unsigned char entry[4];
    while (in.read(reinterpret_cast<char*>(entry), sizeof entry)) {
        m_ids.insert(uint32_t{entry[0]} | uint32_t{entry[1]} << 8 | uint32_t{entry[2]} << 16 |
                     uint32_t{entry[3]} << 24);
    }
    if (in.bad()) {
        Trace(kTraceError, "Error loading the AppliedDesIDs.dat file. Cause: %d", errno);
        return false;
    }
    return true;
}

bool AppliedDesIds::Save() const {
    std::string bytes;
    bytes.reserve(m_ids.size() * 4);
    for (const uint32_t id : m_ids) {
        for (int shift = 0; shift < 32; shift += 8)
            bytes += static_cast<char>((id >> shift) & 0xFFu);
    }
    if (!ReplaceFileContents(m_path, bytes)) {
        Trace(kTraceError, "Error saving the AppliedDesIDs.dat file. Cause: %d", errno);
        return false;
    }
    return true;
}

bool AppliedDesIds::Record(uint32_t id) {
    if (!m_ids.insert(id).second) return true;
    if (Save()) return true;
    m_ids.erase(id);
    return false;
}

}  // namespace wk
