// lame_enc.so: the BladeEnc encoder-library interface over libmp3lame.
//
// Handles are heap addresses, but every call looks them up in a registry
// first, so a stale or made-up handle is refused instead of dereferenced.

#include "bladeenc/BladeEnc.h"

#include <lame/lame.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#define WK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint8_t kDllMajorVersion = 1;
constexpr uint8_t kDllMinorVersion = 0;
constexpr const char* kHomepage = "https://lame.sourceforge.io";

// One MPEG-1 Layer III frame holds 1152 samples per channel.
constexpr uint32_t kFrameSamples = 1152;
// lame's own sizing rule for one encode call (1.25 x samples + 7200); its flush
// needs at most 7200, which this also covers.
constexpr uint32_t kOutputBufferSize = kFrameSamples * 5 / 4 + 7200;

// Quality 3 is what the lame command line uses unless told otherwise, so our
// files sound like (and cost about as much CPU as) `lame -b N --cbr`; it
// encodes many times faster than real time.
constexpr int kQuality = 3;

constexpr std::array<uint32_t, 3> kSampleRates{32000, 44100, 48000};
constexpr std::array<uint16_t, 14> kBitrates{32,  40,  48,  56,  64,  80,  96,
                                             112, 128, 160, 192, 224, 256, 320};

struct Stream {
    lame_t m_gfp = nullptr;
    uint32_t m_channels = 2;
    uint32_t m_samplesPerCall = 0;  // 16-bit values over all channels
    uint32_t m_bufferSize = 0;
    bool m_finished = false;  // beDeinitStream ran; only beCloseStream remains
    std::mutex m_mutex;       // one call at a time on this stream

    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() {
        if (m_gfp != nullptr) {
            lame_close(m_gfp);
        }
    }
};

// Streams stay alive while any call holds a reference, so closing a handle on
// one thread cannot free it under a call still running on another.
std::mutex g_registryMutex;
std::unordered_map<HBE_STREAM, std::shared_ptr<Stream>> g_streams;

// lame_init and lame_init_params fill library-wide tables on first use.
std::mutex g_lameSetupMutex;

std::shared_ptr<Stream> findStream(HBE_STREAM handle) {
    std::lock_guard lock(g_registryMutex);
    auto it = g_streams.find(handle);
    return it == g_streams.end() ? nullptr : it->second;
}

void discardMessage(const char* /*format*/, va_list /*args*/) {}

template <typename Range, typename Value>
bool contains(const Range& range, Value value) {
    return std::find(std::begin(range), std::end(range), value) != std::end(range);
}

BE_ERR lameResultToError(int result) {
    return result == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT_PARAMETERS;
}

MPEG_mode toLameMode(uint8_t mode) {
    switch (mode) {
    case BE_MP3_MODE_STEREO:
        return STEREO;
    case BE_MP3_MODE_JSTEREO:
        return JOINT_STEREO;
    case BE_MP3_MODE_DUALCHANNEL:
        return DUAL_CHANNEL;
    default:
        return MONO;
    }
}

// Shared by both flush flavours: they differ only in the lame call and in
// whether the stream may continue.
template <typename Flush>
BE_ERR flushStream(HBE_STREAM handle, uint8_t* output, uint32_t* outputLength, Flush flush,
                   bool finish) {
    if (outputLength != nullptr) {
        *outputLength = 0;
    }
    auto stream = findStream(handle);
    if (!stream) {
        return BE_ERR_INVALID_HANDLE;
    }
    if (output == nullptr || outputLength == nullptr) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    std::lock_guard lock(stream->m_mutex);
    if (stream->m_finished) {
        return BE_ERR_INVALID_HANDLE;
    }
    const int written = flush(stream->m_gfp, output, static_cast<int>(stream->m_bufferSize));
    if (written < 0) {
        return lameResultToError(written);
    }
    if (finish) {
        stream->m_finished = true;
    }
    *outputLength = static_cast<uint32_t>(written);
    return BE_ERR_SUCCESSFUL;
}

