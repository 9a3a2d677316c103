#pragma once
// The fixture of the service-client tests: a temporary home, UTC, a manual
// clock at `now`, an HTTP client that fails fast and never goes through a
// proxy for loopback.

#include <cstdlib>
#include <ctime>

#include "core/Clock.h"
#include "core/EventLog.h"
#include "platform/HttpClientCurl.h"
#include "support/TempHome.h"

namespace wk::test {

class ServiceClientTest : public TempHomeTest {
protected:
    explicit ServiceClientTest(const DateTime& now) : m_clock(now) {}

    void SetUp() override {
        TempHomeTest::SetUp();
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        ::setenv("no_proxy", "127.0.0.1", 1);
        SetClock(&m_clock);
        EventLog::Instance().Close();  // reopened in this test's home
        HttpSettings settings = m_http.Settings();
        settings.connectRetries = 0;
        settings.totalTimeoutMs = 5000;
        m_http.SetSettings(settings);
    }
    void TearDown() override {
        EventLog::Instance().Close();
        SetClock(nullptr);
        ::unsetenv("TZ");
        ::tzset();
        TempHomeTest::TearDown();
    }

    ManualClock m_clock;
    HttpClientCurl m_http;
};

}  // namespace wk::test
