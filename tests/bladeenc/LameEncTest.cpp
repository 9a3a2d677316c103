// Exercises lame_enc.so through dlopen/dlsym, the way the recorder uses it,
// and checks what it produces by decoding it with libmpg123.

#include "bladeenc/BladeEnc.h"

#include <dlfcn.h>
#include <mpg123.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace wk {
namespace {

constexpr uint32_t kFrameSamples = 1152;
// lame delays the audio by 576 samples per channel; the flush pads the end.
constexpr size_t kEncoderDelay = 576;
constexpr double kToneHz = 440.0;
constexpr double kLeftAmplitude = 12000.0;
constexpr double kRightAmplitude = 4000.0;

struct Api {
    void* m_library = nullptr;
    std::string m_error;
    BEINITSTREAM m_init = nullptr;
    BEENCODECHUNK m_encode = nullptr;
    BEDEINITSTREAM m_deinit = nullptr;
    BECLOSESTREAM m_close = nullptr;
    BEVERSION m_version = nullptr;
    BEFLUSHNOGAP m_flushNoGap = nullptr;
};

template <typename Function>
void bind(Api& api, Function& function, const char* name) {
    function = reinterpret_cast<Function>(dlsym(api.m_library, name));
    if (function == nullptr) {
        api.m_error += std::string("missing ") + name + "; ";
    }
}

const Api& api() {
    static const Api kApi = [] {
        Api loaded;
        loaded.m_library = dlopen(WAVKEEP_LAME_ENC, RTLD_NOW | RTLD_LOCAL);
        if (loaded.m_library == nullptr) {
            loaded.m_error = dlerror();
            return loaded;
        }
        bind(loaded, loaded.m_init, TEXT_BEINITSTREAM);
        bind(loaded, loaded.m_encode, TEXT_BEENCODECHUNK);
        bind(loaded, loaded.m_deinit, TEXT_BEDEINITSTREAM);
        bind(loaded, loaded.m_close, TEXT_BECLOSESTREAM);
        bind(loaded, loaded.m_version, TEXT_BEVERSION);
        bind(loaded, loaded.m_flushNoGap, TEXT_BEFLUSHNOGAP);
        return loaded;
    }();
    return kApi;
}

struct Format {
    uint32_t m_rate = 44100;
    uint8_t m_mode = BE_MP3_MODE_STEREO;
    uint16_t m_bitrate = 128;
    bool m_crc = false;
    bool m_copyright = false;
    bool m_original = false;
    bool m_private = false;

    uint32_t channels() const { return m_mode == BE_MP3_MODE_MONO ? 1 : 2; }
};

BE_CONFIG makeConfig(const Format& format) {
    BE_CONFIG config;
    std::memset(&config, 0, sizeof(config));
    config.dwConfig = BE_CONFIG_MP3;
    config.format.mp3.dwSampleRate = format.m_rate;
    config.format.mp3.byMode = format.m_mode;
    config.format.mp3.wBitrate = format.m_bitrate;
    config.format.mp3.bCRC = format.m_crc;
    config.format.mp3.bCopyright = format.m_copyright;
    config.format.mp3.bOriginal = format.m_original;
    config.format.mp3.bPrivate = format.m_private;
    return config;
}

// Interleaved 16-bit tone; the channels differ in level so a mix-up shows.
std::vector<int16_t> makeTone(uint32_t rate, uint32_t channels, size_t frames,
                              size_t startFrame = 0) {
    std::vector<int16_t> pcm;
    pcm.reserve(frames * channels);
    for (size_t i = startFrame; i < startFrame + frames; ++i) {
        const double phase = 2.0 * std::numbers::pi * kToneHz * static_cast<double>(i) / rate;
        pcm.push_back(static_cast<int16_t>(std::lround(kLeftAmplitude * std::sin(phase))));
        if (channels == 2) {
            pcm.push_back(static_cast<int16_t>(std::lround(kRightAmplitude * std::sin(phase))));
        }
    }
    return pcm;
}

// One encoder stream; every output buffer is exactly the size the library
// reported, so the sanitizer catches any write past it.
class Encoder {
public:
    explicit Encoder(const Format& format) {
        BE_CONFIG config = makeConfig(format);
        m_initResult = api().m_init(&config, &m_samples, &m_bufferSize, &m_handle);
        m_output.resize(m_bufferSize);
    }
    ~Encoder() {
        if (m_handle != 0) {
            api().m_close(m_handle);
        }
    }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    BE_ERR initResult() const { return m_initResult; }
    uint32_t samplesPerCall() const { return m_samples; }
    uint32_t bufferSize() const { return m_bufferSize; }
    HBE_STREAM handle() const { return m_handle; }

