#include "support/Regex.h"

#include <regex>

namespace wk::test {
namespace {

void KeepGroups(const std::smatch& m, std::vector<std::string>* groups) {
    if (!groups) return;
    groups->clear();
    for (const auto& group : m) groups->push_back(group.str());
}

}  // namespace

bool RegexMatch(const std::string& text, const std::string& pattern,
                std::vector<std::string>* groups) {
    std::smatch m;
    if (!std::regex_match(text, m, std::regex(pattern))) return false;
    KeepGroups(m, groups);
    return true;
}

bool RegexSearch(const std::string& text, const std::string& pattern,
                 std::vector<std::string>* groups) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(pattern))) return false;
    KeepGroups(m, groups);
    return true;
}

std::string RegexReplace(const std::string& text, const std::string& pattern,
                         const std::string& replacement) {
    return std::regex_replace(text, std::regex(pattern), replacement);
}

}  // namespace wk::test
