// AppliedDesIDs.dat: whole four-byte entries, a cut-off tail ignored.
#include "FuzzSupport.h"
#include "server/AppliedDesIds.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wk::fuzz::WriteHomeFile(wk::kAppliedDesIdsFile, wk::fuzz::AsText(data, size));
    wk::AppliedDesIds ids(wk::fuzz::ScratchHome() + wk::kAppliedDesIdsFile);
    if (!ids.Load()) wk::fuzz::Fail("a readable file did not load");
    if (ids.Ids().size() > size / 4) wk::fuzz::Fail("more identifiers than whole entries");
    (void)wk::DescriptionId(wk::fuzz::AsText(data, size));
    return 0;
}
