#include "server/PostRequest.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/Trace.h"
#include "platform/HttpClient.h"

namespace wk {
namespace {

std::mutex g_runningMutex;
std::condition_variable g_runningDone;
int g_running = 0;

struct PostRecord {
    RequestOwner owner;
    std::string id;
    std::string url;
    HttpForm form;
};

// The worker: `result` given means the caller waits and reads it.
void RunPost(const PostRecord& record, RequestResult* result) {
    TraceThreadBegin("post request");
    const HttpResult answer = record.owner.http->PostForm(record.url, record.form);
    if (answer.outcome != HttpResult::Outcome::kOk) {
        Trace(kTraceError, "Request %s to %s failed: %s", record.id.c_str(), record.url.c_str(),
              answer.error.c_str());
        if (result) {
            result->error = answer.error.empty() ? "no answer" : answer.error;
        } else if (record.owner.loop) {
            record.owner.loop->Post(record.owner.receiver, kPostFailedMessage, answer.status,
                                    kPostFailedConnection);
        }
    } else if (answer.status != 200) {
        Trace(kTraceError, "Request %s to %s answered with status %d", record.id.c_str(),
              record.url.c_str(), answer.status);
        if (result) {
            result->kind = RequestResult::kFailed;
            result->status = answer.status;
        } else if (record.owner.loop) {
            record.owner.loop->Post(record.owner.receiver, kPostFailedMessage, answer.status,
                                    kPostFailedStatus);
        }
    } else if (result) {
        result->lines = answer.lines;
        result->kind = RequestResult::kAnswered;
        result->status = answer.status;
    } else {
        auto posted = std::make_unique<RequestResult>();
        posted->id = record.id;
        posted->lines = answer.lines;
        posted->kind = RequestResult::kAnswered;
        posted->status = answer.status;
        // A receiver that has gone away drops (frees) the result.
        if (record.owner.loop)
            record.owner.loop->Post(
                record.owner.receiver, kPostResultMessage, answer.status, 0,
                std::make_unique<ValuePayload<RequestResult>>(std::move(*posted)));
    }
    TraceThreadEnd("post request");
}

}  // namespace

std::unique_ptr<RequestResult> PostRequestAndWait(const RequestOwner& owner, const std::string& id,
                                                  const std::string& url, const HttpForm& form) {
    auto result = std::make_unique<RequestResult>();
    result->id = id;
    if (!owner.http) {
        result->error = "no HTTP client";
        return result;
    }
    RunPost(PostRecord{owner, id, url, form}, result.get());
    return result;
}

void StartPostRequest(const RequestOwner& owner, const std::string& id, const std::string& url,
                      const HttpForm& form) {
    if (!owner.http) return;
    {
        std::lock_guard lock(g_runningMutex);
        ++g_running;
    }
    std::thread([record = PostRecord{owner, id, url, form}] {
        RunPost(record, nullptr);
        std::lock_guard lock(g_runningMutex);
        if (--g_running == 0) g_runningDone.notify_all();
    }).detach();
}

bool WaitForPostRequests(int timeoutMs) {
    std::unique_lock lock(g_runningMutex);
    return g_runningDone.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [] { return g_running == 0; });
}

}  // namespace wk
