#pragma once
// Runs silence detection beside a recording: the chunk encoder names each
// new chunk as it begins, and the "silence" thread analyses every chunk once
// it is complete, then the last one when the recording stops (see
// SilenceAnalyser for what it finds and where it writes).
//
// SetChunkSize, SetFileName and SetTarget may be called from any thread;
// Start and Stop from the recording's threads, one at a time.

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "core/Event.h"
#include "core/WorkerThread.h"

namespace wk {

class SilenceDetector : public WorkerThread {
public:
    static constexpr int kIdle = 1;
    static constexpr int kStarted = 3;
    // How long the thread sleeps before it looks for a stop again.
    static constexpr int kWakeTimeoutMs = 200;

    SilenceDetector() = default;
    ~SilenceDetector() override;  // stops a running thread (the last chunk as kept)

    void SetChunkSize(int64_t bytes) { m_chunkSize = bytes; }
    int64_t ChunkSize() const { return m_chunkSize.load(); }
    // The chunk path without extension of the chunk that begins now; the
    // chunk named before it is complete.
    void SetFileName(const std::string& chunkBase);
    // Where the descriptions go (see SilenceAnalyser::SetTarget). Before Start.
    void SetTarget(const std::string& folder, const std::string& name);

    // Creates and starts the thread. False when it already runs or the
    // system refused a thread.
    bool Start();
    // Analyses what is left and ends the thread. With `lastFileRemoved` the
    // last chunk was deleted (an aborted recording): it is not looked for,
    // and the last song ends with the chunk before it.
    void Stop(bool lastFileRemoved = false);

    int DetectorState() const { return m_state.load(); }
    // Chunk files analysed (or given up) by the latest run.
    int FilesAnalysed() const { return m_filesAnalysed.load(); }

protected:
    int Run() override;

private:
    std::atomic<int64_t> m_chunkSize{0};
    std::atomic<int> m_state{kIdle};
    std::atomic<int> m_filesAnalysed{0};
    Event m_wake;

    std::mutex m_mutex;  // guards everything below
    // Completed chunks waiting for the thread. A queue, not a single
    // "previous" slot: the encoder may cut several chunks before the thread
    // wakes (a slow disk, a short chunk length, faster-than-real-time input),
    // and a slot would lose all but the last of them.
    std::deque<std::string> m_completed;
    std::string m_current;  // the chunk being written, ".dat" path
    std::string m_targetFolder;
    std::string m_targetName;
    bool m_lastFileRemoved = false;
};

}  // namespace wk
