#pragma once
// "wavkeep schedule list|add|delete": edits schedule.txt in the program home.

#include <iosfwd>
#include <string>

namespace wk {

class CliCommandTable;

struct ScheduleAddOptions {
    std::string kind;  // once, daily, weekly
    std::string from, to;
    std::string day;   // weekly: 0-6 or a day name
    std::string stream;
    std::string description;
};

int RunScheduleList(std::ostream& out);
int RunScheduleAdd(const ScheduleAddOptions& options, std::ostream& out, std::ostream& err);
int RunScheduleDelete(int number, std::ostream& out, std::ostream& err);

void AddScheduleCommands(CliCommandTable& table);

}  // namespace wk
