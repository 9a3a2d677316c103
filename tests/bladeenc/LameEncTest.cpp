// The contract of lame_enc.so's BladeEnc interface that the chunk encoder
// does not reach: header flags, refused configurations, arguments and
// handles, call sizes, the gapless flush, the version record and streams on
// several threads. The library is loaded by path as the recorder loads it;
// the stream the recorder makes of it is checked in Mp3ChunkEncoderTest.

#include <gtest/gtest.h>
#include <mpg123.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <thread>

#include "bladeenc/BladeEnc.h"
#include "recording/EncoderLibrary.h"
#include "support/Mp3Decode.h"
#include "support/TempHome.h"

namespace wk {
namespace {

using test::kToneLeft;
using test::kToneRight;
using test::Tone;

EncoderLibrary& Lib() {
    static EncoderLibrary lib;
    return lib;
}

class LameEncTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        s_loaded = Lib().Load(WAVKEEP_LAME_ENC, &error) && Lib().ResolveFunctions();
        s_error = error;
    }
    void SetUp() override { ASSERT_TRUE(s_loaded) << WAVKEEP_LAME_ENC << ": " << s_error; }
    static inline bool s_loaded = false;
    static inline std::string s_error;
};

BE_CONFIG Config(uint32_t rate = 44100, uint8_t mode = BE_MP3_MODE_STEREO, uint16_t kbps = 128,
                 int flags = 0) {
    BE_CONFIG c;
    std::memset(&c, 0, sizeof c);
    c.format.mp3 = {
        rate, mode, kbps, flags & 1, (flags >> 1) & 1, (flags >> 2) & 1, (flags >> 3) & 1};
    return c;
}
constexpr int kPrivate = 1, kCrc = 2, kCopyright = 4, kOriginal = 8;

// One stream; every output buffer is exactly the size the library reported,
// so the sanitizer catches any write past it.
struct Stream {
    explicit Stream(BE_CONFIG config) {
        init = Lib().initStream(&config, &samples, &size, &handle);
        out.resize(size);
    }
    ~Stream() {
        if (handle) Lib().closeStream(handle);
    }
    // After the call: `length` is read once the call has set it.
    BE_ERR Append(BE_ERR r, const uint32_t& length) {
        EXPECT_LE(length, size);
        if (r == BE_ERR_SUCCESSFUL)
            mp3.insert(mp3.end(), out.begin(), out.begin() + std::min(length, size));
        return r;
    }
    // Feeds `pcm` in calls cycling through `calls` (default: the reported size).
    BE_ERR Encode(std::vector<int16_t> pcm, std::vector<size_t> calls = {}) {
        if (calls.empty()) calls = {samples};
        for (size_t at = 0, k = 0; at < pcm.size(); at += calls[k++ % calls.size()]) {
            uint32_t length = 0;
            const auto n = uint32_t(std::min(calls[k % calls.size()], pcm.size() - at));
            if (BE_ERR r = Append(
                    Lib().encodeChunk(handle, n, pcm.data() + at, out.data(), &length), length))
                return r;
        }
        return BE_ERR_SUCCESSFUL;
    }
    BE_ERR Deinit() {
        uint32_t length = 0;
        return Append(Lib().deinitStream(handle, out.data(), &length), length);
    }
    BE_ERR FlushNoGap() {
        uint32_t length = 0;
        return Append(Lib().flushNoGap(handle, out.data(), &length), length);
    }
    BE_ERR init;
    uint32_t samples = 0, size = 0;
    HBE_STREAM handle = 0;
    std::vector<uint8_t> out;
    std::string mp3;
};

// One stream of `seconds` of the tone, ended by beDeinitStream.
std::string Encoded(const BE_CONFIG& config, double seconds, std::vector<size_t> calls = {}) {
    Stream s(config);
    const int channels = config.format.mp3.byMode == BE_MP3_MODE_MONO ? 1 : 2;
    EXPECT_EQ(s.init, BE_ERR_SUCCESSFUL);
    EXPECT_EQ(s.Encode(Tone(config.format.mp3.dwSampleRate, channels,
                            size_t(seconds * config.format.mp3.dwSampleRate)),
                       calls),
              BE_ERR_SUCCESSFUL);
    EXPECT_EQ(s.Deinit(), BE_ERR_SUCCESSFUL);
    return s.mp3;
}

