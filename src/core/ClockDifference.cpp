#include "core/ClockDifference.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace wk {

bool IsPlausibleClockDifference(double seconds) {
    return std::isfinite(seconds) && std::fabs(seconds) <= kMaxClockDifferenceSeconds;
}

std::string CheckClockDifferenceText(const std::string& text) {
    const std::string range = "seconds from -86400 to 86400 (a day either way) wanted, got \"" +
                              text.substr(0, 40) + "\"";
    // strtod would also take "nan", "inf" and hexadecimal numbers.
    if (text.empty() || text.find_first_not_of("+-.0123456789eE") != std::string::npos)
        return range;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE || !IsPlausibleClockDifference(value))
        return range;
    return {};
}

}  // namespace wk
