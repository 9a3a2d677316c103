#include "platform/CaptureDeviceAlsa.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "core/Trace.h"
#include "platform/MachineSettings.h"

namespace wk {

namespace {

// Periods of about 1/20 s; the buffer holds several, so that a late reader
// does not overrun at once.
constexpr int kPeriodsPerSecond = 20;
constexpr int kPeriodsPerBuffer = 8;
constexpr auto kRetryPause = std::chrono::milliseconds(10);

std::string AlsaError(int error) {
    return snd_strerror(error);
}

void SetWhy(std::string* why, std::string text) {
    if (why) *why = std::move(text);
}

// Narrows the configuration space to what capturing needs. Returns 0 or the
// negative error, and says in `what` which setting failed.
int SetFormat(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, int sampleRate, int channels,
              std::string* what) {
    int err = snd_pcm_hw_params_any(pcm, hw);
    if (err < 0) {
        *what = "no configuration";
        return err;
    }
    if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
        *what = "interleaved access";
        return err;
    }
    if ((err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE)) < 0) {
        *what = "16-bit little-endian samples";
        return err;
    }
    if ((err = snd_pcm_hw_params_set_channels(pcm, hw, static_cast<unsigned>(channels))) < 0) {
        *what = std::to_string(channels) + " channels";
        return err;
    }
    if ((err = snd_pcm_hw_params_set_rate(pcm, hw, static_cast<unsigned>(sampleRate), 0)) < 0) {
        *what = std::to_string(sampleRate) + " Hz";
        return err;
    }
    return 0;
}

}  // namespace

CaptureDeviceAlsa::CaptureDeviceAlsa(std::string pcmName)
    : QueuedCaptureDevice(Pacing::kSource),
      m_pcmName(pcmName.empty() ? StoredPcmName() : std::move(pcmName)) {}

CaptureDeviceAlsa::~CaptureDeviceAlsa() {
    Close();
}

std::string CaptureDeviceAlsa::StoredPcmName() {
    const int number = MachineSettings::GetInt(MachineSettings::kLastSelectedMixer, 0);
    return number < 1 ? std::string("default") : "plughw:" + std::to_string(number);
}

std::string CaptureDeviceAlsa::Name() const {
    return "alsa:" + m_pcmName;
}

