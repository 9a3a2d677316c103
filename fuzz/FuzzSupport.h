#pragma once
// Shared by the fuzz targets: the entry point's declaration, a check that
// stops the run when an invariant breaks, and a scratch program home for the
// readers that only read files of the home.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace wk::fuzz {

inline std::string_view AsText(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

// A program home of this process's own under the temporary folder, made and
// set once; the readers under test find their files there.
const std::string& ScratchHome();
// Replaces `name` in the scratch home with the bytes.
void WriteHomeFile(const std::string& name, std::string_view bytes);

}  // namespace wk::fuzz
