#include "support/Regex.h"

#include <regex>

namespace wk::test {
namespace {

bool Find(const std::string& text, const std::string& pattern, bool whole,
          std::vector<std::string>* groups) {
    std::smatch m;
    const std::regex re(pattern);
    if (!(whole ? std::regex_match(text, m, re) : std::regex_search(text, m, re))) return false;
    if (groups) {
        groups->clear();
        for (const auto& group : m) groups->push_back(group.str());
    }
    return true;
}

}  // namespace

bool RegexMatch(const std::string& text, const std::string& pattern,
                std::vector<std::string>* groups) {
    return Find(text, pattern, true, groups);
}

bool RegexSearch(const std::string& text, const std::string& pattern,
                 std::vector<std::string>* groups) {
    return Find(text, pattern, false, groups);
}

std::string RegexReplace(const std::string& text, const std::string& pattern,
                         const std::string& replacement) {
    return std::regex_replace(text, std::regex(pattern), replacement);
}

}  // namespace wk::test
