// The stream list as the service's channel list delivers it.
#include "FuzzSupport.h"
#include "streamstore/StreamNameFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)wk::fuzz::ScratchHome();
    wk::StreamNameFile list;
    std::vector<std::string> skipped;
    list.loadFromBuffer(std::string(wk::fuzz::AsText(data, size)), &skipped);
    return 0;
}
