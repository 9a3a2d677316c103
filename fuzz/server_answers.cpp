// The service's answers a download reads line by line: the first byte picks
// the reader (time check or schedule), the rest are the answer's lines.
#include <optional>
#include <vector>

#include "FuzzSupport.h"
#include "scheduler/Scheduler.h"
#include "server/ScheduleDownload.h"
#include "server/TimeCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    (void)wk::fuzz::ScratchHome();
    std::vector<std::string> lines;
    std::string_view text = wk::fuzz::AsText(data + 1, size - 1);
    while (!text.empty()) {
        size_t end = text.find('\n');
        lines.emplace_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    if (data[0] & 1) {
        // Local clock: 2003-11-07, server minus local within a day when read.
        for (const auto& line : lines) {
            (void)wk::ParseServerClock(line);
            if (auto sample = wk::ClockSample(line, 1068199999.0);
                sample && !(*sample <= 86400 && *sample >= -86400))
                wk::fuzz::Fail("a clock sample more than a day off");
        }
    } else {
        wk::Scheduler scheduler;
        const double difference = static_cast<int8_t>(data[0]) * 37.5;
        wk::ParseScheduleReqResult(scheduler, lines, difference);
    }
    return 0;
}