// Decoded with no search past junk: bytes that are no frame fail it.
test::DecodedMp3 Decode(const std::string& mp3) {
    static test::TempDir dir;
    test::WriteFile(dir.File("s.mp3"), mp3);
    test::DecodedMp3 d = test::DecodeMp3File(dir.File("s.mp3"), nullptr, true);
    EXPECT_EQ(d.errors, 0);
    EXPECT_EQ(d.frameBytes, int64_t(mp3.size())) << "bytes outside MPEG frames (a tag?)";
    return d;
}

TEST_F(LameEncTest, FrameHeadersFollowTheConfiguration) {
    const std::tuple<BE_CONFIG, int, int> cases[] = {
        {Config(32000, BE_MP3_MODE_MONO, 64), MPG123_M_MONO, 0},
        {Config(48000, BE_MP3_MODE_DUALCHANNEL, 192, kCopyright | kOriginal), MPG123_M_DUAL,
         MPG123_COPYRIGHT | MPG123_ORIGINAL},
        {Config(44100, BE_MP3_MODE_JSTEREO, 320, kCrc | kPrivate), MPG123_M_JOINT,
         MPG123_CRC | MPG123_PRIVATE},
        {Config(48000, BE_MP3_MODE_STEREO, 32, kOriginal), MPG123_M_STEREO, MPG123_ORIGINAL},
        {Config(), MPG123_M_STEREO, 0},
    };
    for (const auto& [config, mode, flags] : cases) {
        const auto& mp3 = config.format.mp3;
        SCOPED_TRACE(std::to_string(mp3.dwSampleRate) + " " + std::to_string(mp3.wBitrate));
        Stream s(config);
        EXPECT_EQ(s.samples, 1152u * (mp3.byMode == BE_MP3_MODE_MONO ? 1 : 2));
        EXPECT_GE(s.size, 7200u);
        const test::DecodedMp3 d = Decode(Encoded(config, 1));
        // The frames cover the encoder's delay of 576 samples and every
        // input sample; the flush adds at most one frame of padding.
        EXPECT_GE(d.frames, int((mp3.dwSampleRate + 576 + 1151) / 1152));
        EXPECT_LE(d.frames, int((mp3.dwSampleRate + 1151) / 1152 + 1));
        EXPECT_TRUE(d.uniform);  // constant bit rate, the same header throughout
        EXPECT_EQ(d.version, MPG123_1_0);
        EXPECT_EQ(d.layer, 3);
        EXPECT_EQ(d.rate, long(mp3.dwSampleRate));
        EXPECT_EQ(d.bitrate, int(mp3.wBitrate));
        EXPECT_EQ(d.mode, mode);
        EXPECT_EQ(d.flags, flags);
        // 32 kbit/s is too coarse to hold the tone's level exactly.
        EXPECT_TRUE(mp3.wBitrate < 64 || test::ToneInEveryInnerFrame(d, kToneLeft, kToneRight));
    }
}

