#pragma once
// Stream playback: one chunk file at a time, from an offset, on the player
// thread ("mp3 player"), with progress reported to the stream view.
//
// MP3 chunks are fed to the MP3 engine at the pace of the sound: the engine
// stays between half a block and one and a half blocks (a block is about
// 100 ms of the chunk) ahead of what is heard, so a stop is prompt and the
// next chunk follows without a gap. Ogg chunks are decoded with vorbisfile
// and played by the sound server thread through two alternating buffers.
//
// Messages to the view go through the player's own receiver (its "hidden
// window"), which forwards 1127 (progress, p1 = ms since the previous one)
// and 1128 (chunk finished) to the view and drops what a stop removed.
//
// Threads: Play, Stop, Finish and the destructor are called on the thread
// that runs the EventLoop (the main thread); the view gets its messages
// there too. The device is used by the player's threads once Play has
// opened it.

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/EventLoop.h"
#include "player/ThreadMessageQueue.h"

namespace wk {

class Mp3Engine;
class PlaybackDevice;
class SoundServer;

class Player {
public:
    Player(EventLoop& loop, MessageReceiver& view, std::unique_ptr<PlaybackDevice> device);
    // Stops what plays (dropping it) and ends the threads.
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Plays the chunk at `path` (its length `lengthMs`) from `offsetMs` into
    // it; with `endMs` >= 0 only up to that offset. A chunk playing already
    // is stopped first, and its chunk-finished message never reaches the
    // view; neither does any message of an earlier playback still queued.
    // False (and the user told, as the engine does) when the output cannot
    // be started.
    bool Play(const std::string& path, int64_t lengthMs, int64_t offsetMs, int64_t endMs = -1);
    // Stops at once. The chunk-finished message of a chunk that was playing
    // stays queued for the view; its queued progress messages are removed.
    // Returns as soon as the thread has handled the stop.
    void Stop();
    // As Stop, but what the device holds is played out first: the end of a
    // playback that ran to its planned end.
    void Finish();

    // Progress messages follow a write of audio once more than `ms` passed
    // since the previous one (100 by default), and a wait once more than
    // `ms` + 200 passed. A view that shows the cursor less often than every
    // 100 ms asks for fewer. Any thread.
    void SetProgressInterval(int64_t ms);

    bool IsPlaying() const { return m_playing.load(); }
    // Why the output stopped playing (a device that disappeared), empty while
    // it plays. Cleared by the next Play.
    std::string OutputEnded() const;

private:
    struct Request {
        std::string path;
        int64_t length = 0;
        int64_t offset = 0;
        int64_t end = -1;
    };
    class Window;
    using Queue = ThreadMessageQueue<Request>;

    void StopLocked(bool swallowFinished, bool drain);
    void DropQueuedUpTo(bool finishedToo);
    void Run();
    void HandleStop(bool drain);
    void HandlePlay(const Request& request);
    std::FILE* OpenChunk(const std::string& path);
    void Mp3Play(const Request& request, Mp3Engine& engine);
    void OggPlay(const Request& request);
    void PostToWindow(int id, intptr_t p1 = 0);
    void ProgressIfDue(bool waiting);
    int64_t ProgressWhileWaitingMs() const;
    int64_t MsToProgress() const;
    void NoteOutputEnd(const std::string& why);
    void SignalHandshake();
    template <typename Done>
    void AwaitHandshake(Done done);

    EventLoop& m_loop;
    MessageReceiver& m_view;
    std::unique_ptr<PlaybackDevice> m_device;
    std::unique_ptr<Window> m_window;
    std::unique_ptr<ReceiverSlot> m_windowSlot;

    std::mutex m_lock;  // held by the callers of Play and Stop
    std::atomic<bool> m_playing{false};
    std::atomic<bool> m_stopped{true};
    std::atomic<bool> m_acknowledged{false};
    // Set by a stop: the player thread's waits end at once.
    std::atomic<int> m_cancelWait{0};
    std::atomic<int> m_stopsHandled{0};
    int m_stopsPosted = 0;  // under m_lock
    // Play and Stop sleep here until the thread took their message: polling
    // the flags woke the main thread a thousand times a second, for the
    // whole of a drain at the end of a playback.
    std::mutex m_handshakeMutex;
    std::condition_variable m_handshake;

    std::mutex m_engineMutex;  // guards the pointer; the engine works on the player thread
    std::unique_ptr<Mp3Engine> m_engine;

    // Window messages carry a sequence number in p2; those up to the marks
    // are dropped (main thread only).
    std::atomic<uint64_t> m_postSeq{0};
    uint64_t m_dropProgressUpTo = 0;
    uint64_t m_dropFinishedUpTo = 0;
    std::atomic<int64_t> m_progressAfterWriteMs{100};

    mutable std::mutex m_endMutex;
    std::string m_outputEnded;

    // Player thread only.
    double m_playClock = 0;  // ms of the process clock; 0: nothing queued since the last stop
    int64_t m_lastProgress = 0;
    int m_oggBuffer = 0;
    std::vector<char> m_fileBuffer;  // the stdio buffer of the chunk file playing
    bool m_soundServerUsed = false;  // since the last stop
    std::unique_ptr<SoundServer> m_soundServer;  // made before the thread starts, kept to the end

    Queue m_queue;
    std::thread m_thread;
};

}  // namespace wk
