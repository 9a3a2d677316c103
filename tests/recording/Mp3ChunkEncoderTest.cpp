// The MP3 path: EncoderBase/Mp3Writer/ChunkEncoder over the lame_enc.so built
// with the project (found beside the test executable), and the stream its
// chunk files make together.

#include <mpg123.h>

#include <cmath>
#include <filesystem>

#include "core/CTError.h"
#include "core/ConfigStore.h"
#include "core/EventLoop.h"
#include "core/RecordingNotifier.h"
#include "recording/ChunkEncoder.h"
#include "recording/EngineChoice.h"
#include "recording/SideFileCalculator.h"
#include "support/ErrorCode.h"
#include "support/Mp3Decode.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using test::CodeOf;
using test::DecodeMp3File;
using test::kToneLeft;
using test::kToneRight;
using test::Tone;

class Mp3ChunkEncoderTest : public test::TempHomeTest {
protected:
    // Encodes `pcm` in blocks the engine asks for, with side files, and
    // returns the number of blocks.
    int EncodeAll(ChunkEncoder& enc, const std::vector<int16_t>& pcm) {
        const int block = enc.StartFile();
        SideFileCalculator side(enc.SampleRate(), enc.Channels());
        int blocks = 0;
        for (size_t at = 0; at < pcm.size(); at += size_t(block), ++blocks) {
            std::vector<int16_t> padded(pcm.begin() + long(at),
                                        pcm.begin() + long(std::min(pcm.size(), at + block)));
            padded.resize(size_t(block), 0);
            side.AddBlock(padded);
            enc.SetSideBlocks(side.Dat(), side.Fgp());
            enc.EncodeBlock(padded.data(), block);
        }
        enc.FlushFile();
        enc.StopFile();
        return blocks;
    }
    std::string Base() const { return HomeFile("rec"); }
    void UseLibrary(const char* fake, const char* as) {
        fs::copy_file(std::string(WAVKEEP_TESTLIB_DIR) + "/libwavkeep_fake_" + fake + ".so",
                      HomeFile(as), fs::copy_options::overwrite_existing);
    }
};

TEST_F(Mp3ChunkEncoderTest, ChunksConcatenateIntoOneStreamOfWholeFrames) {
    ChunkEncoder enc;
    enc.SetEngine(kEngineLame);
    enc.Open();
    EXPECT_TRUE(enc.NoGap());
    enc.SetFileName(Base());
    enc.SetChunkSize(ChunkEncoder::ChunkBytes(2, 44100, 1));  // 176400 bytes
    // Cuts after blocks 39, 77 and 115: the recording ends at a cut, and the
    // engine's last frames go into chunk 3, no empty chunk 4 is begun.
    const int blocks = EncodeAll(enc, Tone(44100, 2, 115 * 1152));
    enc.Close();
    EXPECT_EQ(enc.ChunkNumber(), 3);
    EXPECT_FALSE(fs::exists(Base() + "_4.mp3"));

    std::string stream;
    int64_t datBytes = 0;
    for (int n = 1; n <= 3; ++n) {
        const std::string base = Base() + "_" + std::to_string(n);
        // The bit stream runs on: a chunk may begin in the middle of a frame.
        stream += test::ReadFile(base + ".mp3");
        // A wave sample is taken at a step's start, a fingerprint at its end,
        // so at a cut the two may differ by one step.
        const auto dat = fs::file_size(base + ".dat");
        EXPECT_NEAR(double(dat), double(fs::file_size(base + ".fgp")), 1.0) << n;
        EXPECT_GT(dat, 95u) << n;
        datBytes += static_cast<int64_t>(dat);
    }
    EXPECT_NEAR(static_cast<double>(datBytes), blocks * 1152 / 441.0, 1.0);

    // Joined, the chunks are nothing but frames of one constant-bit-rate
    // stereo stream, and every frame holds its audio.
    test::WriteFile(HomeFile("all.mp3"), stream);
    const test::DecodedMp3 all = DecodeMp3File(HomeFile("all.mp3"), nullptr, true);
    EXPECT_EQ(all.errors, 0);
    EXPECT_EQ(all.frameBytes, int64_t(stream.size()));
    EXPECT_TRUE(all.uniform);
    EXPECT_EQ(all.rate, 44100);
    EXPECT_EQ(all.bitrate, 128);
    EXPECT_EQ(all.mode, MPG123_M_STEREO);
    // One frame per block, less the encoder's look-ahead that a gapless
    // flush keeps back for a stream that might go on.
    EXPECT_GE(all.frames, blocks - 1);
    EXPECT_LE(all.frames, blocks + 1);
    EXPECT_TRUE(test::ToneInEveryInnerFrame(all, kToneLeft, kToneRight));
}