    BE_ERR encode(std::span<const int16_t> pcm, std::vector<uint8_t>& out) {
        m_scratch.assign(pcm.begin(), pcm.end());
        uint32_t length = 0;
        const BE_ERR result = api().m_encode(m_handle, static_cast<uint32_t>(m_scratch.size()),
                                             m_scratch.data(), m_output.data(), &length);
        return append(result, length, out);
    }

    // Feeds `pcm` in calls cycling through `callSizes`; each call's output is
    // appended to `out` as one element.
    BE_ERR encodeAll(std::span<const int16_t> pcm, const std::vector<size_t>& callSizes,
                     std::vector<std::vector<uint8_t>>& out) {
        size_t position = 0;
        for (size_t call = 0; position < pcm.size(); ++call) {
            const size_t size = std::min(callSizes[call % callSizes.size()], pcm.size() - position);
            out.emplace_back();
            if (const BE_ERR result = encode(pcm.subspan(position, size), out.back())) {
                return result;
            }
            position += size;
        }
        return BE_ERR_SUCCESSFUL;
    }

    BE_ERR encodeAll(std::span<const int16_t> pcm, std::vector<uint8_t>& out) {
        std::vector<std::vector<uint8_t>> pieces;
        const BE_ERR result = encodeAll(pcm, {m_samples}, pieces);
        for (const auto& piece : pieces) {
            out.insert(out.end(), piece.begin(), piece.end());
        }
        return result;
    }

    BE_ERR flushNoGap(std::vector<uint8_t>& out) {
        uint32_t length = 0;
        const BE_ERR result = api().m_flushNoGap(m_handle, m_output.data(), &length);
        return append(result, length, out);
    }

    BE_ERR deinit(std::vector<uint8_t>& out) {
        uint32_t length = 0;
        const BE_ERR result = api().m_deinit(m_handle, m_output.data(), &length);
        return append(result, length, out);
    }

private:
    BE_ERR append(BE_ERR result, uint32_t length, std::vector<uint8_t>& out) {
        if (result == BE_ERR_SUCCESSFUL) {
            EXPECT_LE(length, m_bufferSize);
            out.insert(out.end(), m_output.begin(), m_output.begin() + std::min(length, m_bufferSize));
        }
        return result;
    }

