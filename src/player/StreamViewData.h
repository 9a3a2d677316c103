#pragma once
// The stream view's document side: what one stream folder holds for its
// time line. Sessions and recorded ranges (StreamInfo.h), the chunk being
// recorded (which the stream info leaves out), the descriptions of
// "desc.des" with their coverage, and the wave form with its summaries.
//
// Three ways to bring it up to date, from dearest to cheapest:
//  - Refresh reads everything (a week of chunks takes a second or more),
//    so the view runs it on a fresh instance on a thread of its own and
//    takes the result in with Adopt;
//  - AppendCompleted, after the recorder completed a chunk, adds the chunks
//    closed since the last read from a few files' state; it declines when
//    anything else changed (a deletion or renumbering: StreamsGeneration);
//  - RefreshDescriptions, after the view changed "desc.des", reads only it.
//
// Threading: none inside; one thread uses an instance (Refresh may run on
// any thread, on an instance no other thread touches meanwhile).

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "descriptions/DescriptionStore.h"
#include "player/StreamWaveform.h"
#include "player/TimeLineScene.h"
#include "streamstore/StreamInfo.h"

namespace wk {

// How long the stages of the last Refresh took, in milliseconds.
struct StreamReadTimes {
    double folder = 0;        // the folder scan (UpdateStreamInfo)
    double descriptions = 0;  // "desc.des" and its coverage
    double wave = 0;          // the wave form's chunk list and disk cache
    double summaries = 0;     // what the first paint needs (Refresh's range)
};

class StreamViewData {
public:
    // `cachePath`: the wave cache file (WaveCachePathFor); empty: none.
    StreamViewData(const std::string& folder, const std::string& cachePath);
    StreamViewData(const StreamViewData&) = delete;
    StreamViewData& operator=(const StreamViewData&) = delete;

    // Reads the whole folder; with `columns` > 0 also the summaries that
    // drawing `stretch` (none: the whole extent) across that many columns
    // needs, so that the first paint after an Adopt reads nothing.
    void Refresh(int columns = 0, std::optional<RecordedRange> stretch = std::nullopt);
    const std::string& Folder() const { return m_info.folder; }
    // Takes in what Refresh read on `fresh` (the same folder, another
    // thread). "desc.des" is read again when it changed after `fresh` read
    // it (the view's own changes meanwhile). `fresh` is left holding what
    // this instance held (freeing a week of chunks takes a while).
    void Adopt(StreamViewData&& fresh);
    // After the recorder completed chunks: adds the chunks closed since the
    // last read or append and notes the one now being written; reads
    // "desc.des" again when it changed. False, with nothing changed, when a
    // full Refresh is due: nothing was read yet, or chunk files were deleted
    // or renamed since. `changed` (when given): whether anything shown
    // changed (chunks, the chunk being written, the descriptions).
    bool AppendCompleted(bool* changed = nullptr);
    // "desc.des", the coverage and the bars again, nothing else.
    void RefreshDescriptions();
    // Whether a Refresh (here or on an adopted instance) has read the folder.
    bool HasRead() const { return m_read; }
    const StreamReadTimes& ReadTimes() const { return m_times; }

    // From the start of the earliest recorded stretch to the end of the
    // latest, the chunk being recorded included; none when nothing is.
    std::optional<RecordedRange> Extent() const;

    const StreamInfo& Info() const { return m_info; }
    const DescriptionStore& Descriptions() const { return m_store; }
    // For the view's changes (hand marking), which write through
    // DescriptionStore::Update; RefreshDescriptions shows them.
    DescriptionStore& MutableDescriptions() { return m_store; }
    const TimeLineScene& Scene() const { return m_scene; }
    StreamWaveform& Wave() { return *m_wave; }

private:
    // The state of "desc.des" (inode, size, modification time): a save
    // renames a new file over it, so any change shows.
    struct FileStamp {
        int64_t inode = -1, size = -1, mtimeNs = -1;
        bool operator==(const FileStamp&) const = default;
    };
    // The chunk being written: its session (ChunkSessionName) and number.
    struct Writing {
        std::string session;
        int number = 0;
    };

    FileStamp DescriptionStamp() const;
    void LoadDescriptions();
    void MarkDescriptions();
    void SyncWave();
    void FindWriting();
    // Adds the closed chunks of `session` from `number` on; stops at the
    // first missing one, or at the session's highest when `recorded`
    // (it is being written).
    int CloseFrom(const std::string& session, int number, bool recorded);

    StreamInfo m_info;
    DescriptionStore m_store;
    std::string m_cachePath;
    std::unique_ptr<StreamWaveform> m_wave;
    TimeLineScene m_scene;
    bool m_read = false;
    uint64_t m_generation = 0;
    FileStamp m_descStamp;
    std::optional<Writing> m_writing;
    StreamReadTimes m_times;
};

// The chunk the recorder is writing into `info.folder` (by this process or
// another), which UpdateStreamInfo leaves out: its ".dat" name, start and
// length, and in `span` the stretch its ".dat" covers so far.
std::optional<WaveChunk> FindGrowingChunk(const StreamInfo& info, RecordedRange* span);

// "artist - title" of a description as the time line labels it.
std::string BarLabel(const Description& description);

}  // namespace wk
