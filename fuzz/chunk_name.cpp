// Chunk file names and "SingleFileLength" texts, as anyone may write them.
#include <climits>

#include "FuzzSupport.h"
#include "streamstore/ChunkName.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text = wk::fuzz::AsText(data, size);
    if (auto fields = wk::ParseChunkName(text)) {
        if (fields->number < 1 || fields->durationMs < 1000 || fields->lengthMs < 1000)
            wk::fuzz::Fail("a chunk name read with a field out of range");
    }
    if (auto seconds = wk::ParseChunkSeconds(text)) {
        if (*seconds < 1) wk::fuzz::Fail("a chunk length below one second");
    } else {
        (void)wk::ChunkLengthRefusal(text);
    }
    size_t half = size / 2;
    (void)wk::BelongsToSession(text.substr(0, half), text.substr(half));
    return 0;
}
