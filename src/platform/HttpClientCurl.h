#pragma once
// HttpClient over libcurl. http_proxy / https_proxy / no_proxy are honoured
// as libcurl reads them; the URL's scheme and port are used as given.
// The object must outlive every call running on it: Cancel, then wait for
// the calling threads, then destroy.

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/HttpClient.h"

namespace wk {

class HttpClientCurl final : public HttpClient {
public:
    explicit HttpClientCurl(HttpSettings settings = {});
    ~HttpClientCurl() override = default;

    HttpClientCurl(const HttpClientCurl&) = delete;
    HttpClientCurl& operator=(const HttpClientCurl&) = delete;

    HttpResult PostForm(const std::string& url, const HttpForm& form) override;
    HttpResult Get(const std::string& url) override;
    void Cancel() override;
    void Reset() override;
    HttpSettings Settings() const override;
    void SetSettings(const HttpSettings& settings) override;

    // "a\r\nb\nc\rd\n" -> {a, b, c, d}; a final line end adds no empty line.
    static std::vector<std::string> SplitLines(std::string_view body);

private:
    struct Attempt;

    HttpResult Perform(const std::string& url, const std::string* postBody);
    Attempt RunOnce(const std::string& url, const std::string* postBody,
                    const HttpSettings& settings, long leftMs);
    bool IsCancelled() const;
    // False when the request must not start because Cancel came first.
    bool Register(void* multi);
    void Unregister(void* multi);

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    HttpSettings m_settings;
    bool m_cancelled = false;
    std::vector<void*> m_running;  // multi handles of requests in flight
};

}  // namespace wk