TEST_F(LameEncTest, InvalidConfigurationsAreRefused) {
    const std::pair<std::function<void(BE_CONFIG&)>, BE_ERR> cases[] = {
        {[](BE_CONFIG& c) { c.dwConfig = 1; }, BE_ERR_INVALID_FORMAT},
        {[](BE_CONFIG& c) { c.format.mp3.dwSampleRate = 22050; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {[](BE_CONFIG& c) { c.format.mp3.dwSampleRate = 0; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {[](BE_CONFIG& c) { c.format.mp3.wBitrate = 144; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {[](BE_CONFIG& c) { c.format.mp3.wBitrate = 0; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {[](BE_CONFIG& c) { c.format.mp3.wBitrate = 384; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {[](BE_CONFIG& c) { c.format.mp3.byMode = 7; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
        {[](BE_CONFIG& c) { c.format.mp3.byMode = 4; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        BE_CONFIG config = Config();
        cases[i].first(config);
        uint32_t samples = 99, size = 99;
        HBE_STREAM handle = 99;
        EXPECT_EQ(Lib().initStream(&config, &samples, &size, &handle), cases[i].second) << i;
        EXPECT_EQ(handle, 0u);
    }
    BE_CONFIG c = Config();
    uint32_t n = 0;
    HBE_STREAM h = 0;
    for (auto* config : {static_cast<BE_CONFIG*>(nullptr), &c})
        for (int missing = config ? 0 : 3; missing < 3; ++missing)
            EXPECT_EQ(Lib().initStream(config, missing == 0 ? nullptr : &n,
                                       missing == 1 ? nullptr : &n, missing == 2 ? nullptr : &h),
                      BE_ERR_INVALID_FORMAT_PARAMETERS)
                << missing;
}

TEST_F(LameEncTest, BadArgumentsAreRefusedAndTheStreamGoesOnAsIfNeverMade) {
    for (const BE_CONFIG& config : {Config(), Config(32000, BE_MP3_MODE_MONO, 64)}) {
        const int channels = config.format.mp3.byMode == BE_MP3_MODE_MONO ? 1 : 2;
        Stream s(config);
        std::vector<int16_t> pcm = Tone(config.format.mp3.dwSampleRate, channels, 1153);
        uint32_t length = 7;
        const auto encode = [&](uint32_t n, int16_t* in, uint8_t* out, uint32_t* len) {
            return Lib().encodeChunk(s.handle, n, in, out, len);
        };
        EXPECT_EQ(encode(s.samples + channels, pcm.data(), s.out.data(), &length),
                  BE_ERR_INVALID_FORMAT_PARAMETERS);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(encode(s.samples, nullptr, s.out.data(), &length),
                  BE_ERR_INVALID_FORMAT_PARAMETERS);
        EXPECT_EQ(encode(s.samples, pcm.data(), nullptr, &length),
                  BE_ERR_INVALID_FORMAT_PARAMETERS);
        EXPECT_EQ(encode(s.samples, pcm.data(), s.out.data(), nullptr),
                  BE_ERR_INVALID_FORMAT_PARAMETERS);
        EXPECT_EQ(channels == 2 ? encode(3, pcm.data(), s.out.data(), &length)
                                : BE_ERR_INVALID_FORMAT_PARAMETERS,
                  BE_ERR_INVALID_FORMAT_PARAMETERS);  // half a stereo frame
        EXPECT_EQ(encode(0, nullptr, s.out.data(), &length), BE_ERR_SUCCESSFUL);
        EXPECT_EQ(length, 0u);
        // None of the refused calls fed the encoder.
        ASSERT_EQ(s.Encode(Tone(config.format.mp3.dwSampleRate, channels,
                                config.format.mp3.dwSampleRate / 2)),
                  BE_ERR_SUCCESSFUL);
        ASSERT_EQ(s.Deinit(), BE_ERR_SUCCESSFUL);
        EXPECT_TRUE(s.mp3 == Encoded(config, 0.5));
    }
}

TEST_F(LameEncTest, OutputDoesNotDependOnCallSizes) {
    EXPECT_TRUE(Encoded(Config(), 1, {2, 1000, 2304, 46, 1534, 2304, 2304, 10}) ==
                Encoded(Config(), 1));
    const BE_CONFIG mono = Config(32000, BE_MP3_MODE_MONO, 64);
    EXPECT_TRUE(Encoded(mono, 1, {1, 1152, 577, 3, 1000}) == Encoded(mono, 1));
}

// Neither part is a whole number of MPEG frames; each decodes on its own,
// the second does not lean on the first one's bit reservoir, and joined
// they are one stream.
TEST_F(LameEncTest, NoGapFlushEndsOneFileAndTheStreamContinues) {
    Stream s(Config());
    const size_t first = 2 * 44100 + 100, second = 44100 + 321;
    ASSERT_EQ(s.Encode(Tone(44100, 2, first)), BE_ERR_SUCCESSFUL);
    const size_t beforeFlush = s.mp3.size();
    ASSERT_EQ(s.FlushNoGap(), BE_ERR_SUCCESSFUL);
    EXPECT_GT(s.mp3.size(), beforeFlush) << "the flush had buffered frames to write";
    const std::string one = s.mp3;
    ASSERT_EQ(s.Encode(Tone(44100, 2, second, first)), BE_ERR_SUCCESSFUL);
    ASSERT_EQ(s.Deinit(), BE_ERR_SUCCESSFUL);
    Decode(one);
    const test::DecodedMp3 two = Decode(s.mp3.substr(one.size()));
    EXPECT_GT(two.frameRms[0].at(0), kToneLeft / 4);
    const test::DecodedMp3 joined = Decode(s.mp3);
    EXPECT_GE(joined.frames, int((first + second + 576 + 1151) / 1152));
    EXPECT_TRUE(test::ToneInEveryInnerFrame(joined, kToneLeft, kToneRight));
}

TEST_F(LameEncTest, VersionAdvertisesTheNoGapFlush) {
    BE_VERSION v;
    std::memset(&v, 0xAB, sizeof v);
    Lib().version(&v);
    EXPECT_EQ(v.byDLLMajorVersion, 1);
    // The recorder's test for whether beFlushNoGap may be used.
    EXPECT_TRUE(v.byMajorVersion > 2 && v.byMinorVersion > 91)
        << int(v.byMajorVersion) << "." << int(v.byMinorVersion);
    EXPECT_LT(std::strlen(v.zHomepage), sizeof v.zHomepage);
    EXPECT_TRUE(v.byMonth <= 12 && v.byDay <= 31);
    EXPECT_EQ(std::string(v.btReserved, v.btReserved + sizeof v.btReserved),
              std::string(sizeof v.btReserved, '\0'));
    Lib().version(nullptr);  // tolerated
}

TEST_F(LameEncTest, UnknownClosedAndFinishedHandlesAreRefused) {
    std::vector<int16_t> pcm = Tone(44100, 2, 1152);
    std::vector<uint8_t> out(16384);
    uint32_t length = 0;
    const HBE_STREAM closed = Stream(Config()).handle;
    Stream spent(Config());  // after beDeinitStream only closing remains
    ASSERT_EQ(spent.Deinit(), BE_ERR_SUCCESSFUL);
    int local = 0;
    for (HBE_STREAM h : {HBE_STREAM{0}, reinterpret_cast<HBE_STREAM>(&local), ~HBE_STREAM{0},
                         closed, spent.handle}) {
        EXPECT_EQ(Lib().encodeChunk(h, 2304, pcm.data(), out.data(), &length),
                  BE_ERR_INVALID_HANDLE);
        EXPECT_EQ(Lib().flushNoGap(h, out.data(), &length), BE_ERR_INVALID_HANDLE);
        EXPECT_EQ(Lib().deinitStream(h, out.data(), &length), BE_ERR_INVALID_HANDLE);
        EXPECT_EQ(h == spent.handle ? BE_ERR_INVALID_HANDLE : Lib().closeStream(h),
                  BE_ERR_INVALID_HANDLE);
    }
    EXPECT_EQ(Lib().closeStream(spent.handle), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(Lib().closeStream(spent.handle), BE_ERR_INVALID_HANDLE);
    spent.handle = 0;
}

TEST_F(LameEncTest, DistinctStreamsEncodeConcurrently) {
    const BE_CONFIG configs[] = {Config(), Config(48000, BE_MP3_MODE_JSTEREO, 192),
                                 Config(32000, BE_MP3_MODE_MONO, 64),
                                 Config(44100, BE_MP3_MODE_DUALCHANNEL, 256)};
    std::vector<std::string> alone, together(std::size(configs));
    for (const BE_CONFIG& c : configs) alone.push_back(Encoded(c, 1));
    {
        std::vector<std::jthread> threads;
        for (size_t i = 0; i < std::size(configs); ++i)
            threads.emplace_back([&, i] { together[i] = Encoded(configs[i], 1); });
    }
    for (size_t i = 0; i < std::size(configs); ++i) EXPECT_TRUE(together[i] == alone[i]) << i;
}

}  // namespace
}  // namespace wk
