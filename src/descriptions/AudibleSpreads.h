#pragma once
// The cost fingerprint matching with confidence (MatchSnippet) minimises.
//
// Threads: any; nothing here keeps state.

#include <cstdint>
#include <vector>

namespace wk {

// What MatchSnippet minimises: for every place j (max(1, count - n) of them)
// the spread of the n-byte snippet against side[j..j+n) with the level
// offset taken from the bytes audible in both (above 0); per byte, 0 for an
// exact copy at any level. Empty when n <= 0 or count < n. The reference
// runs the plain formula, kept to check the vector loops against.
std::vector<double> AudibleSpreads(const uint8_t* snippet, int n, const uint8_t* side, int count);
std::vector<double> AudibleSpreadsReference(const uint8_t* snippet, int n, const uint8_t* side,
                                            int count);

}  // namespace wk
