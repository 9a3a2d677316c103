#pragma once
// The transport under every exchange with the web service: a form POST (or a
// plain GET) to a URL, answered by a status and a text body read as lines.
//
// Threads: PostForm and Get block the calling thread until the answer is in,
// the request failed or Cancel ended it. One HttpClient may serve several
// threads at once; every call works on handles of its own. Cancel and Reset
// may be called from any thread.
//
// Redirects are never followed: a 3xx answer comes back as it is, status and
// body included. Following one would turn a POST into a GET and drop the
// form, so the caller decides.

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace wk {

// Ordered form fields. Encode() gives the application/x-www-form-urlencoded
// body: names and values are percent-encoded, so "&", "=", "+" or "%" in a
// value arrive at the server as they were; field order is kept.
struct HttpForm {
    std::vector<std::pair<std::string, std::string>> fields;

    HttpForm& Add(std::string name, std::string value) {
        fields.emplace_back(std::move(name), std::move(value));
        return *this;
    }

    static std::string EncodeComponent(const std::string& text) {
        static const char kHex[] = "0123456789ABCDEF";
        std::string out;
        out.reserve(text.size());
        for (const char ch : text) {
            const auto byte = static_cast<unsigned char>(ch);
            const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                               (byte >= '0' && byte <= '9') || byte == '*' || byte == '-' ||
                               byte == '.' || byte == '_';
            if (plain) {
                out += ch;
            } else if (byte == ' ') {
                out += '+';
            } else {
                out += '%';
                out += kHex[byte >> 4];
                out += kHex[byte & 0x0F];
            }
        }
        return out;
    }

    std::string Encode() const {
        std::string body;
        for (const auto& [name, value] : fields) {
            if (!body.empty())
                body += '&';
            body += EncodeComponent(name);
            body += '=';
            body += EncodeComponent(value);
        }
        return body;
    }
};

struct HttpResult {
    enum class Outcome {
        kOk,             // an answer arrived; any status, 3xx/4xx/5xx included
        kConnectFailed,  // no connection after all retries, or it broke mid-way
        kTimedOut,       // no answer within the request's time-out or before the deadline
        kTooLarge,       // the answer exceeded the cap; callers treat it like kConnectFailed
        kCancelled,      // Cancel was called
        kBadUrl,         // not an http:// or https:// URL libcurl can parse
    };
    Outcome outcome = Outcome::kConnectFailed;
    int status = 0;                  // HTTP status, 0 when no answer arrived
    std::vector<std::string> lines;  // body split at CR LF, LF or CR
    std::string body;                // the raw answer bytes
    std::string error;               // libcurl's explanation when not kOk
    int attempts = 0;                // connection attempts made, for the trace
};

// The longest one command waits for the service in all, its retries and
// pauses included (a black-holed service would otherwise hold it for
// connect time-out times retries).
inline constexpr int kNetworkTimeLimitMs = 60000;

struct HttpSettings {
    int connectTimeoutMs = 20000;  // one connection attempt
    // Further attempts after a failed connection (refused, unresolved host,
    // connect time-out). A request that reached the server is never repeated,
    // as a POST may have had its effect.
    int connectRetries = 10;
    int retryPauseMs = 500;
    // One request in all: every attempt, the pauses between them and the
    // answer. A request without its answer by then ends with kTimedOut.
    int totalTimeoutMs = kNetworkTimeLimitMs;
    // No request runs past this moment: one still running then ends with
    // kTimedOut, one started later fails at once. A command sets it to bound
    // all of its requests together (WithDeadlineIn).
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    std::size_t maxAnswerBytes = std::size_t{16} * 1024 * 1024;
    std::string userAgent = "wavkeepSession";
};

// `settings` with the deadline `ms` from now.
inline HttpSettings WithDeadlineIn(HttpSettings settings, int ms = kNetworkTimeLimitMs) {
    settings.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    return settings;
}

class HttpClient {
public:
    virtual ~HttpClient() = default;

    virtual HttpResult PostForm(const std::string& url, const HttpForm& form) = 0;
    virtual HttpResult Get(const std::string& url) = 0;

    // Running requests and those started later end with kCancelled, promptly,
    // until Reset. Meant for shutdown.
    virtual void Cancel() = 0;
    virtual void Reset() = 0;

    // A request takes a copy when it starts; changes reach later requests.
    virtual HttpSettings Settings() const = 0;
    virtual void SetSettings(const HttpSettings& settings) = 0;
};

}  // namespace wk
