#pragma once
// The fixture of the service-client tests: a temporary home, UTC, a manual
// clock at `now`, a loopback stand-in for the service, and an HTTP client
// that fails fast.

#include <cstdlib>
#include <ctime>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "platform/HttpClientCurl.h"
#include "support/LoopbackServer.h"
#include "support/TempHome.h"

namespace wk::test {

class ServiceClientTest : public TempHomeTest {
protected:
    explicit ServiceClientTest(const DateTime& now) : m_clock(now) {}

    void SetUp() override {
        TempHomeTest::SetUp();
        ::setenv("TZ", "UTC", 1);
        ::tzset();
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
    static void SetConfig(const std::vector<std::pair<std::string, std::string>>& values) {
        ConfigStore config;
        config.Load();
        for (const auto& [key, value] : values) config.SetString(key, value);
        ASSERT_TRUE(config.Save());
    }
    static bool EventSeen(const std::string& text) {
        for (const std::string& line : EventLog::Instance().ReadLines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

    ManualClock m_clock;
    HttpClientCurl m_http;
    LoopbackServer m_service;
};

}  // namespace wk::test
