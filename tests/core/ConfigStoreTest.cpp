#include "core/ConfigStore.h"

#include "core/ProgramHome.h"
#include "support/TempHome.h"

namespace wk {
namespace {

using ConfigStoreTest = test::TempHomeTest;

std::string LoadedValue(const std::string& fileBytes, const std::string& key) {
    test::WriteFile(ConfigStore::FilePath(), fileBytes);
    ConfigStore c;
    c.Load();
    return c.GetString(key);
}

TEST_F(ConfigStoreTest, ParsingRules) {
    const struct {
        const char* file;
        const char* key;
        const char* value;
    } cases[] = {
        {"StreamPath=/music/a=b\n", "StreamPath", "/music/a=b"},  // first '=' splits
        {"BitRate=192\r\n", "BitRate", "192"},                     // CR LF reads like LF
        {"BitRate=160", "BitRate", "160"},                         // no final line end
        {"BitRate=96\nBitRate=112\n", "BitRate", "112"},           // later duplicate wins
        {" BitRate=64\n", "BitRate", "128"},                       // blank belongs to key
        {" BitRate=64\n", " BitRate", "64"},
        {"Mode = MONO\n", "Mode ", " MONO"},                       // nothing trimmed
        {"no equals sign\nBitRate=32\n", "BitRate", "32"},         // line without '=' skipped
        {"Custom=x\n", "Custom", "x"},                             // unknown key kept
        {"", "Missing", kKeyNotFound},
        {"=empty key\n", "", "empty key"},
    };
    for (const auto& c : cases) EXPECT_EQ(LoadedValue(c.file, c.key), c.value) << c.file;
}

TEST_F(ConfigStoreTest, SaveWritesKnownKeysInTableOrderThenUnknownOnesOnce) {
    test::WriteFile(ConfigStore::FilePath(), "Zeta=1\n BitRate=64\nBitRate=192\nAlpha=2\nZeta=3\n");
    ConfigStore c;
    c.Load();
    ASSERT_TRUE(c.Save());
    std::string expected;
    for (const auto& key : ConfigStore::KnownKeys())
        expected += key + "=" + (key == "BitRate" ? "192" : ConfigStore::DefaultValue(key)) + "\n";
    expected += "Zeta=3\n BitRate=64\nAlpha=2\n";
    EXPECT_EQ(test::ReadFile(ConfigStore::FilePath()), expected);
    // The folders' defaults follow the program home.
    EXPECT_EQ(c.GetString("ExportPath"), m_dir.Path() + "Songs");
    EXPECT_EQ(c.GetString("StreamPath"), m_dir.Path() + "Streams");
}

TEST_F(ConfigStoreTest, TypedReads) {
    ConfigStore c;
    const struct {
        const char* value;
        int asInt;
        bool asBool;
    } cases[] = {
        {"1", 1, true},      {"0", 0, false},         {"2", 2, false},   {"True", 0, false},
        {"-1", -1, false},   {"  42abc", 42, false},  {"+7", 7, false},  {"abc", 0, false},
        {"", 0, false},      {"1 ", 1, false},        {"99999999999", 2147483647, false},
        {"-99999999999", -2147483647 - 1, false},
    };
    for (const auto& k : cases) {
        c.SetString("V", k.value);
        EXPECT_EQ(c.GetInt("V"), k.asInt) << '"' << k.value << '"';
        EXPECT_EQ(c.GetBool("V"), k.asBool) << '"' << k.value << '"';
    }
    EXPECT_EQ(c.GetInt("Missing"), 0);
    EXPECT_FALSE(c.GetBool("Missing"));
    c.SetInt("V", -1);
    EXPECT_EQ(c.GetString("V"), "-1");
}

TEST_F(ConfigStoreTest, RecordingSettings) {
    ConfigStore c;
    c.SetString("Mode", "MONO");
    c.SetString("BitRate", "192");
    RecordingSettings s;
    c.ReadRecordingSettings(s);
    EXPECT_EQ(s.mode, kModeMono);
    EXPECT_EQ(s.bitRate, 192);

    c.SetString("Mode", "mono");  // not recognised: the field keeps its value
    s.mode = kModeDualChannel;
    c.ReadRecordingSettings(s);
    EXPECT_EQ(s.mode, kModeDualChannel);

    c.SetString("Mode", "DUALCHANNEL");
    c.ReadRecordingSettings(s);
    EXPECT_EQ(s.mode, kModeDualChannel);
}

TEST_F(ConfigStoreTest, TvInputKindAndColors) {
    ConfigStore c;
    const struct {
        const char* cable;
        const char* antenna;
        int kind;
        bool isCable;
        bool isAntenna;
    } cases[] = {
        {"1", "0", 1, true, true},   {"1", "1", 1, true, false}, {"2", "0", 2, true, false},
        {"3", "0", 3, false, false}, {"4", "0", 4, false, false}, {"7", "0", 3, false, false},
        {"", "0", 3, false, false},
    };
    for (const auto& k : cases) {
        c.SetString("DirectXCable", k.cable);
        c.SetString("TVInputAntenna", k.antenna);
        EXPECT_EQ(c.GetTvInputKind(), k.kind) << k.cable;
        EXPECT_EQ(c.IsTvCableInput(), k.isCable) << k.cable;
        EXPECT_EQ(c.IsTvAntennaInput(), k.isAntenna) << k.cable << k.antenna;
    }
    c.SetString("WaveColor", "1,2");
    EXPECT_EQ(c.GetColor("WaveColor"), (RgbColor{40, 40, 50}));
    c.SetString("WaveColor", "10,20,30");
    EXPECT_EQ(c.GetColor("WaveColor"), (RgbColor{10, 20, 30}));
}

TEST_F(ConfigStoreTest, TraceLevelNames) {
    const struct {
        const char* name;
        int level;
    } cases[] = {{"None", 0}, {"Error", 10}, {"info", 20}, {"debug", 30},
                 {"DETAIL", 40}, {"verbose", 0}, {"", 0}};
    for (const auto& k : cases) {
        test::WriteFile(ConfigStore::FilePath(), std::string("TraceLevel=") + k.name + "\r\n");
        EXPECT_EQ(GetTraceLevelNumber(), k.level) << k.name;
    }
}

TEST_F(ConfigStoreTest, HostileFileLoadsWhatItCan) {
    std::string bytes;
    bytes += std::string("Bin\0ary=\x01\xff\xfe", 12) + "\n";
    bytes += "Long=" + std::string(1 << 20, 'x') + "\r\n";
    bytes += "\r\n\n\n=";
    bytes += "\nBitRate=224";
    test::WriteFile(ConfigStore::FilePath(), bytes);
    ConfigStore c;
    c.Load();
    EXPECT_EQ(c.GetString("Long").size(), size_t{1} << 20);
    EXPECT_EQ(c.GetInt("BitRate"), 224);
    EXPECT_TRUE(c.HasKey(std::string("Bin\0ary", 7)));
    ASSERT_TRUE(c.Save());
    ConfigStore again;
    again.Load();
    EXPECT_EQ(again.Entries(), c.Entries());
}

TEST_F(ConfigStoreTest, SaveReplacesTheFileWholeOrFails) {
    test::WriteFile(ConfigStore::FilePath(), "Old=" + std::string(4096, 'o') + "\n");
    ConfigStore c;
    c.Load();
    c.SetString("Old", "short");
    ASSERT_TRUE(c.Save());
    const std::string saved = test::ReadFile(ConfigStore::FilePath());
    EXPECT_NE(saved.find("\nOld=short\n"), std::string::npos);
    EXPECT_EQ(saved.find('o' + std::string(10, 'o')), std::string::npos);
    // Into a folder that cannot exist.
    test::WriteFile(HomeFile("plain"), "x");
    SetProgramHome(HomeFile("plain") + "/home");
    EXPECT_FALSE(c.Save());
}

// The daemon keeps its instance for hours; a command saves meanwhile.
TEST_F(ConfigStoreTest, SaveKeepsWhatOthersSavedMeanwhile) {
    ConfigStore daemon;
    daemon.Load();
    ConfigStore shell;
    shell.Load();
    shell.SetString("BitRate", "192");
    ASSERT_TRUE(shell.Save());
    daemon.SetString("ActiveStream", "Jazz");
    ASSERT_TRUE(daemon.Save());
    ConfigStore read;
    read.Load();
    EXPECT_EQ(read.GetString("BitRate"), "192");
    EXPECT_EQ(read.GetString("ActiveStream"), "Jazz");
    EXPECT_EQ(daemon.GetString("BitRate"), "192");
}

}  // namespace
}  // namespace wk
