#include "recording/SilenceDetector.h"

#include "core/Trace.h"
#include "recording/SilenceAnalyser.h"

namespace wk {

SilenceDetector::~SilenceDetector() {
    Stop();
}

void SilenceDetector::SetFileName(const std::string& chunkBase) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_current.empty()) m_completed.push_back(m_current);
        m_current = chunkBase + ".dat";
    }
    m_wake.Set();
}

void SilenceDetector::SetTarget(const std::string& folder, const std::string& name) {
    std::lock_guard lock(m_mutex);
    m_targetFolder = folder;
    m_targetName = name;
}

bool SilenceDetector::Start() {
    if (m_state == kStarted) return false;
    {
        std::lock_guard lock(m_mutex);
        m_lastFileRemoved = false;
    }
    m_filesAnalysed = 0;
    if (Create() != 0) {
        Trace(kTraceError, "Silence detection: no thread");
        return false;
    }
    WorkerThread::Start();
    m_state = kStarted;
    return true;
}

void SilenceDetector::Stop(bool lastFileRemoved) {
    if (m_state != kStarted) return;
    {
        std::lock_guard lock(m_mutex);
        m_lastFileRemoved = lastFileRemoved;
    }
    // The request comes before the wake so that the woken thread sees it.
    RequestStop();
    m_wake.Set();
    WaitForEnd(-1);
    m_state = kIdle;
}

int SilenceDetector::Run() {
    TraceThreadBegin("silence");
    SilenceAnalyser analyser;
    {
        std::lock_guard lock(m_mutex);
        analyser.SetTarget(m_targetFolder, m_targetName);
    }
    auto analyse = [&](const std::string& path, bool final, bool quiet) {
        // The stream's settings may change while it records.
        analyser.SetParameters(SilenceAnalyser::ActiveStreamParameters());
        const bool done = analyser.AnalyseFile(path, final, quiet);
        ++m_filesAnalysed;
        return done;
    };
    auto analyseCompleted = [&] {
        for (;;) {
            std::string path;
            {
                std::lock_guard lock(m_mutex);
                if (m_completed.empty()) return;
                path = std::move(m_completed.front());
                m_completed.pop_front();
            }
            analyse(path, false, false);
        }
    };

    while (!StopRequested()) {
        m_wake.Wait(kWakeTimeoutMs);
        analyseCompleted();
    }
    analyseCompleted();

    std::string last;
    bool removed = false;
    {
        std::lock_guard lock(m_mutex);
        last = std::move(m_current);
        removed = m_lastFileRemoved;
        m_current.clear();
    }
    if (last.empty() || removed || !analyse(last, true, false)) analyser.FinishWithoutFile();
    TraceThreadEnd("silence");
    return 0;
}

}  // namespace wk