// Chunk length 0 gives one file without a number. The blade engine runs the
// project's encoder built without beFlushNoGap, as an older library would be.
TEST_F(Mp3ChunkEncoderTest, ModeRateAndBitRateReachTheHeaderWithEitherLibrary) {
    UseLibrary("nogapless", "bladeenc.so");
    // LAME is given joint stereo for dual channel; nothing else in the
    // record is set, so the header carries no flags.
    const std::tuple<int, int, int, int, int, int> cases[] = {
        {kEngineLame, kModeMono, 32000, 64, 1, MPG123_M_MONO},
        {kEngineLame, kModeDualChannel, 48000, 192, 2, MPG123_M_JOINT},
        {kEngineBlade, kModeDualChannel, 44100, 160, 2, MPG123_M_DUAL}};
    for (const auto& [engine, mode, rate, kbps, channels, header] : cases) {
        ChunkEncoder enc;
        enc.SetEngine(engine);
        enc.SetMode(mode);
        enc.SetSampleRate(rate);
        enc.SetBitRate(kbps);
        enc.Open();
        EXPECT_EQ(enc.NoGap(), engine == kEngineLame);
        EXPECT_EQ(enc.LibraryPath() == HomeFile("bladeenc.so"), engine == kEngineBlade);
        enc.SetFileName(Base());
        const int blocks = EncodeAll(enc, Tone(rate, channels, rate));
        enc.Close();
        EXPECT_FALSE(fs::exists(Base() + "_1.mp3"));
        const test::DecodedMp3 d = DecodeMp3File(Base() + ".mp3", nullptr, true);
        EXPECT_EQ(d.errors, 0);
        EXPECT_EQ(d.rate, rate);
        EXPECT_EQ(d.channels, channels);
        EXPECT_EQ(d.bitrate, kbps);
        EXPECT_EQ(d.mode, header);
        EXPECT_EQ(d.flags, 0);
        // beDeinitStream encodes all the encoder still holds; a gapless
        // flush keeps its look-ahead back.
        EXPECT_GE(d.frames, engine == kEngineBlade ? blocks + 1 : blocks - 1);
        EXPECT_TRUE(test::ToneInEveryInnerFrame(d, kToneLeft, kToneRight));
    }
}

TEST_F(Mp3ChunkEncoderTest, TenSecondChunksCutAfterBlock383AndAnAbortLeavesNoThirdChunk) {
    ChunkEncoder enc;
    enc.Open();
    enc.SetFileName(Base());
    enc.SetChunkSize(ChunkEncoder::ChunkBytes(2, 44100, 10));
    ASSERT_EQ(enc.StartFile(), 2304);
    const std::vector<int16_t> silence(2304, 0);
    for (int i = 1; i <= 767; ++i) {
        enc.EncodeBlock(silence.data(), 2304);
        ASSERT_EQ(enc.ChunkNumber(), i < 383 ? 1 : i < 766 ? 2 : 3) << "after block " << i;
    }
    enc.AbortFile();
    EXPECT_TRUE(fs::exists(Base() + "_2.mp3"));
    for (const char* ext : {".mp3", ".dat", ".fgp"})
        EXPECT_FALSE(fs::exists(Base() + "_3" + ext)) << ext;
}

TEST_F(Mp3ChunkEncoderTest, NoticesFiveAndEightReachTheSubscribers) {
    struct Counter : MessageReceiver {
        void HandleMessage(Message& m) override { ids.push_back(m.id); }
        std::vector<int> ids;
    } counter;
    EventLoop loop;
    ReceiverSlot slot(loop, &counter);
    RecordingNotifier::Instance().Subscribe(kEventChunkCompleted, loop, slot.Id(), 1129);
    RecordingNotifier::Instance().Subscribe(kEventChunkFilesClosed, loop, slot.Id(), 1128);
    ChunkEncoder enc;
    enc.Open();
    enc.SetFileName(Base());
    enc.SetChunkSize(ChunkEncoder::ChunkBytes(2, 44100, 1));
    EncodeAll(enc, Tone(44100, 2, 44100 * 2 + 100));
    loop.ProcessPending();
    RecordingNotifier::Instance().Unsubscribe(loop, slot.Id());
    EXPECT_EQ(counter.ids, (std::vector<int>{1129, 1129, 1128}));
}

