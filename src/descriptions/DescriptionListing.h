#pragma once
// What the description view lists for a stream folder: the records of its
// desc.des by start, each with its coverage against what the folder holds
// recorded, and the file's two free header texts.
//
// Reading scans the whole stream folder (its chunks decide the coverage):
// on a week-long stream that takes long enough to be done off the GUI
// thread. Threading: none inside; any thread.

#include <string>
#include <vector>

#include "descriptions/Description.h"

namespace wk {

struct DescriptionListing {
    std::vector<Description> records;  // ascending start, file order among equal starts
    std::string header2;
    std::string header3;
};

// `folder` with its trailing '/'; empty: an empty listing.
DescriptionListing ReadDescriptionListing(const std::string& folder);

}  // namespace wk
