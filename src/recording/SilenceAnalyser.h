#pragma once
// Finds the pauses between songs in the wave-form side files (".dat", one
// signed byte per 10 ms) of a recording's chunks, in order, and writes a
// description titled "generated" for every song it finds.
//
// A byte c is silent when -sensitivity < c < sensitivity. A silent run
// longer than silenceMinimum x 100 steps separates two songs; a song that
// runs longestTrack seconds without such a run is split by force (0 or less:
// never); songs shorter than shortestTrack seconds are not written but join
// the song after them.
//
// Generated descriptions go into the description file "desc.des" of the
// chunk's folder (SetTarget overrides both), added with AddIfFree so that
// they never overwrite nor overlap a downloaded description.
//
// One instance per recording, used by one thread.

#include <cstdint>
#include <string>
#include <vector>

#include "core/DateTime.h"

namespace wk {

struct SilenceParameters {
    int32_t silenceMinimum = 3;       // seconds
    int32_t silenceSensitivity = 15;  // .dat units either side of zero
    int32_t shortestTrack = 120;      // seconds
    int32_t longestTrack = 360;       // seconds; 0: no forced split

    bool operator==(const SilenceParameters&) const = default;
};

class SilenceAnalyser {
public:
    enum class EventKind { kStart, kSilenceBegins, kSilenceEnds, kEnd };

    static constexpr const char* kGeneratedTitle = "generated";
    static constexpr const char* kDefaultStoreName = "desc";

    // The active stream's values (config "ActiveStream" in the stream list);
    // the defaults when the stream has no record.
    static SilenceParameters ActiveStreamParameters();

    void SetParameters(const SilenceParameters& parameters) { m_parameters = parameters; }
    const SilenceParameters& Parameters() const { return m_parameters; }

    // An empty folder means the chunk's folder, an empty name "desc".
    void SetTarget(const std::string& folder, const std::string& name);

    // Analyses the completed file "<chunk base>.dat"; `final` for the last
    // chunk of the recording. False, with the file given up, when its name
    // is no chunk name or it cannot be read (reported unless `quiet`).
    bool AnalyseFile(const std::string& datPath, bool final, bool quiet = false);
    // The recording ended with no readable last chunk (an aborted one is
    // deleted): the song that was going on ends with the last chunk read.
    void FinishWithoutFile();

    // Descriptions this analyser has offered to the store (added or not).
    int DescriptionsOffered() const { return m_offered; }

private:
    struct Pending {
        EventKind kind;
        StreamTime time;
    };

    void HandleEvent(EventKind kind, StreamTime time, bool final);
    void WriteDescription(StreamTime start, StreamTime end);
    bool IsSilent(int8_t value) const;

    SilenceParameters m_parameters;
    std::string m_targetFolder;
    std::string m_targetName;
    std::string m_chunkFolder;  // of the file being analysed
    std::vector<Pending> m_pending;
    int m_offered = 0;

    // Carried from chunk to chunk while the recording runs on without a gap,
    // so that a pause across a chunk border is seen whole.
    bool m_haveLastEnd = false;
    StreamTime m_lastEnd = 0;  // the previous chunk's last byte
    bool m_inRun = false;
    int64_t m_runLastIndex = 0;  // relative to the current chunk's first byte
    int64_t m_runLength = 0;     // steps
    StreamTime m_runFirst = 0;
    StreamTime m_runLast = 0;
    int64_t m_steps = 0;  // since the last split
};

}  // namespace wk
