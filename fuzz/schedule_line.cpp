// schedule.txt, line by line as the scheduler reads it. A task read back
// from its own line must write that line again.
#include "FuzzSupport.h"
#include "scheduler/ScheduleTask.h"
#include "scheduler/Scheduler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text = wk::fuzz::AsText(data, size);
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        auto task = wk::Scheduler::TaskFromLine(line);
        if (!task) continue;
        std::string written = task->WriteLine();
        auto again = wk::Scheduler::TaskFromLine(written);
        if (!again) wk::fuzz::Fail("a task's own line does not read");
        if (again->WriteLine() != written) wk::fuzz::Fail("a task does not read back as written");
    }
    return 0;
}