uint8_t monthFromName(std::string_view name) {
    constexpr std::array<std::string_view, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (size_t i = 0; i < kMonths.size(); ++i) {
        if (kMonths[i] == name) {
            return static_cast<uint8_t>(i + 1);
        }
    }
    return 0;
}

uint8_t clampToByte(int value) {
    return static_cast<uint8_t>(std::clamp(value, 0, 255));
}

}  // namespace

WK_EXPORT BE_ERR beInitStream(PBE_CONFIG config, uint32_t* samples, uint32_t* bufferSize,
                              PHBE_STREAM handle) {
    if (config == nullptr || samples == nullptr || bufferSize == nullptr || handle == nullptr) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    *samples = 0;
    *bufferSize = 0;
    *handle = 0;
    if (config->dwConfig != BE_CONFIG_MP3) {
        return BE_ERR_INVALID_FORMAT;
    }
    const auto& mp3 = config->format.mp3;
    // Read by value: members of the packed struct may sit misaligned.
    const uint32_t sampleRate = mp3.dwSampleRate;
    const uint16_t bitrate = mp3.wBitrate;
    const uint8_t mode = mp3.byMode;
    if (!contains(kSampleRates, sampleRate) || !contains(kBitrates, bitrate) ||
        mode > BE_MP3_MODE_MONO) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }

    auto stream = std::make_shared<Stream>();
    stream->m_channels = mode == BE_MP3_MODE_MONO ? 1 : 2;
    stream->m_samplesPerCall = kFrameSamples * stream->m_channels;
    stream->m_bufferSize = kOutputBufferSize;
    {
        std::lock_guard lock(g_lameSetupMutex);
        lame_t gfp = lame_init();
        if (gfp == nullptr) {
            return BE_ERR_NO_MORE_HANDLES;
        }
        stream->m_gfp = gfp;
        lame_set_errorf(gfp, discardMessage);
        lame_set_debugf(gfp, discardMessage);
        lame_set_msgf(gfp, discardMessage);
        lame_set_in_samplerate(gfp, static_cast<int>(sampleRate));
        lame_set_out_samplerate(gfp, static_cast<int>(sampleRate));
        lame_set_num_channels(gfp, static_cast<int>(stream->m_channels));
        lame_set_mode(gfp, toLameMode(mode));
        lame_set_VBR(gfp, vbr_off);
        lame_set_brate(gfp, bitrate);
        lame_set_quality(gfp, kQuality);
        lame_set_error_protection(gfp, mp3.bCRC != 0);
        lame_set_copyright(gfp, mp3.bCopyright != 0);
        lame_set_original(gfp, mp3.bOriginal != 0);
        lame_set_extension(gfp, mp3.bPrivate != 0);
        // Chunk files are concatenated into one stream and cut frame by frame,
        // so any tag or Info frame would end up in the middle of the audio.
        lame_set_bWriteVbrTag(gfp, 0);
        lame_set_write_id3tag_automatic(gfp, 0);
        if (lame_init_params(gfp) < 0) {
            return BE_ERR_INVALID_FORMAT_PARAMETERS;
        }
    }

    const auto key = reinterpret_cast<HBE_STREAM>(stream.get());
    {
        std::lock_guard lock(g_registryMutex);
        g_streams.emplace(key, stream);
    }
    *samples = stream->m_samplesPerCall;
    *bufferSize = stream->m_bufferSize;
    *handle = key;
    return BE_ERR_SUCCESSFUL;
}

