#pragma once
// Regular expressions (ECMAScript grammar) for checking texts in tests.
// They live in one compiled file: <regex> costs seconds of compile time in
// every file that instantiates it.

#include <string>
#include <vector>

namespace wk::test {

// Whether `pattern` matches the whole of `text`; `groups`, when given, gets
// the whole match followed by each group ("" for a group that took no part).
bool RegexMatch(const std::string& text, const std::string& pattern,
                std::vector<std::string>* groups = nullptr);

// Whether `pattern` matches somewhere in `text`; `groups` as above, of the
// first match.
bool RegexSearch(const std::string& text, const std::string& pattern,
                 std::vector<std::string>* groups = nullptr);

// `text` with every match of `pattern` replaced by `replacement` ($1... refer
// to groups).
std::string RegexReplace(const std::string& text, const std::string& pattern,
                         const std::string& replacement);

}  // namespace wk::test
