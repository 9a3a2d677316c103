#include "server/TimeCheck.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "core/Clock.h"
#include "core/ClockDifference.h"
#include "core/FileUtil.h"
#include "core/PrintableText.h"
#include "core/ProgramHome.h"
#include "core/Trace.h"
#include "platform/HttpClient.h"
#include "server/Credentials.h"
#include "server/PostRequest.h"

namespace wk {

double EpochSeconds(const DateTime& local) {
    return static_cast<double>(local.ToEpochMilliseconds()) / 1000.0;
}

std::string LocalClockText(const DateTime& local) {
    DateTime whole = local;
    whole.millisecond = 0;
    char text[48];
    std::snprintf(text, sizeof text, "%.0f.%03d", EpochSeconds(whole), local.millisecond);
    return text;
}

double ParseServerClock(const std::string& text) {
    size_t at = text.find_first_not_of(" \t");
    if (at == std::string::npos) return 0;
    size_t end = at;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end == at) return 0;
    if (end < text.size() && text[end] == '.') {
        ++end;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    }
    return std::strtod(text.substr(at, end - at).c_str(), nullptr);
}

std::optional<double> ClockSample(const std::string& line, double local) {
    const double sample = ParseServerClock(line) - local;
    if (!IsPlausibleClockDifference(sample)) return std::nullopt;
    return sample;
}

TimeCheckResult RunAutoTimeCheck(HttpClient& http, const std::string& url) {
    TimeCheckResult result;
    Trace(kTraceInfo, "Starting TimeCheck");
    Credentials credentials;
    if (!ReadCredentials(credentials)) {
        Trace(kTraceError, "failed to retrieve username/password for timecheck");
        result.error = "no account (Options.txt); \"wavkeep account set\" stores one";
        return result;
    }
    HttpForm form;
    form.Add("a", "timeCheck")
        .Add("login", credentials.login)
        .Add("passwd", credentials.password)
        .Add("localTime", LocalClockText(GetClock().Now()));
    double sum = 0;
    const RequestOwner owner{&http, nullptr, kNoReceiver};
    for (int round = 0; round < 3; ++round) {
        const std::unique_ptr<RequestResult> answer = PostRequestAndWait(owner, "T", url, form);
        if (answer->kind != RequestResult::kAnswered) {
            Trace(kTraceError, "Communication error upon timecheck detected");
            result.error = answer->error.empty() ? "HTTP status " + std::to_string(answer->status)
                                                 : answer->error;
            break;
        }
        if (answer->lines.size() < 2) {
            Trace(kTraceError, "Timecheck request returned less than 2 lines");
            result.error = "the answer has less than 2 lines";
            break;
        }
        if (answer->lines[0].rfind("OK", 0) != 0) {
            Trace(kTraceError, "Timecheck request result invalid: no 'OK' found!");
            result.error = "the service answered: " + ScreenLine(answer->lines[0]);
            break;
        }
        const double local = ParseServerClock(LocalClockText(GetClock().Now()));
        const std::optional<double> sample = ClockSample(answer->lines[1], local);
        if (!sample) {
            const std::string shown = ScreenLine(answer->lines[1]);
            Trace(kTraceError, "Timecheck request result invalid: no clock in \"%s\"",
                  shown.c_str());
            result.error = "the service's clock \"" + shown + "\" is not a time within a day of ours";
            break;
        }
        sum += *sample;
        ++result.samples;
    }
    if (result.samples == 0) {
        Trace(kTraceDebug, "TimeCheck failed");
        return result;
    }
    result.ok = true;
    result.difference = sum / result.samples;
    Trace(kTraceDebug, "TimeCheck OK, Difference: %lf", result.difference);
    return result;
}

std::optional<double> LastTimeDifference() {
    std::ifstream in(ProgramFile("timecheck.txt"));
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(line.c_str(), &end);
    if (end == line.c_str() || !IsPlausibleClockDifference(value)) return std::nullopt;
    return value;
}

bool StoreTimeDifference(double difference) {
    if (!IsPlausibleClockDifference(difference)) {
        Trace(kTraceError, "Time difference %g not stored: more than a day", difference);
        return false;
    }
    char text[96];
    std::snprintf(text, sizeof text, "%.3f\n%s\n", difference,
                  GetClock().Now().LongText().c_str());
    return ReplaceFileContents(ProgramFile("timecheck.txt"), text);
}

}  // namespace wk
