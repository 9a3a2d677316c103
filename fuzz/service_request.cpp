// A whole HTTP request (request line, header, body) through the service's
// request path: the library's parsing and routing, the form decoder and the
// handlers, on a data folder with a channel list, a schedule and a seeded
// stream; its database made afresh for every input, so an input's answer
// does not depend on the ones before. No accounts: every login is taken, so
// uploads reach the store.
#include <filesystem>
#include <sstream>

#include "FuzzSupport.h"
#include "core/Clock.h"
#include "service/Service.h"

namespace {

const std::string& DataFolder() {
    static const std::string& folder = *new std::string([] {
        wk::fuzz::WriteHomeFile("channels.txt", "Radio One\tOne\t1\nMusic TV\tTwo\t7\tx\n# note\n");
        wk::fuzz::WriteHomeFile("schedule.txt",
                                "O 07/11/2003  17:00:00 -> 07/11/2003  17:42:22 Radio One\tnews\r\n"
                                "O 07/11/2003  20:00:02 -> 07/11/2003  21:00:02 Radio One\tcharts\r\n"
                                "D 06:00:00 -> 07:00:00 Radio One\tmorning\r\nX nonsense\r\n");
        std::filesystem::create_directories(wk::fuzz::ScratchHome() + "streams/Radio One");
        wk::fuzz::WriteHomeFile(
            "streams/Radio One/seed.des",
            "# 0.9\r\n# Radio One\r\n# \r\n"
            "07/11/2003  10:00:00.000\t07/11/2003  10:03:00.000\tArtist\tFirst\t\t\t\t\t\t0\r\n"
            "07/11/2003  10:03:00.000\t07/11/2003  10:07:30.000\tArtist\tSecond\t\t\t\t\t\t0\r\n");
        return wk::fuzz::ScratchHome();
    }());
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& folder = DataFolder();
    std::error_code ignored;
    for (const char* name : {"service.db", "service.db-wal", "service.db-shm"})
        std::filesystem::remove(folder + name, ignored);
    static wk::ManualClock clock;
    std::ostringstream log;
    wk::ServiceOptions options;
    options.dataFolder = folder;
    options.maxBodyBytes = 64 * 1024;
    wk::Service service(options, clock, log);
    const std::string answer = service.AnswerBytes(std::string(wk::fuzz::AsText(data, size)));
    // Input that ends before a request line gets no answer; anything
    // answered, malformed requests too, gets a status line and a log line.
    if (answer.empty()) return 0;
    if (answer.rfind("HTTP/1.1 ", 0) != 0) wk::fuzz::Fail("an answer without a status line");
    if (log.str().find(" -> ") == std::string::npos) wk::fuzz::Fail("an answer without a log line");
    return 0;
}
