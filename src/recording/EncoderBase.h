#pragma once
// The MP3 engine: drives an encoder library with the BladeEnc interface.
//
// Engine kinds as stored: 1 Blade ("bladeenc.so"), 2 LAME ("lame_enc.so"),
// 3 Ogg Vorbis (VorbisWriter; no library of this family).
// States: 1 idle -> Open -> 2 opened -> StartEngine -> 3 started ->
// StopEngine -> opened -> Close -> idle. Every failure throws CTErrorRecorder
// and leaves the state as it was.
//
// Owned by one recording session: Open and Close run on the controller's
// thread while no session thread exists, everything else on the session thread.

#include <cstdint>
#include <string>

#include "bladeenc/BladeEnc.h"
#include "recording/EncoderLibrary.h"

namespace wk {

inline constexpr int kEngineBlade = 1;
inline constexpr int kEngineLame = 2;
inline constexpr int kEngineVorbis = 3;

inline constexpr int kEncoderIdle = 1;
inline constexpr int kEncoderOpened = 2;
inline constexpr int kEncoderStarted = 3;

class EncoderBase {
public:
    EncoderBase();
    // Stops a started engine and closes an opened one; never throws.
    virtual ~EncoderBase();
    EncoderBase(const EncoderBase&) = delete;
    EncoderBase& operator=(const EncoderBase&) = delete;

    void SetEngine(int kind);        // idle only; 1..3 else 5
    void SetSampleRate(int rate);    // not started; 32000, 44100, 48000 else 6
    virtual void SetBitRate(int kbps);  // not started; the MP3 bit rates else 7
    void SetMode(int mode);          // not started; 0 stereo, 2 dual, 3 mono else 8

    virtual void Open();
    virtual void Close();
    // Returns the samples per call and the output buffer size the engine wants.
    virtual void StartEngine(uint32_t& samplesPerCall, uint32_t& bufferSize);
    virtual void StopEngine();
    virtual void EncodeChunk(uint32_t count, const int16_t* samples, uint8_t* output,
                             uint32_t& outputLength);
    virtual void Flush(uint8_t* output, uint32_t& outputLength);

    int State() const { return m_state; }
    int Engine() const { return m_engine; }
    int SampleRate() const { return m_sampleRate; }
    int BitRate() const { return m_bitRate; }
    int Mode() const { return m_mode; }
    int Channels() const { return m_mode == BE_MP3_MODE_MONO ? 1 : 2; }
    bool NoGap() const { return m_noGap; }
    // Samples of the encoder's delay on the started stream: what the library
    // reports, else kTypicalEncoderDelay.
    uint32_t EncoderDelay() const;
    // The delay of the common Layer III encoders at 44.1 kHz.
    static constexpr uint32_t kTypicalEncoderDelay = 576;
    const BE_CONFIG& Config() const { return m_config; }
    const std::string& LibraryPath() const { return m_library.Path(); }

    static bool IsValidBitRate(int kbps);
    // "lame_enc.so" for kind 2, "bladeenc.so" for every other kind.
    static const char* LibraryName(int kind);
    // The record beInitStream gets (mode 1 for dual channel with LAME).
    static BE_CONFIG BuildConfig(int engine, int sampleRate, int mode, int bitRate);

protected:
    void Require(bool condition, int code) const;

    int m_sampleRate = 44100;
    int m_mode = BE_MP3_MODE_STEREO;
    int m_bitRate = 128;
    int m_state = kEncoderIdle;
    int m_engine = kEngineLame;
    BE_CONFIG m_config{};
    EncoderLibrary m_library;
    HBE_STREAM m_stream = 0;
    bool m_noGap = false;
};

}  // namespace wk
