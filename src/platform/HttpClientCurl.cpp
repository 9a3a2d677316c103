#include "platform/HttpClientCurl.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "core/Trace.h"

namespace wk {

namespace {

using Outcome = HttpResult::Outcome;

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct Sink {
    std::string body;
    std::size_t cap = 0;
    bool tooLarge = false;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const size_t bytes = size * count;
    if (bytes > sink->cap - sink->body.size()) {
        sink->tooLarge = true;
        return 0;  // makes libcurl end the transfer with CURLE_WRITE_ERROR
    }
    sink->body.append(data, bytes);
    return bytes;
}

long ClampedMs(int ms) { return static_cast<long>(std::max(ms, 0)); }

}  // namespace

struct HttpClientCurl::Attempt {
    HttpResult result;
    bool started = false;    // a connection was tried
    bool retryable = false;  // never reached the server
};

HttpClientCurl::HttpClientCurl(HttpSettings settings) : m_settings(std::move(settings)) {
    InitCurlOnce();
}

HttpResult HttpClientCurl::PostForm(const std::string& url, const HttpForm& form) {
    const std::string body = form.Encode();
    return Perform(url, &body);
}

HttpResult HttpClientCurl::Get(const std::string& url) { return Perform(url, nullptr); }

void HttpClientCurl::Cancel() {
    std::lock_guard lock(m_mutex);
    m_cancelled = true;
    // curl_multi_wakeup is the one multi call meant for other threads; a
    // handle stays in m_running until its owner has stopped polling it.
    for (void* multi : m_running)
        curl_multi_wakeup(static_cast<CURLM*>(multi));
    m_wake.notify_all();
}

void HttpClientCurl::Reset() {
    std::lock_guard lock(m_mutex);
    m_cancelled = false;
}

HttpSettings HttpClientCurl::Settings() const {
    std::lock_guard lock(m_mutex);
    return m_settings;
}

void HttpClientCurl::SetSettings(const HttpSettings& settings) {
    std::lock_guard lock(m_mutex);
    m_settings = settings;
}

std::vector<std::string> HttpClientCurl::SplitLines(std::string_view body) {
    std::vector<std::string> lines;
    size_t start = 0;
    size_t pos = 0;
    while (pos < body.size()) {
        const char ch = body[pos];
        if (ch != '\r' && ch != '\n') {
            ++pos;
            continue;
        }
        lines.emplace_back(body.substr(start, pos - start));
        pos += (ch == '\r' && pos + 1 < body.size() && body[pos + 1] == '\n') ? 2 : 1;
        start = pos;
    }
    if (start < body.size())
        lines.emplace_back(body.substr(start));
    return lines;
}

bool HttpClientCurl::IsCancelled() const {
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

bool HttpClientCurl::Register(void* multi) {
    std::lock_guard lock(m_mutex);
    if (m_cancelled)
        return false;
    m_running.push_back(multi);
    return true;
}

void HttpClientCurl::Unregister(void* multi) {
    std::lock_guard lock(m_mutex);
    m_running.erase(std::remove(m_running.begin(), m_running.end(), multi), m_running.end());
}

HttpResult HttpClientCurl::Perform(const std::string& url, const std::string* postBody) {
    const HttpSettings settings = Settings();
    const int retries = std::max(settings.connectRetries, 0);
    const auto now = std::chrono::steady_clock::now();
    const auto end =
        std::min(settings.deadline, now + std::chrono::milliseconds(ClampedMs(settings.totalTimeoutMs)));
    const auto leftMs = [end] {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     end - std::chrono::steady_clock::now())
                                     .count());
    };
    HttpResult result;
    int attempts = 0;
    for (int attempt = 0;; ++attempt) {
        if (leftMs() <= 0) {
            result.outcome = Outcome::kTimedOut;
            result.error = "no answer within the time allowed for the service";
            break;
        }
        Attempt run = RunOnce(url, postBody, settings, leftMs());
        if (run.started)
            ++attempts;
        result = std::move(run.result);
        result.attempts = attempts;
        if (!run.retryable || attempt >= retries)
            break;
        Trace(kTraceDebug, "HTTP %s: %s, retry %d of %d", url.c_str(), result.error.c_str(),
              attempt + 1, retries);
        const long pause = std::min<long>(std::max(settings.retryPauseMs, 0), std::max(leftMs(), 0L));
        std::unique_lock lock(m_mutex);
        if (m_wake.wait_for(lock, std::chrono::milliseconds(pause),
                            [this] { return m_cancelled; })) {
            result.outcome = Outcome::kCancelled;
            result.error = "cancelled";
            break;
        }
    }
    if (result.outcome != Outcome::kOk)
        Trace(kTraceDebug, "HTTP %s failed after %d attempt(s): %s", url.c_str(),
              result.attempts, result.error.c_str());
    return result;
}