    BE_ERR m_initResult = BE_ERR_INVALID_HANDLE;
    uint32_t m_samples = 0;
    uint32_t m_bufferSize = 0;
    HBE_STREAM m_handle = 0;
    std::vector<uint8_t> m_output;
    std::vector<int16_t> m_scratch;
};

std::vector<uint8_t> concatenate(const std::vector<std::vector<uint8_t>>& pieces) {
    std::vector<uint8_t> all;
    for (const auto& piece : pieces) {
        all.insert(all.end(), piece.begin(), piece.end());
    }
    return all;
}

struct Decoded {
    int m_error = MPG123_OK;
    std::vector<mpg123_frameinfo2> m_frames;
    std::vector<int16_t> m_pcm;  // interleaved
    long m_rate = 0;
    int m_channels = 0;
    size_t m_frameBytes = 0;  // sum of the frame sizes: equals the input when nothing was skipped
};

Decoded decode(const std::vector<uint8_t>& mp3) {
    Decoded decoded;
    int error = MPG123_OK;
    mpg123_handle* handle = mpg123_new(nullptr, &error);
    if (handle == nullptr) {
        decoded.m_error = error;
        return decoded;
    }
    // Resyncing would silently skip junk; a fault must surface instead.
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_NO_RESYNC, 0.0);
    mpg123_format_none(handle);
    for (long rate : {32000L, 44100L, 48000L}) {
        mpg123_format(handle, rate, MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    }
    error = mpg123_open_feed(handle);
    if (error == MPG123_OK && !mp3.empty()) {
        error = mpg123_feed(handle, mp3.data(), mp3.size());
    }
    while (error == MPG123_OK) {
        const int next = mpg123_framebyframe_next(handle);
        if (next == MPG123_NEED_MORE) {
            break;
        }
        if (next == MPG123_NEW_FORMAT) {
            int encoding = 0;
            mpg123_getformat(handle, &decoded.m_rate, &decoded.m_channels, &encoding);
        } else if (next != MPG123_OK) {
            error = next;
            break;
        }
        mpg123_frameinfo2 info{};
        error = mpg123_info2(handle, &info);
        if (error != MPG123_OK) {
            break;
        }
        decoded.m_frames.push_back(info);
        decoded.m_frameBytes += static_cast<size_t>(info.framesize);
        off_t frameNumber = 0;
        unsigned char* audio = nullptr;
        size_t bytes = 0;
        error = mpg123_framebyframe_decode(handle, &frameNumber, &audio, &bytes);
        if (error == MPG123_OK && audio != nullptr) {
            const auto* samples = reinterpret_cast<const int16_t*>(audio);
            decoded.m_pcm.insert(decoded.m_pcm.end(), samples, samples + bytes / sizeof(int16_t));
        }
    }
    decoded.m_error = error;
    mpg123_delete(handle);
    return decoded;
}

double rms(const std::vector<int16_t>& pcm, int channels, int channel, size_t firstFrame,
           size_t frameCount) {
    double sum = 0.0;
    for (size_t i = firstFrame; i < firstFrame + frameCount; ++i) {
        const double value = pcm[i * static_cast<size_t>(channels) + static_cast<size_t>(channel)];
        sum += value * value;
    }
    return frameCount == 0 ? 0.0 : std::sqrt(sum / static_cast<double>(frameCount));
}

size_t ceilDiv(size_t value, size_t divisor) {
    return (value + divisor - 1) / divisor;
}

// The frames must cover the encoder delay plus every input sample, and the
// flush may add at most one further frame of padding.
void expectFrameCountFor(const Decoded& decoded, size_t framesPerChannel) {
    EXPECT_GE(decoded.m_frames.size(), ceilDiv(framesPerChannel + kEncoderDelay, kFrameSamples));
    EXPECT_LE(decoded.m_frames.size(), ceilDiv(framesPerChannel, kFrameSamples) + 1);
}

// Every MPEG frame away from the stream's ends must carry the tone at its
// level on each channel: a frame the decoder had to drop (for instance over
// a broken bit reservoir) comes out silent.
void expectToneInEveryInnerFrame(const Decoded& decoded, int channels) {
    ASSERT_EQ(decoded.m_channels, channels);
    ASSERT_EQ(decoded.m_pcm.size(), decoded.m_frames.size() * kFrameSamples * channels);
    const double expected[] = {kLeftAmplitude / std::numbers::sqrt2,
                               kRightAmplitude / std::numbers::sqrt2};
    // The first two frames hold encoder and decoder delay, the last two the
    // fade into the flush padding.
    for (size_t frame = 2; frame + 2 < decoded.m_frames.size(); ++frame) {
        for (int channel = 0; channel < channels; ++channel) {
            const double level =
                rms(decoded.m_pcm, channels, channel, frame * kFrameSamples, kFrameSamples);
            ASSERT_NEAR(level, expected[channel], expected[channel] * 0.1)
                << "frame " << frame << " channel " << channel;
        }
    }
}

class LameEncTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(api().m_error.empty()) << WAVKEEP_LAME_ENC << ": " << api().m_error;
    }
};

