#include "platform/WavReader.h"

#include "support/TempHome.h"

namespace wk {
namespace {

std::string Samples(std::initializer_list<int16_t> values) {
    std::string s;
    for (int16_t v : values) {
        s += static_cast<char>(v & 0xFF);
        s += static_cast<char>((v >> 8) & 0xFF);
    }
    return s;
}

TEST(WavReaderTest, ReadsPcmAndSkipsUnknownChunks) {
    test::TempDir dir;
    // A LIST chunk of odd size (padded) between header and data.
    std::string header = WavHeader(44100, 2, 3);
    std::string file = header.substr(0, 36) + std::string("LIST\x03\x00\x00\x00" "abc\0", 12) +
                       header.substr(36) + Samples({1, -1, 2, -2, 300, -300});
    test::WriteFile(dir.File("a.wav"), file);
    WavReader r;
    ASSERT_TRUE(r.Open(dir.File("a.wav"))) << r.Error();
    EXPECT_EQ(r.SampleRate(), 44100);
    EXPECT_EQ(r.Channels(), 2);
    EXPECT_EQ(r.Frames(), 3);
    int16_t buf[8] = {};
    EXPECT_EQ(r.Read(buf, 2), 2);
    EXPECT_EQ(buf[3], -2);
    EXPECT_EQ(r.Read(buf, 8), 1);
    EXPECT_EQ(buf[1], -300);
    EXPECT_EQ(r.Read(buf, 8), 0);
    ASSERT_TRUE(r.Rewind());
    EXPECT_EQ(r.Read(buf, 8), 3);
}

TEST(WavReaderTest, DamagedFilesAreRefusedOrReadAsFarAsTheyGo) {
    test::TempDir dir;
    const std::string good = WavHeader(44100, 2, 4);
    std::string eightBit = good;
    eightBit[34] = 8;
    std::string hugeSize = good;
    hugeSize[40] = hugeSize[41] = hugeSize[42] = '\xff';
    const struct {
        std::string bytes;
        bool opens;
        int64_t frames;
    } cases[] = {
        {"", false, 0},
        {"RIFF\x10\x00\x00\x00WAVX", false, 0},
        {good.substr(0, 30), false, 0},                        // format cut short
        {good.substr(0, 36), false, 0},                        // no data chunk
        {eightBit + Samples({1, 2}), false, 0},
        {"RIFF\x10\x00\x00\x00WAVEdata\x04\x00\x00\x00\x01\x02\x03\x04", false, 0},
        {hugeSize + Samples({1, 2, 3, 4, 5}), true, 2},        // size beyond the file
        {good + Samples({1, 2, 3}), true, 1},                  // cut off inside the second frame
    };
    int i = 0;
    for (const auto& c : cases) {
        test::WriteFile(dir.File("x.wav"), c.bytes);
        WavReader r;
        EXPECT_EQ(r.Open(dir.File("x.wav")), c.opens) << i;
        if (c.opens) {
            EXPECT_EQ(r.Frames(), c.frames) << i;
        } else {
            EXPECT_FALSE(r.Error().empty()) << i;
        }
        ++i;
    }
}

}  // namespace
}  // namespace wk
