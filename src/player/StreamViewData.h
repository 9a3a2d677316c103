#pragma once
// The stream view's document side: what one stream folder holds for its
// time line, read afresh on every refresh. Sessions and recorded ranges
// (StreamInfo.h), the chunk being recorded (which the stream info leaves
// out), the descriptions of "desc.des" with their coverage, and the wave
// form with its summaries.
//
// Refresh reads files (the folder, the side files' state, "desc.des", the
// wave cache); Prepare reads the side files the next paint needs. Threading:
// none inside; one thread uses an instance.

#include <optional>
#include <string>

#include "descriptions/DescriptionStore.h"
#include "player/StreamWaveform.h"
#include "player/TimeLineScene.h"
#include "streamstore/StreamInfo.h"

namespace wk {

class StreamViewData {
public:
    // `cachePath`: the wave cache file (WaveCachePathFor); empty: none.
    StreamViewData(const std::string& folder, const std::string& cachePath);
    StreamViewData(const StreamViewData&) = delete;
    StreamViewData& operator=(const StreamViewData&) = delete;

    void Refresh();

    // From the start of the earliest recorded stretch to the end of the
    // latest, the chunk being recorded included; none when nothing is.
    std::optional<RecordedRange> Extent() const;

    const StreamInfo& Info() const { return m_info; }
    const DescriptionStore& Descriptions() const { return m_store; }
    // For the view's changes (hand marking), which write through
    // DescriptionStore::Update; the next Refresh reads the file again.
    DescriptionStore& MutableDescriptions() { return m_store; }
    const TimeLineScene& Scene() const { return m_scene; }
    StreamWaveform& Wave() { return m_wave; }

private:
    StreamInfo m_info;
    DescriptionStore m_store;
    StreamWaveform m_wave;
    TimeLineScene m_scene;
};

// The chunk the recorder is writing into `info.folder` (by this process or
// another), which UpdateStreamInfo leaves out: its ".dat" name, start and
// length, and in `span` the stretch its ".dat" covers so far.
std::optional<WaveChunk> FindGrowingChunk(const StreamInfo& info, RecordedRange* span);

// "artist - title" of a description as the time line labels it.
std::string BarLabel(const Description& description);

}  // namespace wk
