#include "recording/SilenceAnalyser.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/Trace.h"
#include "descriptions/DescriptionStore.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

constexpr StreamTime kStepMs = 10;
constexpr int64_t kStepsPerSecond = 100;
// A forced split leaves this much between the end of one song and the next.
constexpr StreamTime kForcedGapMs = 100;
// Chunks are cut at encoder block boundaries, so the last byte of one chunk
// lies a few steps before or after the next chunk's nominal start and often
// in another second: anything this close counts as the same moment.
constexpr StreamTime kJoinToleranceMs = 1000;

bool Continues(StreamTime previousEnd, StreamTime nextStart) {
    const StreamTime gap = nextStart - previousEnd;
    return gap >= -kJoinToleranceMs && gap <= kJoinToleranceMs;
}

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    // DescriptionStore appends '/' to its folder: an empty one would mean the root.
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

SilenceParameters SilenceAnalyser::ActiveStreamParameters() {
    ConfigStore config;
    config.Load();
    const std::string active = config.GetString("ActiveStream");
    SilenceParameters parameters;
    if (active == kKeyNotFound) return parameters;
    StreamNameFile streams;
    streams.load();
    if (const StreamRecord* record = streams.Find(active)) {
        parameters.silenceMinimum = record->silenceMinimum;
        parameters.silenceSensitivity = record->silenceSensitivity;
        parameters.shortestTrack = record->shortestTrack;
        parameters.longestTrack = record->longestTrack;
    }
    return parameters;
}

void SilenceAnalyser::SetTarget(const std::string& folder, const std::string& name) {
    m_targetFolder = folder;
    m_targetName = name;
}

bool SilenceAnalyser::IsSilent(int8_t value) const {
    const int32_t t = m_parameters.silenceSensitivity;
    return -t < value && value < t;
}