WK_EXPORT BE_ERR beEncodeChunk(HBE_STREAM handle, uint32_t samples, int16_t* pcm,
                               uint8_t* output, uint32_t* outputLength) {
    if (outputLength != nullptr) {
        *outputLength = 0;
    }
    auto stream = findStream(handle);
    if (!stream) {
        return BE_ERR_INVALID_HANDLE;
    }
    if (output == nullptr || outputLength == nullptr || (pcm == nullptr && samples != 0) ||
        samples > stream->m_samplesPerCall || samples % stream->m_channels != 0) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    std::lock_guard lock(stream->m_mutex);
    if (stream->m_finished) {
        return BE_ERR_INVALID_HANDLE;
    }
    const int frames = static_cast<int>(samples / stream->m_channels);
    if (frames == 0) {
        return BE_ERR_SUCCESSFUL;
    }
    const int capacity = static_cast<int>(stream->m_bufferSize);
    const int written =
        stream->m_channels == 2
            ? lame_encode_buffer_interleaved(stream->m_gfp, pcm, frames, output, capacity)
            : lame_encode_buffer(stream->m_gfp, pcm, pcm, frames, output, capacity);
    if (written < 0) {
        return lameResultToError(written);
    }
    *outputLength = static_cast<uint32_t>(written);
    return BE_ERR_SUCCESSFUL;
}

WK_EXPORT BE_ERR beDeinitStream(HBE_STREAM handle, uint8_t* output, uint32_t* outputLength) {
    return flushStream(handle, output, outputLength, lame_encode_flush, true);
}

// Tests build a variant without it, standing in for libraries that predate it.
#ifndef WAVKEEP_OMIT_FLUSH_NOGAP
WK_EXPORT BE_ERR beFlushNoGap(HBE_STREAM handle, uint8_t* output, uint32_t* outputLength) {
    return flushStream(handle, output, outputLength, lame_encode_flush_nogap, false);
}
#endif

WK_EXPORT BE_ERR beEncoderDelay(HBE_STREAM handle, uint32_t* samples) {
    auto stream = findStream(handle);
    if (!stream || samples == nullptr) {
        return stream ? BE_ERR_INVALID_FORMAT_PARAMETERS : BE_ERR_INVALID_HANDLE;
    }
    std::lock_guard lock(stream->m_mutex);
    const int delay = lame_get_encoder_delay(stream->m_gfp);
    if (delay < 0) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    *samples = static_cast<uint32_t>(delay);
    return BE_ERR_SUCCESSFUL;
}

WK_EXPORT BE_ERR beCloseStream(HBE_STREAM handle) {
    std::shared_ptr<Stream> stream;
    {
        std::lock_guard lock(g_registryMutex);
        auto it = g_streams.find(handle);
        if (it == g_streams.end()) {
            return BE_ERR_INVALID_HANDLE;
        }
        stream = std::move(it->second);
        g_streams.erase(it);
    }
    // The encoder is released here, or by whichever call still holds it.
    return BE_ERR_SUCCESSFUL;
}

WK_EXPORT void beVersion(PBE_VERSION version) {
    if (version == nullptr) {
        return;
    }
    std::memset(version, 0, sizeof(*version));
    version->byDLLMajorVersion = kDllMajorVersion;
    version->byDLLMinorVersion = kDllMinorVersion;

    lame_version_t engine{};
    get_lame_version_numerical(&engine);
    version->byMajorVersion = clampToByte(engine.major);
    version->byMinorVersion = clampToByte(engine.minor);
    version->byAlphaLevel = clampToByte(engine.alpha);
    version->byBetaLevel = clampToByte(engine.beta);

    // __DATE__ reads "Mmm dd yyyy", the day space-padded.
    constexpr std::string_view kBuildDate = __DATE__;
    if (kBuildDate.size() == 11) {
        const char dayTens = kBuildDate[4] == ' ' ? '0' : kBuildDate[4];
        version->byDay = static_cast<uint8_t>((dayTens - '0') * 10 + (kBuildDate[5] - '0'));
        version->byMonth = monthFromName(kBuildDate.substr(0, 3));
        int year = 0;
        for (char digit : kBuildDate.substr(7, 4)) {
            year = year * 10 + (digit - '0');
        }
        version->wYear = static_cast<uint16_t>(year);
    }
    std::strncpy(version->zHomepage, kHomepage, BE_MAX_HOMEPAGE);
}