TEST_F(Mp3ChunkEncoderTest, PreconditionsAndValidation) {
    ChunkEncoder enc;
    int16_t block[2304] = {};
    const std::pair<std::function<void()>, int> idle[] = {
        {[&] { enc.SetEngine(4); }, kErrEncoderEngineInvalid},
        {[&] { enc.SetSampleRate(22050); }, kErrEncoderSampleRateInvalid},
        {[&] { enc.SetBitRate(144); }, kErrEncoderBitrateInvalid},
        {[&] { enc.SetMode(1); }, kErrEncoderModeInvalid},
        {[&] { enc.SetFileName(""); }, kErrEncoderFileNameInvalid},
        {[&] { enc.StartFile(); }, kErrEncoderNotOpened},
        {[&] { enc.Close(); }, kErrEncoderNotOpened},
        {[&] { enc.EncodeBlock(block, 2304); }, kErrEncoderNotStarted},
    };
    for (const auto& [action, code] : idle) EXPECT_EQ(CodeOf(action), code);
    EXPECT_EQ(enc.BitRate(), 128);
    enc.Open();
    EXPECT_EQ(CodeOf([&] { enc.Open(); }), kErrEncoderNotIdle);
    EXPECT_EQ(CodeOf([&] { enc.SetEngine(kEngineVorbis); }), kErrEncoderNotIdle);
    EXPECT_EQ(CodeOf([&] { enc.StopFile(); }), kErrEncoderNotStarted);
    enc.SetFileName(Base());
    enc.StartFile();
    EXPECT_EQ(CodeOf([&] { enc.SetBitRate(192); }), kErrEncoderStarted);
    EXPECT_EQ(CodeOf([&] { enc.SetFileName("x"); }), kErrEncoderStarted);
    EXPECT_EQ(CodeOf([&] { enc.StartFile(); }), kErrEncoderNotOpened);
}

TEST_F(Mp3ChunkEncoderTest, BadLibrariesGiveLoadAndInitCodes) {
    // Not a shared object at all, then a real shared object without the functions.
    test::WriteFile(HomeFile("lame_enc.so"), "this is not a library");
    ChunkEncoder enc;
    EXPECT_EQ(CodeOf([&] { enc.Open(); }), kErrEncoderLoadEngine);
    UseLibrary("nofunc", "lame_enc.so");
    EXPECT_EQ(CodeOf([&] { enc.Open(); }), kErrEncoderInitEngine);
    EXPECT_EQ(enc.State(), kEncoderIdle);
    std::string why;
    EXPECT_FALSE(TestEncoderLibrary(HomeFile("lame_enc.so"), &why));
    EXPECT_EQ(why, "Invalid encoder");
    // A library that refuses every stream.
    UseLibrary("failinit", "lame_enc.so");
    enc.Open();
    enc.SetFileName(Base());
    EXPECT_EQ(CodeOf([&] { enc.StartFile(); }), kErrEncoderStartEngine);
    EXPECT_EQ(enc.State(), kEncoderOpened);
    EXPECT_FALSE(fs::exists(Base() + ".mp3"));
    enc.Close();
}

TEST_F(Mp3ChunkEncoderTest, EngineChoiceFromTheEncoderSetting) {
    ConfigStore c;
    const std::pair<const char*, int> cases[] = {
        {"Lame encoder", kEngineLame},  {"Vorbis encoder", kEngineVorbis},
        {"WAV ENCODER", kEngineVorbis}, {"Blade encoder", kEngineBlade},
        {"lame encoder", kEngineBlade}, {"", kEngineBlade}};
    for (const auto& [value, kind] : cases) {
        c.SetString("Encoder", value);
        EXPECT_EQ(ChooseEncoderEngine(c), kind) << value;
    }
}

TEST_F(Mp3ChunkEncoderTest, UnwritableFolderAndFullDisk) {
    ChunkEncoder enc;
    enc.Open();
    enc.SetFileName(HomeFile("missing/folder/rec"));
    EXPECT_EQ(CodeOf([&] { enc.StartFile(); }), kErrEncoderCreateFile);
    EXPECT_EQ(enc.State(), kEncoderOpened);
    // The second chunk's audio lands on a full disk.
    fs::create_symlink("/dev/full", Base() + "_2.mp3");
    enc.SetFileName(Base());
    enc.SetChunkSize(ChunkEncoder::ChunkBytes(2, 44100, 1));
    const int block = enc.StartFile();
    const auto pcm = Tone(44100, 2, 44100 * 2);
    EXPECT_EQ(CodeOf([&] {
                  for (size_t at = 0; at + block <= pcm.size(); at += block)
                      enc.EncodeBlock(&pcm[at], block);
              }),
              kErrEncoderWriteFile);
    EXPECT_NO_THROW(enc.StopFile());
    EXPECT_EQ(enc.State(), kEncoderOpened);
    const test::DecodedMp3 first = DecodeMp3File(Base() + "_1.mp3");
    EXPECT_EQ(first.errors, 0);
    EXPECT_GT(first.frames, 30);
}

}  // namespace
}  // namespace wk