TEST_F(LameEncTest, StereoToneBecomesConstantBitrateStream) {
    const Format format;  // 44100 Hz, stereo, 128 kbit/s
    Encoder encoder(format);
    ASSERT_EQ(encoder.initResult(), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(encoder.samplesPerCall(), 2 * kFrameSamples);
    EXPECT_GE(encoder.bufferSize(), 7200u);

    const size_t frames = 5 * 44100;
    const auto pcm = makeTone(format.m_rate, 2, frames);
    std::vector<uint8_t> mp3;
    ASSERT_EQ(encoder.encodeAll(pcm, mp3), BE_ERR_SUCCESSFUL);
    ASSERT_EQ(encoder.deinit(mp3), BE_ERR_SUCCESSFUL);

    const Decoded decoded = decode(mp3);
    ASSERT_EQ(decoded.m_error, MPG123_OK) << mpg123_plain_strerror(decoded.m_error);
    EXPECT_EQ(decoded.m_frameBytes, mp3.size()) << "bytes outside MPEG frames (a tag?)";
    expectFrameCountFor(decoded, frames);
    EXPECT_EQ(decoded.m_rate, 44100);
    for (const auto& info : decoded.m_frames) {
        ASSERT_EQ(info.layer, 3);
        ASSERT_EQ(info.version, MPG123_1_0);
        ASSERT_EQ(info.bitrate, 128);
        ASSERT_EQ(info.vbr, MPG123_CBR);
        ASSERT_EQ(info.rate, 44100);
    }
    expectToneInEveryInnerFrame(decoded, 2);
}

struct FormatCase {
    const char* m_name;
    Format m_format;
    int m_expectedMode;
    int m_expectedFlags;
};

TEST_F(LameEncTest, FrameHeadersFollowTheConfiguration) {
    const FormatCase cases[] = {
        {"mono 32000/64", {32000, BE_MP3_MODE_MONO, 64}, MPG123_M_MONO, 0},
        {"dual channel 48000/192 copyright original",
         {48000, BE_MP3_MODE_DUALCHANNEL, 192, false, true, true, false},
         MPG123_M_DUAL,
         MPG123_COPYRIGHT | MPG123_ORIGINAL},
        {"joint stereo 44100/320 crc private",
         {44100, BE_MP3_MODE_JSTEREO, 320, true, false, false, true},
         MPG123_M_JOINT,
         MPG123_CRC | MPG123_PRIVATE},
        {"stereo 48000/32 original",
         {48000, BE_MP3_MODE_STEREO, 32, false, false, true, false},
         MPG123_M_STEREO,
         MPG123_ORIGINAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_name);
        const uint32_t channels = c.m_format.channels();
        Encoder encoder(c.m_format);
        ASSERT_EQ(encoder.initResult(), BE_ERR_SUCCESSFUL);
        EXPECT_EQ(encoder.samplesPerCall(), kFrameSamples * channels);

        const size_t frames = c.m_format.m_rate;  // one second
        std::vector<uint8_t> mp3;
        ASSERT_EQ(encoder.encodeAll(makeTone(c.m_format.m_rate, channels, frames), mp3),
                  BE_ERR_SUCCESSFUL);
        ASSERT_EQ(encoder.deinit(mp3), BE_ERR_SUCCESSFUL);

        const Decoded decoded = decode(mp3);
        ASSERT_EQ(decoded.m_error, MPG123_OK) << mpg123_plain_strerror(decoded.m_error);
        EXPECT_EQ(decoded.m_frameBytes, mp3.size());
        expectFrameCountFor(decoded, frames);
        for (const auto& info : decoded.m_frames) {
            ASSERT_EQ(info.rate, static_cast<long>(c.m_format.m_rate));
            ASSERT_EQ(info.bitrate, c.m_format.m_bitrate);
            ASSERT_EQ(info.mode, c.m_expectedMode);
            ASSERT_EQ(info.flags, c.m_expectedFlags);
        }
        // 32 kbit/s stereo is too coarse to hold the tone's level exactly.
        if (c.m_format.m_bitrate >= 64) {
            expectToneInEveryInnerFrame(decoded, static_cast<int>(channels));
        }
    }
}

TEST_F(LameEncTest, InvalidConfigurationsAreRefused) {
    struct Case {
        const char* m_name;
        std::function<void(BE_CONFIG&)> m_change;
        BE_ERR m_expected;
    };
    const Case cases[] = {
        {"not mp3", [](BE_CONFIG& c) { c.dwConfig = 1; }, BE_ERR_INVALID_FORMAT},
        {"rate 22050", [](BE_CONFIG& c) { c.format.mp3.dwSampleRate = 22050; },
         BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"rate 0", [](BE_CONFIG& c) { c.format.mp3.dwSampleRate = 0; },
         BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"bit rate 144", [](BE_CONFIG& c) { c.format.mp3.wBitrate = 144; },
         BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"bit rate 0", [](BE_CONFIG& c) { c.format.mp3.wBitrate = 0; },
         BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"bit rate 384", [](BE_CONFIG& c) { c.format.mp3.wBitrate = 384; },
         BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"mode 7", [](BE_CONFIG& c) { c.format.mp3.byMode = 7; },
         BE_ERR_INVALID_FORMAT_PARAMETERS},
        {"mode 4", [](BE_CONFIG& c) { c.format.mp3.byMode = 4; },
         BE_ERR_INVALID_FORMAT_PARAMETERS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_name);
        BE_CONFIG config = makeConfig({});
        c.m_change(config);
        uint32_t samples = 99;
        uint32_t bufferSize = 99;
        HBE_STREAM handle = 99;
        EXPECT_EQ(api().m_init(&config, &samples, &bufferSize, &handle), c.m_expected);
        EXPECT_EQ(handle, 0u);
    }

    BE_CONFIG config = makeConfig({});
    uint32_t samples = 0;
    uint32_t bufferSize = 0;
    HBE_STREAM handle = 0;
    EXPECT_EQ(api().m_init(nullptr, &samples, &bufferSize, &handle),
              BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(api().m_init(&config, nullptr, &bufferSize, &handle),
              BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(api().m_init(&config, &samples, nullptr, &handle),
              BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(api().m_init(&config, &samples, &bufferSize, nullptr),
              BE_ERR_INVALID_FORMAT_PARAMETERS);
}

TEST_F(LameEncTest, BadEncodeArgumentsAreRefusedAndTheStreamGoesOn) {
    for (const Format& format : {Format{}, Format{32000, BE_MP3_MODE_MONO, 64}}) {
        SCOPED_TRACE(format.channels() == 1 ? "mono" : "stereo");
        Encoder encoder(format);
        ASSERT_EQ(encoder.initResult(), BE_ERR_SUCCESSFUL);
        const uint32_t perCall = encoder.samplesPerCall();
        std::vector<int16_t> pcm = makeTone(format.m_rate, format.channels(), kFrameSamples + 1);
        std::vector<uint8_t> out(encoder.bufferSize());
        uint32_t length = 7;

        const HBE_STREAM h = encoder.handle();
        EXPECT_EQ(api().m_encode(h, perCall + format.channels(), pcm.data(), out.data(), &length),
                  BE_ERR_INVALID_FORMAT_PARAMETERS);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(api().m_encode(h, perCall, nullptr, out.data(), &length),
                  BE_ERR_INVALID_FORMAT_PARAMETERS);
        EXPECT_EQ(api().m_encode(h, perCall, pcm.data(), nullptr, &length),
                  BE_ERR_INVALID_FORMAT_PARAMETERS);
        EXPECT_EQ(api().m_encode(h, perCall, pcm.data(), out.data(), nullptr),
                  BE_ERR_INVALID_FORMAT_PARAMETERS);
        if (format.channels() == 2) {
            EXPECT_EQ(api().m_encode(h, 3, pcm.data(), out.data(), &length),
                      BE_ERR_INVALID_FORMAT_PARAMETERS)
                << "half a stereo frame";
        }
        EXPECT_EQ(api().m_encode(h, 0, nullptr, out.data(), &length), BE_ERR_SUCCESSFUL);
        EXPECT_EQ(length, 0u);

        // None of the refused calls fed the encoder: the stream matches one
        // that only ever saw good calls.
        const auto tone = makeTone(format.m_rate, format.channels(), format.m_rate / 2);
        std::vector<uint8_t> afterRefusals;
        ASSERT_EQ(encoder.encodeAll(tone, afterRefusals), BE_ERR_SUCCESSFUL);
        ASSERT_EQ(encoder.deinit(afterRefusals), BE_ERR_SUCCESSFUL);
        Encoder clean(format);
        std::vector<uint8_t> reference;
        ASSERT_EQ(clean.encodeAll(tone, reference), BE_ERR_SUCCESSFUL);
        ASSERT_EQ(clean.deinit(reference), BE_ERR_SUCCESSFUL);
        EXPECT_EQ(afterRefusals, reference);
    }
}

TEST_F(LameEncTest, OutputDoesNotDependOnCallSizes) {
    struct Case {
        Format m_format;
        std::vector<size_t> m_callSizes;  // all within the per-call limit
    };
    const Case cases[] = {
        {Format{}, {2, 1000, 2304, 46, 1534, 2304, 2304, 10}},
        {Format{32000, BE_MP3_MODE_MONO, 64}, {1, 1152, 577, 3, 1000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_format.channels() == 1 ? "mono" : "stereo");
        const auto pcm = makeTone(c.m_format.m_rate, c.m_format.channels(), c.m_format.m_rate);

        Encoder regular(c.m_format);
        std::vector<uint8_t> expected;
        ASSERT_EQ(regular.encodeAll(pcm, expected), BE_ERR_SUCCESSFUL);
        ASSERT_EQ(regular.deinit(expected), BE_ERR_SUCCESSFUL);

        Encoder irregular(c.m_format);
        std::vector<std::vector<uint8_t>> pieces;
        ASSERT_EQ(irregular.encodeAll(pcm, c.m_callSizes, pieces), BE_ERR_SUCCESSFUL);
        std::vector<uint8_t> actual = concatenate(pieces);
        ASSERT_EQ(irregular.deinit(actual), BE_ERR_SUCCESSFUL);
        EXPECT_EQ(actual, expected);
    }
}

// The recorder switches files between two encode calls without flushing; the
// files, joined later, must be one clean stream.
TEST_F(LameEncTest, ChunkFilesSplitBetweenCallsJoinIntoOneStream) {
    const Format format;
    Encoder encoder(format);
    ASSERT_EQ(encoder.initResult(), BE_ERR_SUCCESSFUL);
    const size_t frames = 3 * 44100;
    std::vector<std::vector<uint8_t>> calls;
    ASSERT_EQ(encoder.encodeAll(makeTone(format.m_rate, 2, frames), {encoder.samplesPerCall()},
                                calls),
              BE_ERR_SUCCESSFUL);
    calls.emplace_back();
    ASSERT_EQ(encoder.deinit(calls.back()), BE_ERR_SUCCESSFUL);

    std::vector<std::vector<uint8_t>> files;
    const size_t callsPerFile[] = {1, 7, 30, 2, 19};
    for (size_t call = 0, file = 0; call < calls.size(); ++file) {
        files.emplace_back();
        for (size_t n = 0; n < callsPerFile[file % std::size(callsPerFile)] && call < calls.size();
             ++n, ++call) {
            files.back().insert(files.back().end(), calls[call].begin(), calls[call].end());
        }
    }
    ASSERT_GT(files.size(), 5u);

    const auto joined = concatenate(files);
    const Decoded decoded = decode(joined);
    ASSERT_EQ(decoded.m_error, MPG123_OK) << mpg123_plain_strerror(decoded.m_error);
    EXPECT_EQ(decoded.m_frameBytes, joined.size());
    expectFrameCountFor(decoded, frames);
    expectToneInEveryInnerFrame(decoded, 2);
}

TEST_F(LameEncTest, NoGapFlushEndsOneFileAndTheStreamContinues) {
    const Format format;
    Encoder encoder(format);
    ASSERT_EQ(encoder.initResult(), BE_ERR_SUCCESSFUL);
    // Neither part is a whole number of MPEG frames.
    const size_t firstFrames = 2 * 44100 + 100;
    const size_t secondFrames = 44100 + 321;
    std::vector<uint8_t> first;
    ASSERT_EQ(encoder.encodeAll(makeTone(format.m_rate, 2, firstFrames), first),
              BE_ERR_SUCCESSFUL);
    const size_t beforeFlush = first.size();
    ASSERT_EQ(encoder.flushNoGap(first), BE_ERR_SUCCESSFUL);
    EXPECT_GT(first.size(), beforeFlush) << "the flush had buffered frames to write";
    std::vector<uint8_t> second;
    ASSERT_EQ(encoder.encodeAll(makeTone(format.m_rate, 2, secondFrames, firstFrames), second),
              BE_ERR_SUCCESSFUL);
    ASSERT_EQ(encoder.deinit(second), BE_ERR_SUCCESSFUL);

    // Each file on its own is whole MPEG frames and decodes cleanly.
    for (const auto* file : {&first, &second}) {
        const Decoded decoded = decode(*file);
        ASSERT_EQ(decoded.m_error, MPG123_OK) << mpg123_plain_strerror(decoded.m_error);
        EXPECT_EQ(decoded.m_frameBytes, file->size());
    }
    // The second file does not lean on the first one's bit reservoir: its
    // very first frame already carries the tone.
    const Decoded secondAlone = decode(second);
    ASSERT_FALSE(secondAlone.m_frames.empty());
    EXPECT_GT(rms(secondAlone.m_pcm, 2, 0, 0, kFrameSamples), kLeftAmplitude / 4);

    std::vector<uint8_t> joined = first;
    joined.insert(joined.end(), second.begin(), second.end());
    const Decoded decoded = decode(joined);
    ASSERT_EQ(decoded.m_error, MPG123_OK) << mpg123_plain_strerror(decoded.m_error);
    EXPECT_EQ(decoded.m_frameBytes, joined.size());
    expectFrameCountFor(decoded, firstFrames + secondFrames);
    expectToneInEveryInnerFrame(decoded, 2);
}

TEST_F(LameEncTest, VersionAdvertisesTheNoGapFlush) {
    BE_VERSION version;
    std::memset(&version, 0xAB, sizeof(version));
    api().m_version(&version);
    EXPECT_EQ(version.byDLLMajorVersion, 1);
    EXPECT_GE(version.byMajorVersion, 3);
    // The recorder's test for whether beFlushNoGap may be used.
    EXPECT_TRUE(version.byMajorVersion > 2 && version.byMinorVersion > 91)
        << int(version.byMajorVersion) << "." << int(version.byMinorVersion);
    EXPECT_LT(std::strlen(version.zHomepage), sizeof(version.zHomepage));
    EXPECT_LE(version.byMonth, 12);
    EXPECT_LE(version.byDay, 31);
    for (uint8_t reserved : version.btReserved) {
        ASSERT_EQ(reserved, 0);
    }
    api().m_version(nullptr);  // tolerated
}

TEST_F(LameEncTest, UnknownClosedAndFinishedHandlesAreRefused) {
    std::vector<int16_t> pcm = makeTone(44100, 2, kFrameSamples);
    std::vector<uint8_t> out(16384);
    uint32_t length = 0;

    HBE_STREAM closed = 0;
    {
        Encoder encoder(Format{});
        ASSERT_EQ(encoder.initResult(), BE_ERR_SUCCESSFUL);
        closed = encoder.handle();
    }
    int local = 0;
    struct Case {
        const char* m_name;
        HBE_STREAM m_handle;
    };
    const Case cases[] = {
        {"zero", 0},
        {"never issued", reinterpret_cast<HBE_STREAM>(&local)},
        {"all ones", ~HBE_STREAM{0}},
        {"closed", closed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_name);
        EXPECT_EQ(api().m_encode(c.m_handle, 2 * kFrameSamples, pcm.data(), out.data(), &length),
                  BE_ERR_INVALID_HANDLE);
        EXPECT_EQ(api().m_flushNoGap(c.m_handle, out.data(), &length), BE_ERR_INVALID_HANDLE);
        EXPECT_EQ(api().m_deinit(c.m_handle, out.data(), &length), BE_ERR_INVALID_HANDLE);
        EXPECT_EQ(api().m_close(c.m_handle), BE_ERR_INVALID_HANDLE);
    }

    // After beDeinitStream the encoder is spent; only closing remains.
    BE_CONFIG config = makeConfig({});
    uint32_t samples = 0;
    uint32_t bufferSize = 0;
    HBE_STREAM finished = 0;
    ASSERT_EQ(api().m_init(&config, &samples, &bufferSize, &finished), BE_ERR_SUCCESSFUL);
    ASSERT_LE(bufferSize, out.size());
    ASSERT_EQ(api().m_deinit(finished, out.data(), &length), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(api().m_encode(finished, samples, pcm.data(), out.data(), &length),
              BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(api().m_flushNoGap(finished, out.data(), &length), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(api().m_deinit(finished, out.data(), &length), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(api().m_close(finished), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(api().m_close(finished), BE_ERR_INVALID_HANDLE);
}

TEST_F(LameEncTest, DistinctStreamsEncodeConcurrently) {
    const Format formats[] = {
        Format{},
        Format{48000, BE_MP3_MODE_JSTEREO, 192},
        Format{32000, BE_MP3_MODE_MONO, 64},
        Format{44100, BE_MP3_MODE_DUALCHANNEL, 256},
    };
    auto encodeOneSecond = [](const Format& format, std::vector<uint8_t>& mp3) {
        Encoder encoder(format);
        if (encoder.initResult() != BE_ERR_SUCCESSFUL) {
            return encoder.initResult();
        }
        const auto pcm = makeTone(format.m_rate, format.channels(), format.m_rate);
        if (const BE_ERR result = encoder.encodeAll(pcm, mp3)) {
            return result;
        }
        return encoder.deinit(mp3);
    };

    std::vector<std::vector<uint8_t>> expected(std::size(formats));
    for (size_t i = 0; i < std::size(formats); ++i) {
        ASSERT_EQ(encodeOneSecond(formats[i], expected[i]), BE_ERR_SUCCESSFUL);
    }

    std::vector<std::vector<uint8_t>> actual(std::size(formats));
    std::vector<BE_ERR> results(std::size(formats), BE_ERR_INVALID_HANDLE);
    {
        std::vector<std::jthread> threads;
        for (size_t i = 0; i < std::size(formats); ++i) {
            threads.emplace_back(
                [&, i] { results[i] = encodeOneSecond(formats[i], actual[i]); });
        }
    }
    for (size_t i = 0; i < std::size(formats); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[i], BE_ERR_SUCCESSFUL);
        EXPECT_EQ(actual[i], expected[i]);
    }
}

}  // namespace
}  // namespace wk
