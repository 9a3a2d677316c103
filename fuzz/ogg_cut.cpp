// The Ogg cutter at page and packet level: the first eight bytes give the
// cut point, the rest is the stream.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "export/OggCut.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size <= 8) return 0;
    int64_t cutPoint = 0;
    std::memcpy(&cutPoint, data, sizeof cutPoint);
    std::vector<uint8_t> stream(data + 8, data + size);
    std::FILE* in = fmemopen(stream.data(), stream.size(), "rb");
    std::FILE* first = std::tmpfile();
    std::FILE* second = std::tmpfile();
    if (in == nullptr || first == nullptr || second == nullptr)
        wk::fuzz::Fail("cannot open the streams");
    (void)wk::CutOggStream(in, first, second, cutPoint);
    std::fclose(in);
    std::fclose(first);
    std::fclose(second);
    return 0;
}
