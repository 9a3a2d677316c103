#include "service/ServiceHandlers.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "core/ClockDifference.h"
#include "descriptions/DescriptionStore.h"
#include "scheduler/Scheduler.h"
#include "scheduler/ScheduleTask.h"

namespace wk {

namespace {

constexpr const char* kEol = "\n";
constexpr size_t kLongTextLength = 24;  // "DD/MM/YYYY  hh:mm:ss.mmm"

ServiceAnswer Line(std::string text, int status = 200) {
    ServiceAnswer answer;
    answer.status = status;
    answer.body = std::move(text);
    answer.body += kEol;
    return answer;
}

ServiceAnswer Error(const std::string& why, int status = 200) {
    ServiceAnswer answer = Line(std::string("ERROR: ").append(why), status);
    answer.logNote = why;
    return answer;
}

bool StrictlyOverlaps(const Description& a, const Description& b) {
    return a.start < b.end && b.start < a.end;
}

// A long-form time text that really is one; the parser alone would read
// anything as digits.
bool ParseServerTime(const std::string& text, StreamTime& out) {
    if (text.size() < kLongTextLength) return false;
    for (size_t i = 0; i < kLongTextLength; ++i) {
        const char c = text[i];
        const bool digitWanted = !(i == 2 || i == 5 || i == 10 || i == 11 || i == 14 ||
                                   i == 17 || i == 20);
        if (digitWanted != (c >= '0' && c <= '9')) return false;
    }
    const DateTime t = DateTime::ParseLongText(text);
    if (!t.IsValid()) return false;
    out = t.ToStreamTime();
    return true;
}

}  // namespace

ServiceHandlers::ServiceHandlers(ServiceData& data, const Clock& clock, double clockOffsetSeconds)
    : m_data(data),
      m_clock(clock),
      // An offset beyond a day is refused where it is given; here it must
      // at least not turn into an undefined conversion.
      m_offsetMs(IsPlausibleClockDifference(clockOffsetSeconds)
                     ? static_cast<int64_t>(std::llround(clockOffsetSeconds * 1000.0))
                     : 0),
      m_throttle(clock) {}

int64_t ServiceHandlers::EpochMilliseconds(const DateTime& local) {
    return local.ToEpochMilliseconds();
}

StreamTime ServiceHandlers::ServerNow() const { return m_clock.NowStream() + m_offsetMs; }

ServiceAnswer ServiceHandlers::Handle(const FormFields& fields, const std::string& client) const {
    const std::string& kind = fields.Get("a");
    if (kind == "timeCheck") return TimeCheck();
    if (kind == "gsl" || kind == "gsl2") return ChannelList();
    if (kind == "download") return ScheduleDownload();
    if (kind == "dofp") return PlaylistRequest(fields);
    if (kind == "uploadfp") return Upload(fields, client);
    return Error(kind.empty() ? "no request kind" : "unknown request kind", 400);
}

ServiceAnswer ServiceHandlers::TimeCheck() const {
    const int64_t ms = EpochMilliseconds(m_clock.Now()) + m_offsetMs;
    const int64_t whole = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    char text[48];
    std::snprintf(text, sizeof text, "OK%s%lld.%03lld", kEol, static_cast<long long>(whole),
                  static_cast<long long>(ms - whole * 1000));
    return Line(text);
}

ServiceAnswer ServiceHandlers::ChannelList() const {
    ServiceAnswer answer;
    for (const auto& line : m_data.ChannelLines()) answer.body.append(line).append(kEol);
    answer.logNote = "channels served";
    return answer;
}

ServiceAnswer ServiceHandlers::ScheduleDownload() const {
    const DateTime now = DateTime::FromStreamTime(ServerNow());
    ServiceAnswer answer;
    int served = 0;
    for (const auto& line : m_data.ScheduleLines()) {
        const auto task = Scheduler::TaskFromLine(line);
        if (!task) continue;
        if (task->Kind() == 'O' && task->End() < now) continue;
        answer.body.append(task->WriteLine()).append(kEol);
        ++served;
    }
    answer.logNote = std::to_string(served) + " task(s) served";
    return answer;
}

ServiceAnswer ServiceHandlers::PlaylistRequest(const FormFields& fields) const {
    const std::string& stream = fields.Get("srcname");
    if (!ServiceData::IsSafeStreamName(stream)) return Error("invalid stream name");
    StreamTime start = 0;
    StreamTime end = 0;
    if (!ParseServerTime(fields.Get("timestampstart"), start) ||
        !ParseServerTime(fields.Get("timestampend"), end))
        return Error("invalid time stamp");

    const auto files = m_data.Overlapping(stream, start, end);
    if (!files) return Error("descriptions cannot be read");

    DescriptionStore cut;
    std::vector<const Description*> taken;
    bool allTrusted = true;
    for (const auto& file : *files) {
        std::vector<const Description*> fromFile;
        for (const auto& record : file.records) {
            bool free = true;
            for (const Description* other : taken)
                if (StrictlyOverlaps(record, *other)) free = false;
            if (free) fromFile.push_back(&record);
        }
        if (fromFile.empty()) continue;
        allTrusted = allTrusted && file.trusted;
        for (const Description* record : fromFile) {
            cut.Add(*record);
            taken.push_back(record);
        }
    }
    if (cut.Size() == 0) {
        ServiceAnswer answer = Line(kNoPlaylist);
        answer.logNote = "no records for " + stream;
        return answer;
    }

    ServiceAnswer answer;
    answer.body = std::string("# 0.9") + kEol + "# " + stream + kEol + "# " +
                  (allTrusted ? kTrustedMarker : "") + kEol;
    for (const auto& record : cut.Records()) answer.body.append(record->ToLine()).append(kEol);
    answer.logNote = std::to_string(cut.Size()) + " record(s) of " + stream;
    return answer;
}

ServiceAnswer ServiceHandlers::Upload(const FormFields& fields, const std::string& client) const {
    if (!client.empty()) {
        if (const int64_t wait = m_throttle.WaitMs(client); wait > 0)
            return Error("too many failed logins, try again in " + std::to_string((wait + 999) / 1000) +
                         " s");
    }
    if (!m_data.CheckLogin(fields.Get("login"), fields.Get("passwd"))) {
        if (!client.empty()) m_throttle.Failed(client);
        return Error("wrong login or password");
    }
    if (!client.empty()) m_throttle.Succeeded(client);
    const std::string& stream = fields.Get("srcname");
    if (!ServiceData::IsSafeStreamName(stream)) return Error("invalid stream name");
    const std::string& content = fields.Get("fileContent");
    if (content.empty()) return Error("empty description file");
    if (content.size() > kMaxUploadBytes) return Error("description file too big");
    if (content.front() != '#') return Error("not a description file");
    const auto name =
        m_data.StoreUpload(stream, content, DateTime::FromStreamTime(ServerNow()));
    if (!name) return Error("could not store the file");
    ServiceAnswer answer = Line("OK");
    answer.logNote = "stored " + *name + " of " + stream;
    return answer;
}

}  // namespace wk
