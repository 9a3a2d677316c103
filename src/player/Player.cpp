#include "player/Player.h"

#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/Clock.h"
#include "core/Trace.h"
#include "core/UserPrompt.h"
#include "export/ExportTrack.h"
#include "platform/DeadlineSleep.h"
#include "platform/PlaybackDevice.h"
#include "player/Mp3Engine.h"
#include "player/PlayerMessages.h"
#include "player/SoundServer.h"
#include "player/ThreadPriority.h"

namespace wk {

namespace {

// The longest a wait of the player thread sleeps in one piece; a stop ends
// any wait at once.
constexpr int64_t kLongestWaitMs = 100;
// Progress while waiting comes this much later than after a write.
constexpr int64_t kProgressWaitingExtraMs = 200;
// Offsets below this play from the first byte: the view asks for 1 ms when
// it moves on to the next chunk.
constexpr int64_t kFromStartBelowMs = 2;
constexpr int kMaxOggHoles = 100;
// Bytes fed before a place played from the middle of a chunk: more than the
// bit reservoir its first frames may borrow from.
constexpr int64_t kPrimeBytes = 4096;
// The stdio buffer of a chunk file: a few reads per chunk, not one per block.
constexpr size_t kFileBufferBytes = 64 * 1024;
// Below this share of the bytes its bit rate gives, a chunk counts as cut short.
constexpr double kShortChunkShare = 0.8;
// A chunk whose bytes give no audio for this long is no MP3 stream.
constexpr double kSilentFeedLimitMs = 500;
constexpr double kMp3FrameMs = 1152 * 1000.0 / 44100;

int64_t Now() {
    return GetClock().Ticks();
}

}  // namespace

// The hidden window: forwards to the view what no stop removed.
class Player::Window final : public MessageReceiver {
public:
    explicit Window(Player& player) : m_player(player) {}
    void HandleMessage(Message& m) override {
        const auto seq = static_cast<uint64_t>(m.p2);
        if (m.id == kMsgPlayerIgnored) return;
        if (m.id == kMsgPlayProgress && seq <= m_player.m_dropProgressUpTo) return;
        if (m.id == kMsgChunkFinished && seq <= m_player.m_dropFinishedUpTo) return;
        m.p2 = 0;
        m_player.m_view.HandleMessage(m);
    }

private:
    Player& m_player;
};

Player::Player(EventLoop& loop, MessageReceiver& view, std::unique_ptr<PlaybackDevice> device)
    : m_loop(loop), m_view(view), m_device(std::move(device)) {
    m_window = std::make_unique<Window>(*this);
    m_soundServer = std::make_unique<SoundServer>(*m_device);
    m_windowSlot = std::make_unique<ReceiverSlot>(loop, m_window.get());
    m_thread = std::thread([this] { Run(); });
}

Player::~Player() {
    {
        std::lock_guard lock(m_lock);
        StopLocked(true, false);
    }
    m_queue.Quit();
    m_thread.join();
    m_soundServer.reset();
    m_engine.reset();
    m_device->Close();
}

std::string Player::OutputEnded() const {
    std::lock_guard lock(m_endMutex);
    return m_outputEnded;
}

void Player::NoteOutputEnd(const std::string& why) {
    std::lock_guard lock(m_endMutex);
    m_outputEnded = why;
}

bool Player::Play(const std::string& path, int64_t lengthMs, int64_t offsetMs, int64_t endMs) {
    std::lock_guard lock(m_lock);
    if (m_playing.load()) StopLocked(true, false);
    // A chunk that ended just before this call left its chunk-finished
    // message queued; the view must not move on from the old playback.
    DropQueuedUpTo(true);
    NoteOutputEnd({});
    {
        std::lock_guard engineLock(m_engineMutex);
        if (!m_engine) {
            auto engine = std::make_unique<Mp3Engine>(*m_device);
            std::string why;
            const Mp3Engine::Failure failure = engine->Start(&why);
            if (failure != Mp3Engine::Failure::kNone) {
                Trace(kTraceError, "MP3 engine: %s", why.c_str());
                NoteOutputEnd(why);
                engine.reset();
                GetUserPrompt().Show(failure == Mp3Engine::Failure::kDecoder
                                         ? Mp3Engine::kDecoderFailureText
                                         : Mp3Engine::kOutputFailureText,
                                     kMbOk | kMbIconStop);
                return false;
            }
            m_engine = std::move(engine);
        }
    }
    m_acknowledged = false;
    auto request = std::make_unique<Request>(Request{path, lengthMs, offsetMs, endMs});
    m_queue.Post(kMsgPlayerPlay, 0, 0, std::move(request));
    AwaitHandshake([this] { return m_acknowledged.load(); });
    return true;
}

void Player::Stop() {
    std::lock_guard lock(m_lock);
    StopLocked(false, false);
}

void Player::Finish() {
    std::lock_guard lock(m_lock);
    StopLocked(false, true);
}

void Player::StopLocked(bool swallowFinished, bool drain) {
    const bool wasPlaying = m_playing.exchange(false);
    m_cancelWait = 1;
    WakeCancelWaiters(&m_cancelWait);
    GetClock().WakeSleepers();
    m_soundServer->WakeWaiters();
    const int stop = ++m_stopsPosted;
    m_queue.Post(kMsgPlayerStop, drain ? 1 : 0);
    // Waiting for this stop, not for the flag: a flag still set from an
    // earlier stop would let a Play create its engine before the thread
    // destroys the old one.
    AwaitHandshake([this, stop] { return m_stopsHandled.load() >= stop; });
    // The thread posts a chunk's 1128 before it takes the next message, so
    // the stopped chunk's 1128 is queued by now.
    if (wasPlaying) DropQueuedUpTo(swallowFinished);
}

void Player::SignalHandshake() {
    // Under the mutex: a waiter between its check and its sleep sees the flag.
    { std::lock_guard lock(m_handshakeMutex); }
    m_handshake.notify_all();
}

template <typename Done>
void Player::AwaitHandshake(Done done) {
    std::unique_lock lock(m_handshakeMutex);
    m_handshake.wait(lock, done);
}

void Player::DropQueuedUpTo(bool finishedToo) {
    const uint64_t seq = m_postSeq.load();
    m_dropProgressUpTo = seq;
    if (finishedToo) m_dropFinishedUpTo = seq;
}

void Player::PostToWindow(int id, intptr_t p1) {
    const uint64_t seq = ++m_postSeq;
    m_loop.Post(m_windowSlot->Id(), id, p1, static_cast<intptr_t>(seq));
}

void Player::SetProgressInterval(int64_t ms) {
    m_progressAfterWriteMs = std::max<int64_t>(ms, 1);
}

int64_t Player::ProgressWhileWaitingMs() const {
    return m_progressAfterWriteMs.load() + kProgressWaitingExtraMs;
}

int64_t Player::MsToProgress() const {
    return m_lastProgress + ProgressWhileWaitingMs() + 1 - Now();
}

void Player::ProgressIfDue(bool waiting) {
    const int64_t now = Now();
    if (now - m_lastProgress <= (waiting ? ProgressWhileWaitingMs() : m_progressAfterWriteMs.load())) return;
    PostToWindow(kMsgPlayProgress, static_cast<intptr_t>(now - m_lastProgress));
    m_lastProgress = now;
}

void Player::Run() {
    TraceThreadBegin("mp3 player");
    RaiseThreadPriority("mp3 player");
    Queue::Item m;
    while (m_queue.Take(&m)) {
        if (m.id == kMsgPlayerStop) {
            HandleStop(m.p1 != 0);
        } else if (m.id == kMsgPlayerPlay && m.payload) {
            HandlePlay(*m.payload);
            m.payload.reset();
            m_playing = false;
            PostToWindow(kMsgChunkFinished);
        }
    }
    TraceThreadEnd("mp3 player");
}

void Player::HandleStop(bool drain) {
    m_playing = false;
    // The server closes the device: only when it played, or it would close
    // it under the MP3 engine.
    if (m_soundServerUsed) m_soundServer->Stop(drain);
    m_soundServerUsed = false;
    {
        std::lock_guard engineLock(m_engineMutex);
        if (m_engine && drain && m_engine->Flush()) m_engine->Device().Drain();
        m_engine.reset();
    }
    m_stopped = true;
    ++m_stopsHandled;
    SignalHandshake();
}

void Player::HandlePlay(const Request& request) {
    if (m_stopped.load()) {
        m_playClock = 0;
        // Progress counts from the first chunk on; across chunk borders it
        // goes on, so the numbers add up to the time played.
        m_lastProgress = Now();
    }
    m_stopped = false;
    m_cancelWait = 0;
    m_playing = true;
    m_acknowledged = true;
    SignalHandshake();
    Mp3Engine* engine = nullptr;
    {
        std::lock_guard engineLock(m_engineMutex);
        engine = m_engine.get();
    }
    if (request.path.find(".mp3") != std::string::npos && engine) Mp3Play(request, *engine);
    else OggPlay(request);
}

std::FILE* Player::OpenChunk(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        Trace(kTraceError, "cannot play %s: %s", path.c_str(), std::strerror(errno));
        return nullptr;
    }
    // One chunk file is open at a time, on this thread; the buffer is kept.
    m_fileBuffer.resize(kFileBufferBytes);
    std::setvbuf(file, m_fileBuffer.data(), _IOFBF, m_fileBuffer.size());
    return file;
}

