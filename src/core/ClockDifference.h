#pragma once
// The one range check for a difference between two clocks (the service's and
// ours, or one a user types): a time check, an import, a shift or the
// service's own offset beyond it is taken for a broken answer or a typing
// slip, never applied.

#include <string>

namespace wk {

// A day: further off, the other clock is broken, not merely wrong.
inline constexpr double kMaxClockDifferenceSeconds = 86400.0;

// Finite and at most a day either way.
bool IsPlausibleClockDifference(double seconds);

// For command-line options that take such a difference in seconds: "" when
// `text` is a plain decimal number (sign, digits, point, exponent) within
// the range, else the reason, naming the range.
std::string CheckClockDifferenceText(const std::string& text);

}  // namespace wk
