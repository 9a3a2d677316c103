// The MP3 path: EncoderBase/Mp3Writer/ChunkEncoder over the lame_enc.so built
// with the project (found beside the test executable).


#include <cmath>
#include <filesystem>
#include <fstream>
#include <vector>

#include "core/CTError.h"
#include "core/EventLoop.h"
#include "core/ProgramHome.h"
#include "core/RecordingNotifier.h"
#include "recording/ChunkEncoder.h"
#include "recording/EngineChoice.h"
#include "recording/SideFileCalculator.h"
#include "core/ConfigStore.h"
#include "support/Mp3Decode.h"
#include "support/TempHome.h"

namespace wk {
namespace {

using Decoded = test::DecodedMp3;
using test::DecodeMp3File;

std::vector<int16_t> Tone(int frames, int channels, double amplitude = 8000) {
    std::vector<int16_t> pcm;
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            pcm.push_back(static_cast<int16_t>(amplitude * std::sin(i * (c ? 0.05 : 0.063))));
    return pcm;
}

class Mp3ChunkEncoderTest : public test::TempHomeTest {
protected:
    // Encodes `pcm` in blocks the engine asks for, with side files, and
    // returns the number of blocks.
    int EncodeAll(ChunkEncoder& enc, const std::vector<int16_t>& pcm, bool flush = true) {
        const int block = enc.StartFile();
        SideFileCalculator side(enc.SampleRate(), enc.Channels());
        int blocks = 0;
        std::vector<int16_t> padded;
        for (size_t at = 0; at < pcm.size(); at += static_cast<size_t>(block)) {
            padded.assign(pcm.begin() + static_cast<long>(at),
                          pcm.begin() + static_cast<long>(std::min(pcm.size(), at + block)));
            padded.resize(static_cast<size_t>(block), 0);
            side.AddBlock(padded);
            enc.SetSideBlocks(side.Dat(), side.Fgp());
            enc.EncodeBlock(padded.data(), block);
            ++blocks;
        }
        if (flush) enc.FlushFile();
        enc.StopFile();
        return blocks;
    }
    std::string ChunkBase() const { return HomeFile("rec"); }
};

TEST_F(Mp3ChunkEncoderTest, ChunksConcatenateIntoOneDecodableStream) {
    ChunkEncoder enc;
    enc.SetEngine(kEngineLame);
    enc.Open();
    EXPECT_TRUE(enc.NoGap());
    enc.SetFileName(ChunkBase());
    enc.SetChunkSize(ChunkEncoder::ChunkBytes(2, 44100, 1));  // 176400 bytes
    // Cuts after blocks 39, 77 and 115: the recording ends at a cut, and the
    // engine's last frames go into chunk 3, no empty chunk 4 is begun.
    const int blocks = EncodeAll(enc, Tone(115 * 1152, 2));
    enc.Close();
    EXPECT_EQ(enc.ChunkNumber(), 3);

    std::string stream;
    int64_t datBytes = 0;
    for (int n = 1; n <= 3; ++n) {
        const std::string base = ChunkBase() + "_" + std::to_string(n);
        // The bit stream runs on: a chunk may begin in the middle of a frame.
        const std::string mp3 = test::ReadFile(base + ".mp3");
        ASSERT_GT(mp3.size(), 1000u) << n;
        stream += mp3;
        // A wave sample is taken at a step's start, a fingerprint at its end,
        // so at a cut the two may differ by one step.
        const auto dat = std::filesystem::file_size(base + ".dat");
        EXPECT_NEAR(double(dat), double(std::filesystem::file_size(base + ".fgp")), 1.0) << n;
        datBytes += static_cast<int64_t>(dat);
    }
    EXPECT_FALSE(std::filesystem::exists(ChunkBase() + "_4.mp3"));
    EXPECT_NEAR(static_cast<double>(datBytes), blocks * 1152 / 441.0, 1.0);

    test::WriteFile(HomeFile("all.mp3"), stream);
    const Decoded all = DecodeMp3File(HomeFile("all.mp3"));
    EXPECT_EQ(all.errors, 0);
    EXPECT_EQ(all.rate, 44100);
    EXPECT_EQ(all.channels, 2);
    // One frame per block, less the encoder's look-ahead that a gapless
    // flush keeps back for a stream that might go on.
    EXPECT_GE(all.frames, blocks - 1);
    EXPECT_LE(all.frames, blocks + 1);
    EXPECT_EQ(all.samplesPerChannel, int64_t{all.frames} * 1152);
    EXPECT_GT(all.rms, 3000);
}

TEST_F(Mp3ChunkEncoderTest, LibraryWithoutGaplessFlushStillWorks) {
    std::filesystem::copy_file(std::string(WAVKEEP_TESTLIB_DIR) + "/libwavkeep_fake_nogapless.so",
                               HomeFile("bladeenc.so"));
    ChunkEncoder enc;
    enc.SetEngine(kEngineBlade);
    enc.Open();
    EXPECT_FALSE(enc.NoGap());
    EXPECT_EQ(enc.LibraryPath(), HomeFile("bladeenc.so"));
    enc.SetFileName(ChunkBase());
    const int blocks = EncodeAll(enc, Tone(44100 * 2, 2));
    enc.Close();
    const Decoded d = DecodeMp3File(ChunkBase() + ".mp3");
    EXPECT_EQ(d.errors, 0);
    // beDeinitStream encodes what the encoder still holds: nothing is lost.
    EXPECT_GE(d.frames, blocks + 1);
}

TEST_F(Mp3ChunkEncoderTest, ChunkLengthZeroNeverCutsAndHasNoNumber) {
    ChunkEncoder enc;
    enc.Open();
    enc.SetFileName(ChunkBase());
    enc.SetChunkSize(0);
    EncodeAll(enc, Tone(44100, 2));
    EXPECT_TRUE(std::filesystem::exists(ChunkBase() + ".mp3"));
    EXPECT_FALSE(std::filesystem::exists(ChunkBase() + "_1.mp3"));
    EXPECT_EQ(DecodeMp3File(ChunkBase() + ".mp3").errors, 0);
}

TEST_F(Mp3ChunkEncoderTest, TenSecondChunksCutAfterBlock383) {
    ChunkEncoder enc;
    enc.Open();
    enc.SetFileName(ChunkBase());
    enc.SetChunkSize(ChunkEncoder::ChunkBytes(2, 44100, 10));
    const int block = enc.StartFile();
    ASSERT_EQ(block, 2304);
    std::vector<int16_t> silence(2304, 0);
    for (int i = 1; i <= 767; ++i) {
        enc.EncodeBlock(silence.data(), block);
        const int expectedChunk = i < 383 ? 1 : i < 766 ? 2 : 3;
        ASSERT_EQ(enc.ChunkNumber(), expectedChunk) << "after block " << i;
    }
    enc.AbortFile();
    EXPECT_TRUE(std::filesystem::exists(ChunkBase() + "_2.mp3"));
    EXPECT_FALSE(std::filesystem::exists(ChunkBase() + "_3.mp3"));
    EXPECT_FALSE(std::filesystem::exists(ChunkBase() + "_3.dat"));
    EXPECT_FALSE(std::filesystem::exists(ChunkBase() + "_3.fgp"));
}

TEST_F(Mp3ChunkEncoderTest, MonoAndDualChannelRecord) {
    const struct {
        int mode;
        int rate;
        int bitRate;
        int channels;
    } cases[] = {{kModeMono, 32000, 64, 1}, {kModeDualChannel, 48000, 192, 2}};
    for (const auto& c : cases) {
        ChunkEncoder enc;
        enc.SetMode(c.mode);
        enc.SetSampleRate(c.rate);
        enc.SetBitRate(c.bitRate);
        enc.Open();
        enc.SetFileName(ChunkBase());
        EncodeAll(enc, Tone(c.rate, c.channels));
        const Decoded d = DecodeMp3File(ChunkBase() + ".mp3");
        EXPECT_EQ(d.errors, 0);
        EXPECT_EQ(d.rate, c.rate);
        EXPECT_EQ(d.channels, c.channels);
        EXPECT_GT(d.rms, 2000);
    }
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
    enc.SetFileName(ChunkBase());
    enc.SetChunkSize(ChunkEncoder::ChunkBytes(2, 44100, 1));
    EncodeAll(enc, Tone(44100 * 2 + 100, 2));
    loop.ProcessPending();
    RecordingNotifier::Instance().Unsubscribe(loop, slot.Id());
    EXPECT_EQ(counter.ids, (std::vector<int>{1129, 1129, 1128}));
}

TEST_F(Mp3ChunkEncoderTest, PreconditionsAndValidation) {
    ChunkEncoder enc;
    auto code = [](auto&& f) {
        try {
            f();
        } catch (const CTErrorRecorder& e) {
            return e.GetCode();
        }
        return 0;
    };
    EXPECT_EQ(code([&] { enc.SetEngine(4); }), kErrEncoderEngineInvalid);
    EXPECT_EQ(code([&] { enc.SetSampleRate(22050); }), kErrEncoderSampleRateInvalid);
    EXPECT_EQ(code([&] { enc.SetBitRate(144); }), kErrEncoderBitrateInvalid);
    EXPECT_EQ(enc.BitRate(), 128);
    EXPECT_EQ(code([&] { enc.SetMode(1); }), kErrEncoderModeInvalid);
    EXPECT_EQ(code([&] { enc.SetFileName(""); }), kErrEncoderFileNameInvalid);
    EXPECT_EQ(code([&] { enc.StartFile(); }), kErrEncoderNotOpened);
    EXPECT_EQ(code([&] { enc.Close(); }), kErrEncoderNotOpened);
    int16_t block[2304] = {};
    EXPECT_EQ(code([&] { enc.EncodeBlock(block, 2304); }), kErrEncoderNotStarted);
    enc.Open();
    EXPECT_EQ(code([&] { enc.Open(); }), kErrEncoderNotIdle);
    EXPECT_EQ(code([&] { enc.SetEngine(kEngineVorbis); }), kErrEncoderNotIdle);
    EXPECT_EQ(code([&] { enc.StopFile(); }), kErrEncoderNotStarted);
    enc.SetFileName(ChunkBase());
    enc.StartFile();
    EXPECT_EQ(code([&] { enc.SetBitRate(192); }), kErrEncoderStarted);
    EXPECT_EQ(code([&] { enc.SetFileName("x"); }), kErrEncoderStarted);
    EXPECT_EQ(code([&] { enc.StartFile(); }), kErrEncoderNotOpened);
}

TEST_F(Mp3ChunkEncoderTest, ConfigRecordIsTheMp3Form) {
    const struct {
        int engine, mode, expectedMode;
    } cases[] = {{kEngineLame, 2, 1}, {kEngineBlade, 2, 2}, {kEngineLame, 3, 3}, {kEngineLame, 0, 0}};
    for (const auto& c : cases) {
        const BE_CONFIG cfg = EncoderBase::BuildConfig(c.engine, 44100, c.mode, 160);
        const auto* bytes = reinterpret_cast<const uint8_t*>(&cfg);
        EXPECT_EQ(bytes[8], c.expectedMode);
        EXPECT_EQ(bytes[4] | bytes[5] << 8 | bytes[6] << 16, 44100);
        EXPECT_EQ(bytes[9] | bytes[10] << 8, 160);
        for (size_t i = 11; i < sizeof cfg; ++i) ASSERT_EQ(bytes[i], 0) << i;
        for (size_t i = 0; i < 4; ++i) ASSERT_EQ(bytes[i], 0) << i;
    }
}

TEST_F(Mp3ChunkEncoderTest, BadLibrariesGiveLoadAndInitCodes) {
    // Not a shared object at all, then a real shared object without the functions.
    test::WriteFile(HomeFile("lame_enc.so"), "this is not a library");
    ChunkEncoder enc;
    try {
        enc.Open();
        FAIL() << "opened a text file";
    } catch (const CTErrorRecorder& e) {
        EXPECT_EQ(e.GetCode(), kErrEncoderLoadEngine);
    }
    std::filesystem::copy_file(std::string(WAVKEEP_TESTLIB_DIR) + "/libwavkeep_fake_nofunc.so",
                               HomeFile("lame_enc.so"),
                               std::filesystem::copy_options::overwrite_existing);
    try {
        enc.Open();
        FAIL() << "opened a library without the functions";
    } catch (const CTErrorRecorder& e) {
        EXPECT_EQ(e.GetCode(), kErrEncoderInitEngine);
    }
    EXPECT_EQ(enc.State(), kEncoderIdle);

    std::filesystem::copy_file(std::string(WAVKEEP_TESTLIB_DIR) + "/libwavkeep_fake_failinit.so",
                               HomeFile("lame_enc.so"),
                               std::filesystem::copy_options::overwrite_existing);
    enc.Open();
    enc.SetFileName(ChunkBase());
    try {
        enc.StartFile();
        FAIL() << "started a stream the library refused";
    } catch (const CTErrorRecorder& e) {
        EXPECT_EQ(e.GetCode(), kErrEncoderStartEngine);
    }
    EXPECT_EQ(enc.State(), kEncoderOpened);
    EXPECT_FALSE(std::filesystem::exists(ChunkBase() + ".mp3"));
    enc.Close();

    std::filesystem::copy_file(std::string(WAVKEEP_TESTLIB_DIR) + "/libwavkeep_fake_nofunc.so",
                               HomeFile("lame_enc.so"),
                               std::filesystem::copy_options::overwrite_existing);
    std::string why;
    EXPECT_FALSE(TestEncoderLibrary(HomeFile("lame_enc.so"), &why));
    EXPECT_EQ(why, "Invalid encoder");
}

TEST_F(Mp3ChunkEncoderTest, EngineChoiceFromTheEncoderSetting) {
    ConfigStore c;
    const struct {
        const char* value;
        int kind;
    } cases[] = {{"Lame encoder", kEngineLame},   {"Vorbis encoder", kEngineVorbis},
                 {"WAV ENCODER", kEngineVorbis},  {"Blade encoder", kEngineBlade},
                 {"lame encoder", kEngineBlade},  {"", kEngineBlade}};
    for (const auto& k : cases) {
        c.SetString("Encoder", k.value);
        EXPECT_EQ(ChooseEncoderEngine(c), k.kind) << k.value;
    }
}

TEST_F(Mp3ChunkEncoderTest, UnwritableFolderAndFullDisk) {
    ChunkEncoder enc;
    enc.Open();
    enc.SetFileName(HomeFile("missing/folder/rec"));
    try {
        enc.StartFile();
        FAIL();
    } catch (const CTErrorRecorder& e) {
        EXPECT_EQ(e.GetCode(), kErrEncoderCreateFile);
    }
    EXPECT_EQ(enc.State(), kEncoderOpened);

    // The second chunk's audio lands on a full disk.
    std::filesystem::create_symlink("/dev/full", ChunkBase() + "_2.mp3");
    enc.SetFileName(ChunkBase());
    enc.SetChunkSize(ChunkEncoder::ChunkBytes(2, 44100, 1));
    const int block = enc.StartFile();
    const auto pcm = Tone(44100 * 2, 2);
    int code = 0;
    try {
        for (size_t at = 0; at + block <= pcm.size(); at += block) enc.EncodeBlock(&pcm[at], block);
    } catch (const CTErrorRecorder& e) {
        code = e.GetCode();
    }
    EXPECT_EQ(code, kErrEncoderWriteFile);
    EXPECT_NO_THROW(enc.StopFile());
    EXPECT_EQ(enc.State(), kEncoderOpened);
    EXPECT_EQ(DecodeMp3File(ChunkBase() + "_1.mp3").errors, 0);
    EXPECT_GT(DecodeMp3File(ChunkBase() + "_1.mp3").frames, 30);
}

}  // namespace
}  // namespace wk
