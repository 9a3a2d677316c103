#include "platform/PlaybackDeviceAlsa.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "core/Clock.h"
#include "core/Trace.h"
#include "platform/MachineSettings.h"

namespace wk {

namespace {

constexpr auto kRetryPause = std::chrono::milliseconds(10);

std::string AlsaError(int error) {
    return snd_strerror(error);
}

}  // namespace

PlaybackDeviceAlsa::PlaybackDeviceAlsa(std::string pcmName)
    : m_pcmName(pcmName.empty() ? StoredPcmName() : std::move(pcmName)) {}

PlaybackDeviceAlsa::~PlaybackDeviceAlsa() {
    Close();
}

std::string PlaybackDeviceAlsa::StoredPcmName() {
    const auto stored = MachineSettings::Get(kPlaybackPcmKey);
    return stored && !stored->empty() ? *stored : std::string("default");
}

bool PlaybackDeviceAlsa::Open(std::string* why) {
    if (m_pcm) return true;
    auto fail = [&](const std::string& text) {
        if (why) *why = text;
        if (m_pcm) snd_pcm_close(m_pcm);
        m_pcm = nullptr;
        return false;
    };
    int err = snd_pcm_open(&m_pcm, m_pcmName.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err < 0) {
        m_pcm = nullptr;
        return fail("cannot open " + Name() + ": " + AlsaError(err));
    }
    // Resampling and channel mapping by the plug layer where the card needs it.
    const unsigned latencyUs = kBufferMs * 1000;
    err = snd_pcm_set_params(m_pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                             kChannels, kSampleRate, 1, latencyUs);
    if (err < 0) return fail(Name() + " refused 44100 Hz 16-bit stereo: " + AlsaError(err));
    snd_pcm_uframes_t buffer = 0, period = 0;
    if (snd_pcm_get_params(m_pcm, &buffer, &period) < 0 || buffer == 0)
        buffer = static_cast<snd_pcm_uframes_t>(kSampleRate) * kBufferMs / 1000;
    m_bufferFrames = static_cast<int64_t>(buffer);
    // Start with the first period rather than a full buffer: the player
    // keeps only about a block ahead, and the first sound should not wait.
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    if (snd_pcm_sw_params_current(m_pcm, sw) >= 0) {
        snd_pcm_sw_params_set_start_threshold(m_pcm, sw, std::max<snd_pcm_uframes_t>(1, period));
        snd_pcm_sw_params(m_pcm, sw);
    }
    m_failures = 0;
    m_endReason.clear();
    ResetCounters();
    Trace(kTraceDebug, "%s open for playback: buffer %lld frames, period %lu frames",
          Name().c_str(), static_cast<long long>(m_bufferFrames), static_cast<unsigned long>(period));
    return true;
}

void PlaybackDeviceAlsa::End(const std::string& reason) {
    m_endReason = reason;
    Trace(kTraceError, "%s: %s", Name().c_str(), reason.c_str());
}

bool PlaybackDeviceAlsa::Recover(int error) {
    if (error == -EPIPE) {
        Trace(kTraceInfo, "%s: underrun", Name().c_str());
        error = snd_pcm_prepare(m_pcm);
        if (error >= 0) return true;
    } else if (error == -ESTRPIPE) {
        Trace(kTraceInfo, "%s: suspended, resuming", Name().c_str());
        for (int i = 0; i < 100 && (error = snd_pcm_resume(m_pcm)) == -EAGAIN; ++i)
            std::this_thread::sleep_for(kRetryPause);
        if (error < 0) error = snd_pcm_prepare(m_pcm);
        if (error >= 0) return true;
    }
    if (error == -ENODEV || error == -EBADFD) {
        End("device disappeared");
        return false;
    }
    ++m_failures;
    Trace(kTraceError, "%s: %s (failure %d)", Name().c_str(), AlsaError(error).c_str(), m_failures);
    if (m_failures >= kMaxFailures) {
        End("device failed: " + AlsaError(error));
        return false;
    }
    std::this_thread::sleep_for(kRetryPause);
    snd_pcm_prepare(m_pcm);
    return true;
}

int64_t PlaybackDeviceAlsa::WriteFrames(const int16_t* samples, int64_t frames) {
    if (!m_pcm || HasEnded()) return -1;
    Clock& clock = GetClock();
    int64_t lastProgress = clock.Ticks();
    int64_t done = 0;
    while (done < frames) {
        snd_pcm_sframes_t got = snd_pcm_writei(m_pcm, samples + done * kChannels,
                                               static_cast<snd_pcm_uframes_t>(frames - done));
        if (got > 0) {
            done += got;
            m_failures = 0;
            lastProgress = clock.Ticks();
            continue;
        }
        if (got == -EAGAIN || got == 0) {
            if (clock.Ticks() - lastProgress >= kWriteBoundMs) {
                // A card whose clock stopped takes nothing and reports nothing.
                End("device stopped taking audio");
                break;
            }
            const int ready = snd_pcm_wait(m_pcm, kWaitMs);
            if (ready >= 0) continue;
            got = ready;
        }
        if (!Recover(static_cast<int>(got))) break;
    }
    return done > 0 || !HasEnded() ? done : -1;
}

void PlaybackDeviceAlsa::Drain() {
    if (!m_pcm || HasEnded()) return;
    // snd_pcm_drain would block without a bound on a card that stopped; the
    // delay tells how much is still to be heard.
    const int64_t bound = m_bufferFrames * 1000 / kSampleRate + 500;
    for (int64_t waited = 0; waited < bound; waited += kWaitMs) {
        if (snd_pcm_state(m_pcm) != SND_PCM_STATE_RUNNING) break;
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_delay(m_pcm, &delay) < 0 || delay <= 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitMs));
    }
}

void PlaybackDeviceAlsa::Close() {
    if (!m_pcm) return;
    snd_pcm_drop(m_pcm);
    snd_pcm_close(m_pcm);
    m_pcm = nullptr;
}

}  // namespace wk
