#include "recording/EncoderBase.h"

#include <cstring>

#include "core/CTError.h"
#include "core/SystemInfo.h"
#include "core/Trace.h"

namespace wk {

EncoderBase::EncoderBase() = default;

EncoderBase::~EncoderBase() {
    try {
        if (m_state == kEncoderStarted) EncoderBase::StopEngine();
        if (m_state == kEncoderOpened) EncoderBase::Close();
    } catch (const CTError& e) {
        Trace(kTraceError, "Encoder shut down with error %d", e.GetCode());
    }
}

void EncoderBase::Require(bool condition, int code) const {
    if (!condition) throw CTErrorRecorder(code);
}

bool EncoderBase::IsValidBitRate(int kbps) {
    static const int kRates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    for (int r : kRates)
        if (r == kbps) return true;
    return false;
}

const char* EncoderBase::LibraryName(int kind) {
    return kind == kEngineLame ? "lame_enc.so" : "bladeenc.so";
}

BE_CONFIG EncoderBase::BuildConfig(int engine, int sampleRate, int mode, int bitRate) {
    BE_CONFIG config;
    std::memset(&config, 0, sizeof config);
    config.dwConfig = BE_CONFIG_MP3;
    config.format.mp3.dwSampleRate = static_cast<uint32_t>(sampleRate);
    config.format.mp3.byMode = static_cast<uint8_t>(
        mode == BE_MP3_MODE_DUALCHANNEL && engine == kEngineLame ? BE_MP3_MODE_JSTEREO : mode);
    config.format.mp3.wBitrate = static_cast<uint16_t>(bitRate);
    return config;
}

void EncoderBase::SetEngine(int kind) {
    Require(m_state == kEncoderIdle, kErrEncoderNotIdle);
    Require(kind >= kEngineBlade && kind <= kEngineVorbis, kErrEncoderEngineInvalid);
    m_engine = kind;
}

void EncoderBase::SetSampleRate(int rate) {
    Require(m_state != kEncoderStarted, kErrEncoderStarted);
    Require(rate == 32000 || rate == 44100 || rate == 48000, kErrEncoderSampleRateInvalid);
    m_sampleRate = rate;
}

void EncoderBase::SetBitRate(int kbps) {
    Require(m_state != kEncoderStarted, kErrEncoderStarted);
    Require(IsValidBitRate(kbps), kErrEncoderBitrateInvalid);
    m_bitRate = kbps;
}

void EncoderBase::SetMode(int mode) {
    Require(m_state != kEncoderStarted, kErrEncoderStarted);
    Require(mode == BE_MP3_MODE_STEREO || mode == BE_MP3_MODE_DUALCHANNEL ||
                mode == BE_MP3_MODE_MONO,
            kErrEncoderModeInvalid);
    m_mode = mode;
}

void EncoderBase::Open() {
    Require(m_state == kEncoderIdle, kErrEncoderNotIdle);
    const char* name = LibraryName(m_engine);
    Trace(kTraceDetail, "LIB Load %s", name);
    std::string error;
    if (!m_library.Load(name, &error)) {
        Trace(kTraceError, "Error by LoadLibrary - Error Code=%s (%s)", GetLastErrorString().c_str(),
              error.c_str());
        throw CTErrorRecorder(kErrEncoderLoadEngine);
    }
    if (!m_library.ResolveFunctions()) {
        Trace(kTraceDetail, "LIB Free %s", name);
        m_library.Unload();
        throw CTErrorRecorder(kErrEncoderInitEngine);
    }
    m_noGap = false;
    if (m_engine == kEngineLame) {
        BE_VERSION version;
        std::memset(&version, 0, sizeof version);
        m_library.version(&version);
        // Without beFlushNoGap the flag would send Flush to a missing function.
        m_noGap = version.byMajorVersion > 2 && version.byMinorVersion > 91 &&
                  m_library.flushNoGap != nullptr;
    }
    m_state = kEncoderOpened;
}

void EncoderBase::Close() {
    Require(m_state == kEncoderOpened, kErrEncoderNotOpened);
    Trace(kTraceDetail, "LIB Load Mp3 Encoder");
    const bool released = m_library.Unload();
    m_state = kEncoderIdle;
    if (!released) throw CTErrorRecorder(kErrEncoderFreeEngine);
}

void EncoderBase::StartEngine(uint32_t& samplesPerCall, uint32_t& bufferSize) {
    Require(m_state == kEncoderOpened, kErrEncoderNotOpened);
    m_config = BuildConfig(m_engine, m_sampleRate, m_mode, m_bitRate);
    uint32_t samples = 0;
    uint32_t size = 0;
    HBE_STREAM stream = 0;
    if (m_library.initStream(&m_config, &samples, &size, &stream) != BE_ERR_SUCCESSFUL ||
        samples == 0 || size == 0) {
        Trace(kTraceError, "beInitStream refused %d Hz, mode %d, %d kbit/s", m_sampleRate,
              m_config.format.mp3.byMode, m_bitRate);
        throw CTErrorRecorder(kErrEncoderStartEngine);
    }
    m_stream = stream;
    samplesPerCall = samples;
    bufferSize = size;
    m_state = kEncoderStarted;
}

uint32_t EncoderBase::EncoderDelay() const {
    uint32_t delay = 0;
    if (m_state == kEncoderStarted && m_library.encoderDelay != nullptr &&
        m_library.encoderDelay(m_stream, &delay) == BE_ERR_SUCCESSFUL && delay < 4096) {
        return delay;
    }
    return kTypicalEncoderDelay;
}

void EncoderBase::StopEngine() {
    Require(m_state == kEncoderStarted, kErrEncoderNotStarted);
    if (m_library.closeStream(m_stream) != BE_ERR_SUCCESSFUL)
        throw CTErrorRecorder(kErrEncoderStopEngine);
    m_stream = 0;
    m_state = kEncoderOpened;
}

void EncoderBase::EncodeChunk(uint32_t count, const int16_t* samples, uint8_t* output,
                              uint32_t& outputLength) {
    Require(m_state == kEncoderStarted, kErrEncoderNotStarted);
    outputLength = 0;
    if (m_library.encodeChunk(m_stream, count, const_cast<int16_t*>(samples), output,
                              &outputLength) != BE_ERR_SUCCESSFUL)
        throw CTErrorRecorder(kErrEncoderEncode);
}

void EncoderBase::Flush(uint8_t* output, uint32_t& outputLength) {
    Require(m_state == kEncoderStarted, kErrEncoderNotStarted);
    outputLength = 0;
    if (m_noGap) {
        m_library.flushNoGap(m_stream, output, &outputLength);
        return;
    }
    if (m_library.deinitStream(m_stream, output, &outputLength) != BE_ERR_SUCCESSFUL)
        throw CTErrorRecorder(kErrEncoderFlush);
}

}  // namespace wk
