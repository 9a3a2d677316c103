// wavkeep-service: a self-hosted implementation of the web service wavkeep
// talks to. Exit status: 0 after a clean stop (SIGINT/SIGTERM), 1 when the
// service cannot run (data folder, port), 2 for bad usage.

#include <CLI/CLI.hpp>

#include <csignal>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "core/Clock.h"
#include "service/Service.h"

namespace {

bool ParseListen(const std::string& text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    host = text.substr(0, colon);
    const std::string digits = text.substr(colon + 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(digits);
    return port <= 65535;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("wavkeep-service: serves channel lists, schedules and descriptions, "
                 "answers time checks and takes uploads",
                 "wavkeep-service");
    std::string listen = "127.0.0.1:8470";
    std::string data = ".";
    double offset = 0.0;
    app.add_option("--listen", listen, "HOST:PORT to listen on (port 0: any free port)")
        ->capture_default_str();
    app.add_option("--data", data, "folder holding the service's data")->capture_default_str();
    app.add_option("--clock-offset", offset,
                   "seconds the service's clock runs ahead of this machine's")
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    wk::ServiceOptions options;
    if (!ParseListen(listen, options.host, options.port)) {
        std::cerr << "wavkeep-service: --listen wants HOST:PORT, got \"" << listen << "\"\n";
        return 2;
    }
    std::error_code ec;
    std::filesystem::create_directories(data, ec);
    if (!std::filesystem::is_directory(data, ec)) {
        std::cerr << "wavkeep-service: cannot use data folder \"" << data << "\"\n";
        return 1;
    }
    options.dataFolder = data;
    options.clockOffsetSeconds = offset;

    // Block the stop signals in every thread, then wait for them here: no
    // work happens inside a signal handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    wk::Service service(options, wk::GetClock(), std::cerr);
    if (service.Start() < 0) return 1;
    std::cout << "listening on " << options.host << ":" << service.Port() << std::endl;
    int signal = 0;
    sigwait(&stopSignals, &signal);
    service.Stop();
    return 0;
}