bool SilenceAnalyser::AnalyseFile(const std::string& datPath, bool final, bool quiet) {
    const std::string fileName = FileNameOf(datPath);
    const auto fields = ParseChunkName(fileName);
    if (!fields) {
        Trace(kTraceError, "Silence detection: %s is no chunk name", fileName.c_str());
        return false;
    }
    std::ifstream in(datPath, std::ios::binary);
    if (!in) {
        if (!quiet) {
            Trace(kTraceError, "Silence detection: can't open %s", datPath.c_str());
            Report("Can't open file\n", 0);
        }
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    m_chunkFolder = FolderOf(datPath);
    const StreamTime start =
        fields->start.ToStreamTime() + static_cast<StreamTime>(fields->number - 1) * fields->lengthMs;
    const int64_t count = static_cast<int64_t>(bytes.size());
    const StreamTime end = start + (count > 0 ? count - 1 : 0) * kStepMs;

    if (!m_haveLastEnd || !Continues(m_lastEnd, start)) {
        m_inRun = false;
        m_steps = 0;
    }
    HandleEvent(EventKind::kStart, start, false);

    const int64_t minimum = m_parameters.silenceMinimum < 0 ? 0 : m_parameters.silenceMinimum;
    const int64_t runNeeded = minimum * kStepsPerSecond;  // 64-bit: the record may hold any int32
    const int64_t longest = m_parameters.longestTrack;
    for (int64_t i = 0; i < count; ++i) {
        const StreamTime t = start + i * kStepMs;
        if (IsSilent(static_cast<int8_t>(bytes[static_cast<size_t>(i)]))) {
            if (m_inRun && i - m_runLastIndex < 2) {
                ++m_runLength;
            } else {
                m_inRun = true;
                m_runFirst = t;
                m_runLength = 1;
            }
            m_runLastIndex = i;
            m_runLast = t;
        } else if (m_inRun) {
            if (m_runLength > runNeeded) {
                HandleEvent(EventKind::kSilenceBegins, m_runFirst, false);
                HandleEvent(EventKind::kSilenceEnds, m_runLast, false);
                // A real pause starts the longest-track count afresh: the
                // forced split is for songs that run on without one.
                m_steps = 0;
            }
            m_inRun = false;
        }
        ++m_steps;
        if (longest > 0 && m_steps / kStepsPerSecond > longest) {
            HandleEvent(EventKind::kSilenceBegins, t, false);
            HandleEvent(EventKind::kSilenceEnds, t + kForcedGapMs, false);
            m_steps = 0;
        }
    }
    if (final && m_inRun && m_runLength > runNeeded) {
        // The recording ends in a pause: the last song ends where it begins.
        HandleEvent(EventKind::kSilenceBegins, m_runFirst, false);
        m_inRun = false;
    }
    HandleEvent(EventKind::kEnd, end, final);
    m_runLastIndex -= count;  // the next chunk's byte 0 directly follows this chunk's last
    m_haveLastEnd = !final;
    m_lastEnd = end;
    return true;
}

void SilenceAnalyser::FinishWithoutFile() {
    if (!m_pending.empty() && m_pending.back().kind == EventKind::kEnd) {
        const StreamTime end = m_pending.back().time;
        m_pending.pop_back();
        HandleEvent(EventKind::kEnd, end, true);
    }
    m_pending.clear();
    m_haveLastEnd = false;
    m_inRun = false;
}

void SilenceAnalyser::HandleEvent(EventKind kind, StreamTime time, bool final) {
    if (m_pending.empty()) {
        // Nothing is going on that a final end could close.
        if (!(kind == EventKind::kEnd && final)) m_pending.push_back({kind, time});
        return;
    }
    const Pending last = m_pending.back();
    switch (kind) {
    case EventKind::kStart:
        if (last.kind == EventKind::kEnd) {
            // The song goes on across the chunk border; after a gap in the
            // recording the end stays and the next song starts from it.
            if (Continues(last.time, time)) m_pending.pop_back();
        } else if (last.kind == EventKind::kStart) {
            m_pending.push_back({kind, time});
        } else {
            WriteDescription(last.time, time);
            m_pending.push_back({kind, time});
        }
        break;
    case EventKind::kSilenceBegins: {
        const int64_t shortest = m_parameters.shortestTrack;
        if ((time - last.time) / kMsPerSecond >= shortest) {
            WriteDescription(last.time, time);
            m_pending.clear();
        }
        break;
    }
    case EventKind::kSilenceEnds:
        m_pending.clear();
        m_pending.push_back({kind, time});
        break;
    case EventKind::kEnd:
        if (!final) {
            m_pending.push_back({kind, time});
            break;
        }
        if (last.kind != EventKind::kSilenceBegins) WriteDescription(last.time, time);
        m_pending.clear();
        break;
    }
}

void SilenceAnalyser::WriteDescription(StreamTime start, StreamTime end) {
    if (end <= start) return;
    ++m_offered;
    DescriptionStore store(m_targetFolder.empty() ? m_chunkFolder : m_targetFolder,
                           m_targetName.empty() ? kDefaultStoreName : m_targetName);
    Description description;
    description.title = kGeneratedTitle;
    description.start = start;
    description.end = end;
    const std::string from = DateTime::FromStreamTime(start).LongText();
    const std::string to = DateTime::FromStreamTime(end).LongText();
    // Added to the file as it is now: a download or an import may be
    // changing it at the same moment.
    bool added = false;
    std::string why;
    const bool saved = store.Update(
        [&](DescriptionStore& fresh) {
            added = fresh.AddIfFree(description);
            return added;
        },
        &why);
    if (!saved)
        Trace(kTraceError, "Silence detection: %s", why.c_str());
    else if (!added)
        Trace(kTraceDebug, "Silence detection: %s - %s overlaps a description, not added",
              from.c_str(), to.c_str());
    else
        Trace(kTraceInfo, "Silence detection: song %s - %s", from.c_str(), to.c_str());
}

}  // namespace wk
