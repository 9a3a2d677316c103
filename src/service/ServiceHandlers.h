#pragma once
// Request in, answer out: what the service does for each kind of request,
// without any sockets.
//
// The kind is the form field "a" (from the URL's query or the body):
//   timeCheck  -> "OK", then the server clock in seconds since 1970 UTC with
//                 three decimals. login, passwd and localTime are not looked at.
//   gsl, gsl2  -> the channel list, one "name TAB kind TAB number" line each.
//   download   -> the schedule: once, daily and weekly task lines in
//                 schedule.txt layout, server time. Once tasks that ended
//                 before the server clock are left out.
//   dofp       -> the description file for timestampstart..timestampend
//                 ("DD/MM/YYYY  hh:mm:ss.mmm", server time) of srcname: three
//                 "# " header lines and every record overlapping the stretch,
//                 fingerprints as stored. Files are taken trusted ones first,
//                 then by name; a record of a later file that overlaps one
//                 already taken is left out. Header 3 carries the trusted
//                 marker when every file that gave a record is trusted.
//                 Without any record: the one line kNoPlaylist.
//   uploadfp   -> checks login/passwd (an address whose logins failed is
//                 refused for a while, LoginThrottle), stores fileContent (decoded) as a new
//                 description file of srcname; "OK" or one "ERROR: ..." line.
//                 The content must start with '#' and hold at most
//                 kMaxUploadBytes bytes; MAX_FILE_SIZE, srctype and userfile
//                 are not looked at.
// Anything else answers status 400 with an "ERROR: ..." line. Every answer
// line ends with "\n".
//
// The server clock is the injected clock's local time plus the offset, read
// as local time and turned into seconds since 1970 by the C library.
//
// Thread safety: const operations may run on many threads at once.

#include <cstdint>
#include <string>

#include "core/Clock.h"
#include "service/Accounts.h"
#include "service/FormFields.h"
#include "service/ServiceData.h"

namespace wk {

struct ServiceAnswer {
    int status = 200;
    std::string body;
    std::string logNote;  // for the service's log line; not sent
};

class ServiceHandlers {
public:
    static constexpr size_t kMaxUploadBytes = 20000;
    static constexpr const char* kNoPlaylist = "No playlist available for this period.";

    ServiceHandlers(ServiceData& data, const Clock& clock, double clockOffsetSeconds);

    // `client`: the peer's address, for slowing failed logins; "" (direct
    // calls) is never slowed.
    ServiceAnswer Handle(const FormFields& fields, const std::string& client = {}) const;

    ServiceAnswer TimeCheck() const;
    ServiceAnswer ChannelList() const;
    ServiceAnswer ScheduleDownload() const;
    ServiceAnswer PlaylistRequest(const FormFields& fields) const;
    ServiceAnswer Upload(const FormFields& fields, const std::string& client = {}) const;

    // Local clock plus offset, as stream time.
    StreamTime ServerNow() const;
    // A local date-time as milliseconds since 1970-01-01 UTC.
    static int64_t EpochMilliseconds(const DateTime& local);

private:
    ServiceData& m_data;
    const Clock& m_clock;
    int64_t m_offsetMs;
    mutable LoginThrottle m_throttle;
};

}  // namespace wk
