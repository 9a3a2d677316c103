#pragma once
// Which downloaded description files were applied already, by identifier.
//
// Identifier: a CRC-32 (reflected, polynomial 0xEDB88320) run over the file
// in blocks of kDesIdBlockBytes, the state inverted after every block and
// carried into the next one. Up to one block this is the ordinary CRC-32;
// longer files give other values than the ordinary one, and the identifiers
// already stored on users' disks depend on exactly this chaining.
//
// "AppliedDesIDs.dat" in the program home: the identifiers as unsigned 32-bit
// little-endian values, ascending, no header. A trailing piece shorter than
// four bytes (a cut-off file) is ignored on reading.
//
// Not thread-safe: one playlist run at a time owns an instance.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace wk {

inline constexpr size_t kDesIdBlockBytes = 5000;
inline constexpr const char* kAppliedDesIdsFile = "AppliedDesIDs.dat";

// Feeds bytes in any portions; the block boundaries are counted across calls.
class DesIdHasher {
public:
    void Update(std::string_view bytes);
    uint32_t Finish() const;

private:
    uint32_t m_state = 0xFFFFFFFFu;
    size_t m_inBlock = 0;  // bytes of the current, unfinished block
};

uint32_t DescriptionId(std::string_view bytes);
// False when the file cannot be read.
bool DescriptionFileId(const std::string& path, uint32_t& id);

class AppliedDesIds {
public:
    // Empty: the program home's file.
    explicit AppliedDesIds(std::string path = {});

    // Replaces the set with the file's whole entries. A missing file is an
    // empty set (true); a read error keeps what was read and returns false.
    bool Load();
    // Writes the whole set through a temporary file renamed over the old
    // one, so a crash leaves the old list or the new one.
    bool Save() const;
    // Inserts and saves; on a failed save the set stays as it was.
    bool Record(uint32_t id);

    bool Contains(uint32_t id) const { return m_ids.count(id) != 0; }
    const std::set<uint32_t>& Ids() const { return m_ids; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::set<uint32_t> m_ids;
};

}  // namespace wk
