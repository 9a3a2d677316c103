// A description file's bytes: headers, records, fingerprints. Every record
// written back and read again must write the same line.
#include "FuzzSupport.h"
#include "descriptions/DescriptionStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wk::DescriptionStore store;
    store.LoadText(wk::fuzz::AsText(data, size));
    for (const auto& record : store.Records()) {
        (void)record->FingerprintBytes();
        std::string line = record->ToLine();
        wk::Description again;
        again.FromLine(line);
        if (again.ToLine() != line) wk::fuzz::Fail("a record does not read back as written");
    }
    return 0;
}
