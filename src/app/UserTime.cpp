#include "app/UserTime.h"

#include <cstdio>

namespace wk {
namespace {

bool FullyRead(int consumed, const std::string& text) {
    return consumed == static_cast<int>(text.size());
}

}  // namespace

std::optional<DateTime> ParseUserDateTime(const std::string& text) {
    DateTime t;
    int n = 0;
    char sep = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &t.year, &t.month, &t.day, &sep,
                    &t.hour, &t.minute, &t.second, &n) == 7 &&
        (sep == ' ' || sep == 'T') && FullyRead(n, text) && t.IsValid() && t.hour < 24)
        return t;
    t = DateTime();
    n = 0;
    if (std::sscanf(text.c_str(), "%2d/%2d/%4d %2d:%2d:%2d%n", &t.day, &t.month, &t.year, &t.hour,
                    &t.minute, &t.second, &n) == 6) {
        int ms = 0, more = 0;
        if (!FullyRead(n, text) &&
            std::sscanf(text.c_str() + n, ".%3d%n", &ms, &more) == 1 && FullyRead(n + more, text)) {
            t.millisecond = ms;
            n += more;
        }
        if (FullyRead(n, text) && t.IsValid() && t.hour < 24) return t;
    }
    return std::nullopt;
}

std::optional<DateTime> ParseUserTimeOfDay(const std::string& text) {
    DateTime t;
    int n = 0;
    if (std::sscanf(text.c_str(), "%2d:%2d:%2d%n", &t.hour, &t.minute, &t.second, &n) == 3 &&
        FullyRead(n, text) && t.IsValid() && t.hour < 24)
        return t;
    t = DateTime();
    n = 0;
    if (std::sscanf(text.c_str(), "%2d:%2d%n", &t.hour, &t.minute, &n) == 2 && FullyRead(n, text) &&
        t.IsValid() && t.hour < 24)
        return t;
    return std::nullopt;
}

}  // namespace wk
