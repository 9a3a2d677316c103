// Base64: any text decodes; any bytes encode and decode back to themselves.
#include <algorithm>

#include "FuzzSupport.h"
#include "descriptions/Description.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)wk::Base64Decode(wk::fuzz::AsText(data, size));
    std::span<const uint8_t> bytes(data, size);
    std::vector<uint8_t> back = wk::Base64Decode(wk::Base64Encode(bytes));
    if (!std::equal(back.begin(), back.end(), bytes.begin(), bytes.end()))
        wk::fuzz::Fail("encoded bytes do not decode to themselves");
    return 0;
}
