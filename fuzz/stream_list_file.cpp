// StreamFileNames.txt as read from the program home.
#include "FuzzSupport.h"
#include "streamstore/StreamNameFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wk::fuzz::WriteHomeFile("list.txt", wk::fuzz::AsText(data, size));
    wk::StreamNameFile list;
    std::vector<std::string> skipped;
    // The import reads the file without making the folders load would make.
    list.ImportFrom(wk::fuzz::ScratchHome() + "list.txt", &skipped);
    return 0;
}