HttpClientCurl::Attempt HttpClientCurl::RunOnce(const std::string& url,
                                                const std::string* postBody,
                                                const HttpSettings& settings, long leftMs) {
    Attempt run;
    HttpResult& result = run.result;
    result.outcome = Outcome::kConnectFailed;

    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!easy || !multi) {
        result.error = "libcurl could not create a handle";
        return run;
    }

    Sink sink;
    sink.cap = settings.maxAnswerBytes;
    char errorText[CURL_ERROR_SIZE] = {};
    // "Expect:" keeps libcurl from waiting for a 100-continue that older
    // servers never send.
    std::unique_ptr<curl_slist, SlistDeleter> headers(
        curl_slist_append(nullptr, "Accept: text/*"));
    if (headers)
        curl_slist_append(headers.get(), "Expect:");

    CURL* h = easy.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, settings.userAgent.c_str());
    // Both at least 1 ms: libcurl takes 0 for "no limit".
    const long left = std::max(leftMs, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                     std::clamp(ClampedMs(settings.connectTimeoutMs), 1L, left));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, left);
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink.cap));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WriteBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    if (postBody) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(postBody->size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, postBody->c_str());
    } else {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }

    if (!Register(multi.get())) {
        result.outcome = Outcome::kCancelled;
        result.error = "cancelled";
        return run;
    }
    run.started = true;
    curl_multi_add_handle(multi.get(), h);

    CURLcode code = CURLE_OK;
    bool finished = false;
    bool cancelled = false;
    while (!finished) {
        int stillRunning = 0;
        const CURLMcode mcode = curl_multi_perform(multi.get(), &stillRunning);
        if (mcode != CURLM_OK) {
            code = CURLE_RECV_ERROR;
            std::snprintf(errorText, sizeof errorText, "%s", curl_multi_strerror(mcode));
            break;
        }
        while (CURLMsg* msg = curl_multi_info_read(multi.get(), &stillRunning)) {
            if (msg->msg == CURLMSG_DONE) {
                code = msg->data.result;
                finished = true;
            }
        }
        if (finished)
            break;
        if (IsCancelled()) {
            cancelled = true;
            break;
        }
        curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
    }
    Unregister(multi.get());
    curl_multi_remove_handle(multi.get(), h);

    if (cancelled) {
        result.outcome = Outcome::kCancelled;
        result.error = "cancelled";
        return run;
    }

    result.error = errorText[0] ? errorText : curl_easy_strerror(code);
    if (sink.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        result.outcome = Outcome::kTooLarge;
        result.error = std::string("answer larger than ") + std::to_string(sink.cap) + " bytes";
        return run;
    }

    switch (code) {
        case CURLE_OK: {
            long status = 0;
            curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
            result.outcome = Outcome::kOk;
            result.status = static_cast<int>(status);
            result.error.clear();
            result.lines = SplitLines(sink.body);
            result.body = std::move(sink.body);
            break;
        }
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            result.outcome = Outcome::kBadUrl;
            break;
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            run.retryable = true;
            break;
        case CURLE_OPERATION_TIMEDOUT: {
            curl_off_t connectUs = 0;
            curl_easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connectUs);
            if (connectUs == 0) {
                run.retryable = true;  // the connect phase ran out of time
            } else {
                result.outcome = Outcome::kTimedOut;
            }
            break;
        }
        default:
            // Broken off after connecting: the server may have acted on the
            // request already, so it is not sent again.
            break;
    }
    return run;
}

}  // namespace wk
