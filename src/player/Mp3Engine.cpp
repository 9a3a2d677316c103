#include "player/Mp3Engine.h"

#include <mpg123.h>

#include <mutex>

#include "core/Trace.h"
#include "platform/PlaybackDevice.h"

namespace wk {

namespace {

constexpr size_t kPcmBytes = 1152 * 4 * 4;

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
    m_pcm.resize(kPcmBytes);
    return Failure::kNone;
}

int Mp3Engine::Write(const uint8_t* bytes, size_t count) {
    if (!m_handle) return -1;
    if (count == 0) return 0;
    if (mpg123_feed(m_handle, bytes, count) != MPG123_OK) {
        Trace(kTraceError, "MP3 engine: %s", mpg123_strerror(m_handle));
        return -1;
    }
    return static_cast<int>(count);
}

bool Mp3Engine::Service() {
    if (!m_handle) return false;
    for (;;) {
        size_t done = 0;
        const int result = mpg123_read(m_handle, m_pcm.data(), m_pcm.size(), &done);
        if (done > 0) {
            const auto* samples = reinterpret_cast<const int16_t*>(m_pcm.data());
            const int64_t frames = static_cast<int64_t>(done / (2 * PlaybackDevice::kChannels));
            if (m_device.Write(samples, frames) < frames) {
                Trace(kTraceError, "%s: %s", m_device.Name().c_str(),
                      m_device.HasEnded() ? m_device.EndReason().c_str() : "does not take audio");
                return false;
            }
        }
        if (result == MPG123_NEED_MORE || result == MPG123_DONE) return true;
        if (result == MPG123_OK || result == MPG123_NEW_FORMAT) continue;
        // Damaged data: what the decoder holds is thrown away, the stream
        // goes on with the next bytes.
        Trace(kTraceError, "MP3 engine: %s", mpg123_strerror(m_handle));
        return Restart();
    }
}

bool Mp3Engine::Restart() {
    return m_handle && mpg123_open_feed(m_handle) == MPG123_OK;
}

}  // namespace wk
