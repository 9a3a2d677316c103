#pragma once
// One form post to one URL whose answer lines are collected into a
// RequestResult: either on the caller's thread (PostRequestAndWait: the
// caller reads the result) or on a thread of its own (StartPostRequest: the
// outcome is posted to the owner's receiver as kPostResultMessage with the
// result as payload, or kPostFailedMessage).
//
// The automatic time check, the playlist and the schedule downloads use it.

#include <memory>
#include <string>
#include <vector>

#include "core/EventLoop.h"

namespace wk {

class HttpClient;
struct HttpForm;

inline constexpr int kPostResultMessage = 1474;  // p1 HTTP status, payload RequestResult
inline constexpr int kPostFailedMessage = 1475;  // p1 HTTP status (0 if none), p2 reason
// p2 of kPostFailedMessage when an answer came with a status other than 200.
inline constexpr intptr_t kPostFailedStatus = 12152;
// p2 of kPostFailedMessage when no answer came (connection, time-out, size, URL).
inline constexpr intptr_t kPostFailedConnection = 12029;

struct RequestResult {
    enum Kind { kNotDone = 0, kAnswered = kPostResultMessage, kFailed = kPostFailedMessage };
    std::string id;
    std::vector<std::string> lines;
    int kind = kNotDone;
    int status = 0;
    std::string error;  // why no answer came, for the trace
};

// The application-wide HTTP client and where posted outcomes go.
struct RequestOwner {
    HttpClient* http = nullptr;
    EventLoop* loop = nullptr;
    ReceiverId receiver = kNoReceiver;
};

// Waits for the answer. A status other than 200 gives kind kFailed with the
// status and no lines; no answer at all leaves kind kNotDone.
std::unique_ptr<RequestResult> PostRequestAndWait(const RequestOwner& owner, const std::string& id,
                                                  const std::string& url, const HttpForm& form);

// Runs the request on a thread of its own (detached; the owner's client must
// outlive it: HttpClient::Cancel ends it at shutdown). A receiver that is
// gone by then means the result is dropped.
void StartPostRequest(const RequestOwner& owner, const std::string& id, const std::string& url,
                      const HttpForm& form);

// Waits until no StartPostRequest thread runs any more, at most timeoutMs;
// false on time-out. Shutdown cancels the client, then waits here before
// destroying it.
bool WaitForPostRequests(int timeoutMs);

}  // namespace wk