bool CaptureDeviceAlsa::SupportsFormat(int sampleRate, int channels, std::string* why) {
    if (sampleRate <= 0 || channels < 1) {
        SetWhy(why, Name() + ": invalid format");
        return false;
    }
    // A card in use cannot be opened twice; what it was opened with it offers.
    if (m_pcm != nullptr && sampleRate == SampleRate() && channels == Channels()) return true;
    snd_pcm_t* pcm = nullptr;
    int err = snd_pcm_open(&pcm, m_pcmName.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (err < 0) {
        SetWhy(why, "cannot open " + Name() + ": " + AlsaError(err));
        return false;
    }
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    err = snd_pcm_hw_params_any(pcm, hw);
    const char* refused = nullptr;
    if (err < 0) {
        refused = "any configuration";
    } else if (snd_pcm_hw_params_test_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) {
        refused = "interleaved access";
    } else if (snd_pcm_hw_params_test_format(pcm, hw, SND_PCM_FORMAT_S16_LE) < 0) {
        refused = "16-bit little-endian samples";
    } else if (snd_pcm_hw_params_test_channels(pcm, hw, static_cast<unsigned>(channels)) < 0) {
        refused = "this channel count";
    } else if (snd_pcm_hw_params_test_rate(pcm, hw, static_cast<unsigned>(sampleRate), 0) < 0) {
        refused = "this sample rate";
    }
    snd_pcm_close(pcm);
    if (refused == nullptr) return true;
    SetWhy(why, Name() + " does not offer " + refused + " (" + std::to_string(sampleRate) +
                    " Hz, " + std::to_string(channels) + " channels, 16-bit)");
    return false;
}

bool CaptureDeviceAlsa::OpenSource(int sampleRate, int channels, std::string* why) {
    int err = snd_pcm_open(&m_pcm, m_pcmName.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (err < 0) {
        m_pcm = nullptr;
        SetWhy(why, "cannot open " + Name() + ": " + AlsaError(err));
        return false;
    }
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    std::string what;
    err = SetFormat(m_pcm, hw, sampleRate, channels, &what);
    snd_pcm_uframes_t period =
        static_cast<snd_pcm_uframes_t>(std::max(1, sampleRate / kPeriodsPerSecond));
    snd_pcm_uframes_t buffer = period * kPeriodsPerBuffer;
    if (err >= 0) {
        int dir = 0;
        // Near values: whatever the device makes of them works.
        snd_pcm_hw_params_set_period_size_near(m_pcm, hw, &period, &dir);
        snd_pcm_hw_params_set_buffer_size_near(m_pcm, hw, &buffer);
        what = "the configuration";
        err = snd_pcm_hw_params(m_pcm, hw);
    }
    if (err >= 0) {
        int dir = 0;
        err = snd_pcm_hw_params_get_period_size(hw, &period, &dir);
        what = "the period size";
    }
    if (err >= 0) {
        what = "preparing";
        err = snd_pcm_prepare(m_pcm);
    }
    if (err < 0) {
        SetWhy(why, Name() + " refused " + what + ": " + AlsaError(err));
        snd_pcm_close(m_pcm);
        m_pcm = nullptr;
        return false;
    }
    m_periodFrames = std::max<int64_t>(1, static_cast<int64_t>(period));
    m_failures = 0;
    Trace(kTraceDebug, "%s open: %d Hz, %d channels, period %lld frames", Name().c_str(),
          sampleRate, channels, static_cast<long long>(m_periodFrames));
    return true;
}

void CaptureDeviceAlsa::CloseSource() {
    if (m_pcm) snd_pcm_close(m_pcm);
    m_pcm = nullptr;
}

bool CaptureDeviceAlsa::StartSource(std::string* why) {
    if (snd_pcm_state(m_pcm) != SND_PCM_STATE_PREPARED) {
        const int err = snd_pcm_prepare(m_pcm);
        if (err < 0) {
            SetWhy(why, "cannot prepare " + Name() + ": " + AlsaError(err));
            return false;
        }
    }
    const int err = snd_pcm_start(m_pcm);
    if (err < 0) {
        SetWhy(why, "cannot start " + Name() + ": " + AlsaError(err));
        return false;
    }
    return true;
}

void CaptureDeviceAlsa::StopSource() {
    snd_pcm_drop(m_pcm);
}

int CaptureDeviceAlsa::Restart() {
    int err = snd_pcm_prepare(m_pcm);
    if (err >= 0) err = snd_pcm_start(m_pcm);
    return err;
}

bool CaptureDeviceAlsa::Recover(int error) {
    if (error == -EPIPE) {
        Trace(kTraceError, "%s: overrun, recorded audio was lost", Name().c_str());
        error = Restart();
        if (error >= 0) return true;
    } else if (error == -ESTRPIPE) {
        Trace(kTraceInfo, "%s: suspended, resuming", Name().c_str());
        while ((error = snd_pcm_resume(m_pcm)) == -EAGAIN && !StopRequested())
            std::this_thread::sleep_for(kRetryPause);
        if (error < 0) error = Restart();
        if (error >= 0) return true;
    }
    if (error == -ENODEV) {
        SetSourceEndReason("device disappeared");
        return false;
    }
    ++m_failures;
    Trace(kTraceError, "%s: %s (failure %d)", Name().c_str(), AlsaError(error).c_str(), m_failures);
    if (m_failures >= kMaxFailures) {
        SetSourceEndReason("device failed: " + AlsaError(error));
        return false;
    }
    std::this_thread::sleep_for(kRetryPause);
    Restart();
    return true;
}

int64_t CaptureDeviceAlsa::ReadFrames(int16_t* out, int64_t frames) {
    // Within one period: the file plugin only reads its input for reads that
    // fit in the buffer, and short reads keep Reset prompt.
    const auto wanted = static_cast<snd_pcm_uframes_t>(std::min(frames, m_periodFrames));
    while (!StopRequested()) {
        snd_pcm_sframes_t got = snd_pcm_readi(m_pcm, out, wanted);
        if (got > 0) {
            m_failures = 0;
            return got;
        }
        if (got == 0) {
            SetSourceEndReason("end of input");
            return 0;
        }
        if (got == -EAGAIN) {
            const int ready = snd_pcm_wait(m_pcm, kWaitMs);
            if (ready >= 0) continue;
            got = ready;
        }
        if (!Recover(static_cast<int>(got))) return -1;
    }
    return 0;
}

}  // namespace wk
