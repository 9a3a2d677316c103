#pragma once
// What a stream folder holds, in the words the views show: the stream's
// folder, how much is recorded and when, how many descriptions it has.

#include <string>

namespace wk::ui {

struct StreamSummary {
    std::string folder;  // with a trailing '/'
    int chunks = 0;
    int sessions = 0;
    std::string first;  // "DD/MM/YYYY hh:mm:ss" of the first recorded moment, "" when none
    std::string last;   // of the last
    int descriptions = 0;
};

// "" names no stream: an empty summary.
StreamSummary SummariseStream(const std::string& stream);

}  // namespace wk::ui
