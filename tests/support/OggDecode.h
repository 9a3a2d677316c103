#pragma once
// Reads Ogg Vorbis files for checks in tests: the pages as they lie in the
// file, and every logical stream ("link") of a chained file decoded by
// libvorbis itself, which honours the granule positions at both ends.

#include <cstdint>
#include <string>
#include <vector>

namespace wk::test {

struct OggPage {
    size_t offset, length;
    int64_t granule;
    int serial;
    bool bos, eos;
};
std::vector<OggPage> OggPages(const std::string& bytes);

struct OggLink {
    int serial = 0;
    int64_t frames = 0;
    int64_t firstAudioGranule = -1;
    bool ended = false;
    long rate = 0;
    int channels = 0;
    std::vector<std::string> comments;
};

struct DecodedOgg {
    bool valid = true;  // whole pages, every link complete, every packet decodable
    std::vector<OggLink> links;
    std::vector<float> channels[2];  // a mono link fills the first only
    int64_t Frames() const { return static_cast<int64_t>(channels[0].size()); }
};
DecodedOgg DecodeOgg(const std::string& path);

// The block sizes of the audio packets completed on page `index` of the
// stream `bytes` (a packet continued on the next page is not).
std::vector<long> BlockSizesOnPage(const std::string& bytes, size_t index);

}  // namespace wk::test