void Player::Mp3Play(const Request& request, Mp3Engine& engine) {
    std::FILE* file = OpenChunk(request.path);
    if (!file) return;
    std::fseek(file, 0, SEEK_END);
    const int64_t size = std::ftell(file);
    const int64_t length = request.length;
    if (size <= 0 || length <= 0) {
        Trace(kTraceError, "cannot play %s: %s", request.path.c_str(),
              size <= 0 ? "the chunk is empty" : "no chunk length");
        std::fclose(file);
        return;
    }
    double bytesPerMs = static_cast<double>(size) / static_cast<double>(length);
    // A chunk cut short holds less than its length at the rate it was
    // written: spread over the whole length it would play in bits and gaps.
    const double writtenBytesPerMs = static_cast<double>(GetMp3FrameLength(request.path)) / kMp3FrameMs;
    const bool cutShort = bytesPerMs < kShortChunkShare * writtenBytesPerMs;
    if (cutShort) {
        Trace(kTraceInfo, "%s holds %lld ms of audio, not %lld ms: cut short", request.path.c_str(),
              static_cast<long long>(static_cast<double>(size) / writtenBytesPerMs),
              static_cast<long long>(length));
        bytesPerMs = writtenBytesPerMs;
    }
    int64_t position = 0;
    if (request.offset >= kFromStartBelowMs)
        position = static_cast<int64_t>(static_cast<double>(request.offset - 1) * bytesPerMs);
    int64_t endPosition = size;
    if (request.end >= 0)
        endPosition = std::min(size, static_cast<int64_t>(static_cast<double>(request.end) * bytesPerMs));
    if (position > 0 && engine.IsFresh()) {
        const int64_t primeFrom = std::max<int64_t>(0, position - kPrimeBytes);
        std::vector<uint8_t> prime(static_cast<size_t>(position - primeFrom));
        std::fseek(file, static_cast<long>(primeFrom), SEEK_SET);
        prime.resize(std::fread(prime.data(), 1, prime.size(), file));
        // A chunk's bytes begin about a frame before its time: the encoder
        // holds a frame back when the recorder cuts. Playing starts with the
        // first frame a frame after the byte the offset gives.
        const auto frameBytes = static_cast<int64_t>(bytesPerMs * kMp3FrameMs);
        engine.Prime(prime.data(), prime.size(), frameBytes);
    }
    std::fseek(file, static_cast<long>(position), SEEK_SET);

    const auto block = static_cast<int64_t>(100 * bytesPerMs);
    const double blockMs = static_cast<double>(block) / bytesPerMs;
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(block, 1)));
    PlaybackDevice& device = engine.Device();
    using Status = Mp3Engine::Status;
    Status status = Status::kOk;
    // Bytes fed since the decoder last gave audio: garbage gives none.
    int64_t fedSilently = 0;
    int64_t decoded = engine.DecodedFrames();
    while (status == Status::kOk && m_playing.load()) {
        const auto now = static_cast<double>(Now());
        if (m_playClock != 0 && now - m_playClock < blockMs) {
            ProgressIfDue(true);
            status = engine.Service();
            // Asleep until the next block or progress message is due: waking
            // every few milliseconds would cost more than the decoding.
            const auto untilBlock = static_cast<int64_t>(std::ceil(blockMs - (now - m_playClock)));
            device.WaitFor(std::clamp<int64_t>(std::min(untilBlock, MsToProgress()), 1, kLongestWaitMs),
                           &m_cancelWait);
            continue;
        }
        const int64_t want = std::min(block, endPosition - position);
        const size_t got = want > 0 ? std::fread(bytes.data(), 1, static_cast<size_t>(want), file) : 0;
        if (got == 0) break;
        position += static_cast<int64_t>(got);
        const double gotMs = static_cast<double>(got) / bytesPerMs;
        if (static_cast<int64_t>(got) == block)
            m_playClock = m_playClock == 0 ? now - 0.5 * blockMs : m_playClock + blockMs;
        else
            m_playClock = m_playClock == 0 ? now + gotMs - 1.5 * blockMs : m_playClock + gotMs;
        for (size_t done = 0; status == Status::kOk && done < got;) {
            const int taken = engine.Write(bytes.data() + done, got - done);
            if (taken < 0) {
                status = Status::kBadData;
                break;
            }
            done += static_cast<size_t>(taken);
            status = engine.Service();
            ProgressIfDue(false);
        }
        fedSilently = engine.DecodedFrames() == decoded ? fedSilently + static_cast<int64_t>(got) : 0;
        decoded = engine.DecodedFrames();
        if (static_cast<double>(fedSilently) > kSilentFeedLimitMs * bytesPerMs) status = Status::kBadData;
    }
    if (status == Status::kBadData) {
        Trace(kTraceError, "%s is no playable MP3 data from %lld on: the chunk ends here",
              request.path.c_str(), static_cast<long long>(position));
        engine.Restart();
    } else if (cutShort) {
        // Its last frame, cut off, would take the next chunk's first bytes
        // as its own.
        engine.Restart();
    }
    std::fclose(file);
    if (device.HasEnded()) NoteOutputEnd(device.Name() + ": " + device.EndReason());
}

