// wavkeep-service: a self-hosted implementation of the web service wavkeep
// talks to. Without a subcommand it serves; exit status 0 after a clean stop
// (SIGINT/SIGTERM), 1 when the service cannot run (data folder, port), 2 for
// bad usage. "seed" writes the playlist of the generator's broadcast into a
// data folder (Seed.h); exit status 0 when written, 1 when a file cannot be
// written, 2 for bad usage. "account" manages the accounts (AccountCommand.h).

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "core/Clock.h"
#include "core/ClockDifference.h"
#include "core/Version.h"
#include "clidoc/CliDoc.h"
#include "service/AccountCommand.h"
#include "service/Seed.h"
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

struct SeedArguments {
    std::string data;
    int64_t seed = 0;
    std::string start;
    int minutes = 0;
    std::string stream = "Default";
    int64_t offsetErrorMs = 0;
};

int RunSeed(const SeedArguments& a) {
    const auto usage = [](const std::string& why) {
        std::cerr << "wavkeep-service seed: " << why << "\n";
        return 2;
    };
    if (a.minutes < 1 || a.minutes > wk::kSeedMaxSeconds / 60)
        return usage("--minutes wants a number from 1 to " +
                     std::to_string(wk::kSeedMaxSeconds / 60));
    if (a.seed < 0 || a.seed > UINT32_MAX)
        return usage("--seed wants a number from 0 to " + std::to_string(UINT32_MAX));
    const auto start = wk::ParseSeedTime(a.start);
    if (!start)
        return usage("--start wants \"DD/MM/YYYY hh:mm:ss[.mmm]\", got \"" + a.start + "\"");
    wk::SeedOptions options;
    options.dataFolder = a.data;
    options.stream = a.stream;
    options.seed = static_cast<uint32_t>(a.seed);
    options.start = *start;
    options.seconds = int64_t{a.minutes} * 60;
    options.offsetErrorMs = a.offsetErrorMs;
    if (const std::string why = wk::CheckSeedOptions(options); !why.empty()) return usage(why);

    std::string error;
    wk::SeedResult result;
    if (!wk::SeedGeneratorBroadcast(options, &error, &result)) {
        std::cerr << "wavkeep-service seed: " << error << "\n";
        return 1;
    }
    std::cout << result.records.size()
              << (result.records.size() == 1 ? " description" : " descriptions")
              << " of generator seed " << options.seed << " written to " << result.path << "\n";
    if (result.records.empty())
        std::cout << "no track of the broadcast ends within " << a.minutes << " minutes\n";
    if (result.channelAdded) std::cout << "channel \"" << options.stream << "\" added\n";
    return 0;
}

// The manual's text beyond the commands and options ("--help-man").
wk::clidoc::ManPage ManPageText() {
    wk::clidoc::ManPage page;
    page.summary = "reference web service for wavkeep";
    page.version = std::string("wavkeep ") + wk::kWavkeepVersion;
    page.sections = {
        {"Data folder",
         "Every file is optional and read afresh by each request, so the folder can be edited while "
         "the service runs.\n"
         "channels.txt\tthe channel list: name TAB kind (\"One\" radio, \"Two\" music TV) TAB service number\n"
         "schedule.txt\trecording tasks, times in server time\n"
         "accounts.txt\tone account a line: login TAB password; taken in hashed, then deleted. "
         "Until an account was stored every login is accepted\n"
         "streams/STREAM/*.des\tseeded description files per stream, in server time\n"
         "service.db\tthe database the descriptions are served from; uploads are kept in it alone"},
        {"Signals", "SIGINT, SIGTERM\tstop serving and exit with status 0"},
        {"Exit status", "0\tstopped cleanly, or seed written\n1\tthe service cannot run (data folder, port), or a "
                        "file cannot be written\n2\tbad usage"},
        {"Examples",
         "Serve a data folder on the default loopback port:\n"
         "  wavkeep-service --data ~/wavkeep-service\n"
         "\n"
         "\"wavkeep demo\" starts it by itself; see wavkeep(1)."},
        {"See also", "wavkeep(1)"},
    };
    return page;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(
        "wavkeep-service: serves channel lists, schedules and descriptions, "
        "answers time checks and takes uploads (without a subcommand); "
        "\"wavkeep-service seed\" fills a data folder with the generator's playlist",
        "wavkeep-service");
    std::string listen = "127.0.0.1:8470";
    std::string data = ".";
    double offset = 0.0;
    app.add_option("--listen", listen, "HOST:PORT to listen on (port 0: any free port)")
        ->capture_default_str();
    app.add_option("--data", data, "folder holding the service's data")->capture_default_str();
    app.add_option("--clock-offset", offset,
                   "seconds the service's clock runs ahead of this machine's (at most a day "
                   "either way)")
        ->capture_default_str()
        ->check(wk::CheckClockDifferenceText);

    SeedArguments seedArgs;
    auto* seed = app.add_subcommand(
        "seed",
        "Write the playlist of the generator's broadcast (input \"generator:SEED\") "
        "into a data folder: streams/STREAM/generated.des, one trusted description "
        "with fingerprint per complete track, and the stream in channels.txt");
    seed->add_option("--data", seedArgs.data, "data folder to write into")->required();
    seed->add_option("--seed", seedArgs.seed, "the generator's seed")->required();
    seed->add_option("--start", seedArgs.start,
                     "server time of the generator's first frame, "
                     "\"DD/MM/YYYY hh:mm:ss[.mmm]\" (local start of the recording plus the "
                     "service's clock offset)")
        ->required();
    seed->add_option("--minutes", seedArgs.minutes,
                     "minutes of the broadcast to describe (1 to 1440; tracks ending later are "
                     "left out)")
        ->required();
    seed->add_option("--stream", seedArgs.stream, "stream (channel) name clients ask for")
        ->capture_default_str();
    seed->add_option("--offset-error-ms", seedArgs.offsetErrorMs,
                     "milliseconds the whole playlist runs late (negative: early), snippet "
                     "times included, for the client's fingerprint matching to take off")
        ->capture_default_str();

    std::string accountAction;
    std::string accountLogin;
    std::string accountData;
    auto* account = app.add_subcommand(
        "account",
        "Manage the accounts uploads need: \"add LOGIN\" (password read from standard "
        "input; a new password for an existing account), \"remove LOGIN\", \"list\". "
        "Passwords are kept as salted hashes; an old accounts.txt is taken in and deleted");
    account->add_option("action", accountAction, "add, remove or list")->required();
    account->add_option("login", accountLogin, "the account's login");
    account->add_option("--data", accountData, "the service's data folder")->required();

    if (wk::clidoc::HandleDocRequest(argc, argv, app, ManPageText(), "", std::cout)) return 0;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    if (seed->parsed()) return RunSeed(seedArgs);
    if (account->parsed())
        return wk::RunAccountCommand(accountAction, accountLogin, accountData, std::cin, std::cout,
                                     std::cerr);

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
