#pragma once
// The stream view's side of playback, without a toolkit: where the cursor
// is, which chunk of which session plays, moving the cursor with the sound,
// and moving on to the next chunk when one ends. The desktop view and
// "wavkeep play" both drive playback through it.
//
// The cursor moves by the time the controller measures between progress
// messages on the process clock, not by the numbers in them. When a chunk
// ends the next chunk of the same session plays from its start, unless a
// click moved the cursor meanwhile (that chunk end is then ignored and
// playback ends), the session has no further chunk, the stretch asked for
// ends, or the next chunk's file cannot be opened.
//
// Threads: everything on the thread that runs the EventLoop.

#include <cstdint>
#include <memory>
#include <string>

#include "core/DateTime.h"
#include "core/EventLoop.h"
#include "player/Player.h"
#include "streamstore/StreamInfo.h"

namespace wk {

class PlaybackDevice;

class PlaybackController final : public MessageReceiver {
public:
    // What the owner (the view, the command) wants to hear of.
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void CursorMoved(StreamTime cursor) = 0;
        // Playback ended by itself: `why` is empty at the end of the
        // recording or of the stretch asked for, else the reason.
        virtual void PlaybackEnded(const std::string& why) = 0;
    };

    PlaybackController(EventLoop& loop, std::unique_ptr<PlaybackDevice> device,
                       Listener* listener = nullptr);
    ~PlaybackController() override;

    // The stream whose sessions are played; it must outlive the controller
    // or the next SetStreamInfo. A copy of the playing session is kept.
    void SetStreamInfo(const StreamInfo* info) { m_info = info; }

    StreamTime Cursor() const { return m_cursor; }
    // A click: the cursor jumps; a playing chunk plays on, but playback does
    // not go on to the next chunk.
    void MoveCursor(StreamTime t);

    // "Play selected stream": from the cursor to the end of its session.
    // False with the reason when nothing is recorded at the cursor or the
    // output cannot start.
    bool PlaySelected(std::string* why = nullptr);
    // "Play current track" (and the command's stretches): from `start`,
    // ending at `end` (StreamTime max: the end of the session).
    bool PlayStretch(StreamTime start, StreamTime end, std::string* why = nullptr);
    // "Stop playing".
    void StopPlaying();
    // How often the cursor moves while playing (Player::SetProgressInterval).
    void SetProgressInterval(int64_t ms) { m_player.SetProgressInterval(ms); }

    bool IsPlaying() const { return m_playing; }
    int CurrentChunk() const { return m_chunk; }

    // Progress (1127) and chunk finished (1128), from the player.
    void HandleMessage(Message& message) override;

private:
    bool PlayChunk(int number, int64_t offset, std::string* why);
    int64_t ChunkEnd(int number) const;
    int64_t ChunkLength(int number) const;
    void End(const std::string& why, bool outputFailed = false);

    Listener* m_listener;
    Player m_player;
    const StreamInfo* m_info = nullptr;
    MP3SingleSaving m_session;
    StreamTime m_cursor = 0;
    StreamTime m_end = 0;
    int m_chunk = 0;
    bool m_playing = false;
    bool m_clickMoved = false;
    int64_t m_lastUpdate = 0;
};

}  // namespace wk
