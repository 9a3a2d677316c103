#pragma once
// A scripted tuner for tests: results are set in advance, every call but
// IsOpen is recorded. Any thread may use it.

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Tuner.h"

namespace wk {

class TunerFake final : public Tuner {
public:
    struct Call {
        std::string name;
        std::vector<int> args;  // flags as 0 or 1
        bool operator==(const Call&) const = default;
        std::string Text() const;  // "RunTunedGraph(583,1)"
    };

    void SetOpenResult(bool ok);
    // The result of the n-th RunTunedGraph call, counted from 1; calls not
    // scripted succeed.
    void SetRunResult(int n, bool ok);
    std::vector<Call> Calls() const;
    std::vector<std::string> CallTexts() const;
    void ClearCalls();

    bool OpenDevice(int countryCode, bool antennaInput) override;
    bool IsOpen() const override;
    bool RunTunedGraph(int channel, bool radio) override;
    void SelectInput(bool antennaInput) override;
    void SelectModeAndChannel(int channel, bool radio) override;
    void StopGraph() override;

private:
    void Record(std::string name, std::vector<int> args);

    mutable std::mutex m_mutex;
    bool m_openResult = true;
    bool m_open = false;
    std::map<int, bool> m_runResults;
    int m_runCount = 0;
    std::vector<Call> m_calls;
};

}  // namespace wk
