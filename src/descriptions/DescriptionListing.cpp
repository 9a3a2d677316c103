#include "descriptions/DescriptionListing.h"

#include <algorithm>

#include "descriptions/DescriptionStore.h"
#include "streamstore/StreamInfo.h"

namespace wk {

DescriptionListing ReadDescriptionListing(const std::string& folder) {
    DescriptionListing listing;
    if (folder.empty()) return listing;
    StreamInfo info;
    info.folder = folder;
    UpdateStreamInfo(info);
    DescriptionStore store(folder, "desc");
    store.Load();
    std::vector<RecordedRange> ranges;
    std::vector<int> codes;
    GetRecordedRanges(info, ranges, codes);
    store.MarkCoverage(ranges);
    listing.records.reserve(store.Records().size());
    for (const auto& record : store.Records()) listing.records.push_back(*record);
    std::stable_sort(listing.records.begin(), listing.records.end(),
                     [](const Description& a, const Description& b) { return a.start < b.start; });
    listing.header2 = store.header[1];
    listing.header3 = store.header[2];
    return listing;
}

}  // namespace wk