void Player::OggPlay(const Request& request) {
    if (!m_device->IsOpen()) {
        Trace(kTraceError, "cannot play %s: no output", request.path.c_str());
        return;
    }
    std::FILE* file = OpenChunk(request.path);
    if (!file) return;
    OggVorbis_File vf;
    if (ov_open_callbacks(file, &vf, nullptr, 0, OV_CALLBACKS_DEFAULT) < 0) {
        Trace(kTraceError, "cannot play %s: not an Ogg Vorbis file", request.path.c_str());
        std::fclose(file);
        return;
    }
    auto playable = [](const vorbis_info* vi) {
        return vi && vi->rate == PlaybackDevice::kSampleRate && (vi->channels == 1 || vi->channels == 2);
    };
    if (!playable(ov_info(&vf, -1))) {
        Trace(kTraceError, "cannot play %s: not 44100 Hz mono or stereo", request.path.c_str());
        ov_clear(&vf);
        return;
    }
    if (request.offset >= kFromStartBelowMs && ov_seekable(&vf) &&
        ov_time_seek(&vf, static_cast<double>(request.offset) / 1000.0) != 0) {
        Trace(kTraceError, "cannot play %s from %lld ms", request.path.c_str(),
              static_cast<long long>(request.offset));
        ov_clear(&vf);
        return;
    }
    const int64_t endFrame = request.end >= 0 ? request.end * PlaybackDevice::kSampleRate / 1000 : -1;
    SoundServer& server = *m_soundServer;
    m_soundServerUsed = true;
    std::vector<int16_t> decoded(static_cast<size_t>(SoundServer::kBufferFrames * 2));
    int holes = 0;
    bool more = true;
    while (more && m_playing.load() && !server.OutputFailed()) {
        const int index = m_oggBuffer;
        // Asleep until the buffer is free or a progress message is due: the
        // buffer hand-overs come often enough that the latter seldom wakes it.
        while (!server.WaitUntilFree(
            index, static_cast<int>(std::clamp<int64_t>(MsToProgress(), 1, ProgressWhileWaitingMs() + 1)),
            &m_cancelWait)) {
            if (!m_playing.load()) break;
            ProgressIfDue(true);
        }
        if (!m_playing.load()) break;
        int16_t* out = server.Buffer(index);
        int64_t frames = 0;
        while (frames < SoundServer::kBufferFrames) {
            int64_t room = SoundServer::kBufferFrames - frames;
            if (endFrame >= 0) room = std::min<int64_t>(room, endFrame - ov_pcm_tell(&vf));
            if (room <= 0) {
                more = false;
                break;
            }
            int link = 0;
            const vorbis_info* vi = ov_info(&vf, -1);
            const int channels = vi ? vi->channels : 2;
            const long got = ov_read(&vf, reinterpret_cast<char*>(decoded.data()),
                                     static_cast<int>(room * channels * 2), 0, 2, 1, &link);
            if (got == OV_HOLE && ++holes <= kMaxOggHoles) continue;
            if (got <= 0 || !playable(ov_info(&vf, link))) {
                if (got != 0)
                    Trace(kTraceError, "%s: damaged or unplayable data, the chunk ends here",
                          request.path.c_str());
                more = false;
                break;
            }
            const int linkChannels = ov_info(&vf, link)->channels;
            const int64_t n = got / (2 * linkChannels);
            if (linkChannels == 2) {
                std::memcpy(out + frames * 2, decoded.data(), static_cast<size_t>(n) * 2 * sizeof(int16_t));
            } else {
                for (int64_t i = 0; i < n; ++i)
                    out[(frames + i) * 2] = out[(frames + i) * 2 + 1] = decoded[static_cast<size_t>(i)];
            }
            frames += n;
        }
        if (frames > 0) {
            server.Play(index, frames);
            m_oggBuffer = (m_oggBuffer + 1) % SoundServer::kBuffers;
            ProgressIfDue(false);
        }
    }
    ov_clear(&vf);
    if (server.OutputFailed()) NoteOutputEnd(m_device->Name() + ": " + server.FailureReason());
}

}  // namespace wk
