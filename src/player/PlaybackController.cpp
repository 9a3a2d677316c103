#include "player/PlaybackController.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "core/Clock.h"
#include "core/EventLog.h"
#include "core/Trace.h"
#include "platform/PlaybackDevice.h"
#include "player/PlayerMessages.h"

namespace wk {

PlaybackController::PlaybackController(EventLoop& loop, std::unique_ptr<PlaybackDevice> device,
                                       Listener* listener)
    : m_listener(listener), m_player(loop, *this, std::move(device)) {}

PlaybackController::~PlaybackController() = default;

void PlaybackController::MoveCursor(StreamTime t) {
    m_cursor = t;
    if (m_playing) m_clickMoved = true;
}

bool PlaybackController::PlaySelected(std::string* why) {
    return PlayStretch(m_cursor, std::numeric_limits<StreamTime>::max(), why);
}

bool PlaybackController::PlayStretch(StreamTime start, StreamTime end, std::string* why) {
    const MP3SingleSaving* session = m_info ? FindSession(*m_info, start) : nullptr;
    if (!session || session->length <= 0) {
        if (why) *why = "nothing is recorded at " + DateTime::FromStreamTime(start).LongText();
        return false;
    }
    m_session = *session;
    m_cursor = start;
    m_end = end;
    const int number = static_cast<int>((start - m_session.start) / m_session.length + 1);
    const int64_t offset = start - (number - 1) * m_session.length - m_session.start;
    m_clickMoved = false;
    if (!PlayChunk(number, offset, why)) {
        m_playing = false;
        return false;
    }
    m_playing = true;
    m_lastUpdate = GetClock().Ticks();
    return true;
}

int64_t PlaybackController::ChunkEnd(int number) const {
    if (m_end == std::numeric_limits<StreamTime>::max()) return -1;
    const StreamTime chunkStart = m_session.start + (number - 1) * m_session.length;
    return m_end - chunkStart < m_session.length ? m_end - chunkStart : -1;
}

int64_t PlaybackController::ChunkLength(int number) const {
    // A short chunk (the last of a recording) holds less than the chunk
    // length; the player spreads the file's bytes over the time it holds.
    const StreamTime chunkStart = m_session.start + (number - 1) * m_session.length;
    for (const ChunkSpan& span : m_session.spans) {
        if (span.start == chunkStart && span.end > span.start) return span.end - span.start;
    }
    return m_session.length;
}

bool PlaybackController::PlayChunk(int number, int64_t offset, std::string* why) {
    const std::string path = ChunkPath(m_session, number);
    m_chunk = number;
    if (m_player.Play(path, ChunkLength(number), offset, ChunkEnd(number))) return true;
    if (why) *why = "the output cannot play: " + m_player.OutputEnded();
    return false;
}

void PlaybackController::StopPlaying() {
    // The cursor stops where the sound was, not at the last progress message.
    if (m_playing && !m_clickMoved) m_cursor = std::min(m_end, m_cursor + GetClock().Ticks() - m_lastUpdate);
    m_playing = false;
    m_player.Stop();
}

void PlaybackController::End(const std::string& why, bool outputFailed) {
    m_playing = false;
    if (!outputFailed) {
        const StreamTime chunkEnd = m_session.start + (m_chunk - 1) * m_session.length + ChunkLength(m_chunk);
        m_cursor = std::min(m_end, chunkEnd);
    }
    // What the output still holds is the end of the last chunk: heard, not dropped.
    if (outputFailed) m_player.Stop();
    else m_player.Finish();
    if (!why.empty()) Trace(kTraceError, "playback ended: %s", why.c_str());
    if (m_listener) m_listener->PlaybackEnded(why);
}

void PlaybackController::HandleMessage(Message& message) {
    if (!m_playing) return;
    if (message.id == kMsgPlayProgress) {
        const int64_t now = GetClock().Ticks();
        m_cursor += now - m_lastUpdate;
        m_lastUpdate = now;
        if (m_cursor > m_end) m_cursor = m_end;
        if (m_listener) m_listener->CursorMoved(m_cursor);
        return;
    }
    if (message.id != kMsgChunkFinished) return;
    if (m_clickMoved) {
        m_clickMoved = false;
        m_playing = false;
        m_player.Stop();
        if (m_listener) m_listener->PlaybackEnded({});
        return;
    }
    if (const std::string ended = m_player.OutputEnded(); !ended.empty()) {
        AddEvent("Playback ended: " + ended);
        End(ended, true);
        return;
    }
    const int next = m_chunk + 1;
    const StreamTime nextStart = m_session.start + m_chunk * m_session.length;
    if (m_chunk * m_session.length >= m_session.duration || nextStart >= m_end) {
        End({});
        return;
    }
    const std::string path = ChunkPath(m_session, next);
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
    } else {
        End("chunk " + std::to_string(next) + " cannot be opened: " + path);
        return;
    }
    std::string why;
    if (!PlayChunk(next, 1, &why)) End(why, true);
}

}  // namespace wk
