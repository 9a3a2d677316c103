#pragma once
// Times typed on the command line: "DD/MM/YYYY  hh:mm:ss[.mmm]" (the long
// form of the program's files; one or two blanks), "YYYY-MM-DD hh:mm:ss" or
// "YYYY-MM-DDThh:mm:ss", and for times of day "hh:mm:ss" or "hh:mm".

#include <optional>
#include <string>

#include "core/DateTime.h"

namespace wk {

std::optional<DateTime> ParseUserDateTime(const std::string& text);
// Only the time fields are set (date 2000-01-01).
std::optional<DateTime> ParseUserTimeOfDay(const std::string& text);

}  // namespace wk
