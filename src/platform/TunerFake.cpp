#include "platform/TunerFake.h"

#include "core/Trace.h"

namespace wk {

std::string TunerFake::Call::Text() const {
    std::string text = name + "(";
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0) text += ',';
        text += std::to_string(args[i]);
    }
    return text + ")";
}

void TunerFake::SetOpenResult(bool ok) {
    std::lock_guard lock(m_mutex);
    m_openResult = ok;
}

void TunerFake::SetRunResult(int n, bool ok) {
    std::lock_guard lock(m_mutex);
    m_runResults[n] = ok;
}

std::vector<TunerFake::Call> TunerFake::Calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}

std::vector<std::string> TunerFake::CallTexts() const {
    std::vector<std::string> texts;
    for (const Call& c : Calls()) texts.push_back(c.Text());
    return texts;
}

void TunerFake::ClearCalls() {
    std::lock_guard lock(m_mutex);
    m_calls.clear();
}

void TunerFake::Record(std::string name, std::vector<int> args) {
    m_calls.push_back({std::move(name), std::move(args)});
}

bool TunerFake::OpenDevice(int countryCode, bool antennaInput) {
    std::lock_guard lock(m_mutex);
    Record("OpenDevice", {countryCode, antennaInput ? 1 : 0});
    m_open = m_openResult;
    return m_openResult;
}

bool TunerFake::IsOpen() const {
    std::lock_guard lock(m_mutex);
    return m_open;
}

bool TunerFake::RunTunedGraph(int channel, bool radio) {
    std::lock_guard lock(m_mutex);
    Record("RunTunedGraph", {channel, radio ? 1 : 0});
    const auto scripted = m_runResults.find(++m_runCount);
    return scripted == m_runResults.end() || scripted->second;
}

void TunerFake::SelectInput(bool antennaInput) {
    std::lock_guard lock(m_mutex);
    Record("SelectInput", {antennaInput ? 1 : 0});
}

void TunerFake::SelectModeAndChannel(int channel, bool radio) {
    Trace(kTraceDetail, "Tuner channel = %d", channel);
    std::lock_guard lock(m_mutex);
    Record("SelectModeAndChannel", {channel, radio ? 1 : 0});
}

void TunerFake::StopGraph() {
    std::lock_guard lock(m_mutex);
    Record("StopGraph", {});
}

}  // namespace wk
