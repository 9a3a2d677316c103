// A description file's bytes: headers, records, fingerprints. Every record
// written back and read again must write the same line.
#include "FuzzSupport.h"
#include "descriptions/DescriptionStore.h"

// Times before the stream clock's origin (garbage fields read as year 0)
// are not checked. Times past the end of year 9999 once came back as a
// different time (finding_second_field_time); the reader now holds them at
// the last moment a line can carry.
static bool Writable(wk::StreamTime t) {
    return t >= 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wk::DescriptionStore store;
    store.LoadText(wk::fuzz::AsText(data, size));
    for (const auto& record : store.Records()) {
        (void)record->FingerprintBytes();
        std::string line = record->ToLine();
        if (!Writable(record->start) || !Writable(record->end)) continue;
        wk::Description again;
        again.FromLine(line);
        if (const std::string back = again.ToLine(); back != line) {
            std::fprintf(stderr, "written: %s\nread back: %s\n", line.c_str(), back.c_str());
            wk::fuzz::Fail("a record does not read back as written");
        }
    }
    return 0;
}
