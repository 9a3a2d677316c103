#include "player/Mp3Engine.h"

#include <mpg123.h>

#include <mutex>

#include "core/Trace.h"
#include "platform/PlaybackDevice.h"

namespace wk {

namespace {

bool InitLibrary() {
    // Needed only by old library versions, harmless with new ones.
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = mpg123_init() == MPG123_OK; });
    return ok;
}

}  // namespace

Mp3Engine::Mp3Engine(PlaybackDevice& device) : m_device(device) {}

Mp3Engine::~Mp3Engine() {
    if (m_handle) mpg123_delete(m_handle);
    m_device.Close();
}

Mp3Engine::Failure Mp3Engine::Start(std::string* why) {
    int error = MPG123_OK;
    if (InitLibrary()) m_handle = mpg123_new(nullptr, &error);
    if (!m_handle) {
        if (why) *why = std::string("no MP3 decoder: ") + mpg123_plain_strerror(error);
        return Failure::kDecoder;
    }
    mpg123_param(m_handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    // Whatever a chunk holds, the device gets 44100 Hz stereo.
    mpg123_format_none(m_handle);
    if (mpg123_format(m_handle, PlaybackDevice::kSampleRate, MPG123_STEREO, MPG123_ENC_SIGNED_16) !=
            MPG123_OK ||
        mpg123_open_feed(m_handle) != MPG123_OK) {
        if (why) *why = std::string("MP3 decoder input: ") + mpg123_strerror(m_handle);
        mpg123_delete(m_handle);
        m_handle = nullptr;
        return Failure::kDecoder;
    }
    std::string deviceWhy;
    if (!m_device.Open(&deviceWhy)) {
        if (why) *why = deviceWhy;
        mpg123_delete(m_handle);
        m_handle = nullptr;
        return Failure::kOutput;
    }
    m_device.SetVolume(kVolume);
    return Failure::kNone;
}

void Mp3Engine::Prime(const uint8_t* bytes, size_t count, int64_t skip) {
    if (!m_handle || count == 0 || mpg123_feed(m_handle, bytes, count) != MPG123_OK) return;
    m_fed = true;
    m_streamBytes += static_cast<int64_t>(count);
    m_playFrom = m_streamBytes + skip;
}

int Mp3Engine::Write(const uint8_t* bytes, size_t count) {
    if (!m_handle) return -1;
    if (count == 0) return 0;
    m_fed = true;
    if (mpg123_feed(m_handle, bytes, count) != MPG123_OK) {
        Trace(kTraceError, "MP3 engine: %s", mpg123_strerror(m_handle));
        return -1;
    }
    m_streamBytes += static_cast<int64_t>(count);
    return static_cast<int>(count);
}

Mp3Engine::Status Mp3Engine::Service() {
    if (!m_handle) return Status::kOutputFailed;
    for (;;) {
        off_t number = 0;
        unsigned char* audio = nullptr;
        size_t done = 0;
        const int result = mpg123_decode_frame(m_handle, &number, &audio, &done);
        // Frames that begin in the primed bytes only lend their bits.
        if (done > 0 && audio && mpg123_framepos(m_handle) >= m_playFrom) {
            const auto* samples = reinterpret_cast<const int16_t*>(audio);
            const int64_t frames = static_cast<int64_t>(done / (2 * PlaybackDevice::kChannels));
            m_decodedFrames += frames;
            if (m_outputStarted) {
                if (!WriteToDevice(samples, frames)) return Status::kOutputFailed;
            } else {
                m_held.insert(m_held.end(), samples, samples + frames * PlaybackDevice::kChannels);
                const auto cushion = static_cast<size_t>(kStartCushionMs * PlaybackDevice::kSampleRate /
                                                         1000 * PlaybackDevice::kChannels);
                if (m_held.size() >= cushion && !Flush()) return Status::kOutputFailed;
            }
        }
        if (result == MPG123_NEED_MORE || result == MPG123_DONE) return Status::kOk;
        if (result == MPG123_OK || result == MPG123_NEW_FORMAT) continue;
        Trace(kTraceError, "MP3 engine: %s", mpg123_strerror(m_handle));
        Restart();
        return Status::kBadData;
    }
}

bool Mp3Engine::WriteToDevice(const int16_t* samples, int64_t frames) {
    if (m_device.Write(samples, frames) >= frames) return true;
    Trace(kTraceError, "%s: %s", m_device.Name().c_str(),
          m_device.HasEnded() ? m_device.EndReason().c_str() : "does not take audio");
    return false;
}

bool Mp3Engine::Flush() {
    m_outputStarted = true;
    const auto frames = static_cast<int64_t>(m_held.size() / PlaybackDevice::kChannels);
    const bool ok = frames == 0 || WriteToDevice(m_held.data(), frames);
    m_held.clear();
    return ok;
}

bool Mp3Engine::Restart() {
    // A new stream: the decoder holds back its first frames again.
    m_outputStarted = false;
    m_fed = false;
    m_streamBytes = m_playFrom = 0;
    return m_handle && mpg123_open_feed(m_handle) == MPG123_OK;
}

}  // namespace wk
