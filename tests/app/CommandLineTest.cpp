// The command line of the real wavkeep executable in a temporary program home.

#include <cstdlib>
#include <filesystem>

#include "WavkeepRun.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using CommandLineTest = test::WavkeepRunTest;

TEST_F(CommandLineTest, ConfigSetGetAndList) {
    EXPECT_EQ(Run({"config", "set", "BitRate", "192"}), 0);
    EXPECT_EQ(Run({"config", "get", "BitRate"}), 0);
    EXPECT_EQ(Out(), "192\n");
    EXPECT_EQ(Run({"config", "set", "MyKey", "a=b c"}), 0);
    const std::string file = HomeText("config.ini");
    EXPECT_NE(file.find("\nBitRate=192\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\nMyKey=a=b c\n"), std::string::npos) << file;
    EXPECT_EQ(Run({"config", "list"}), 0);
    EXPECT_EQ(Out(), file);
    // A value a known key cannot take is refused with the reason and
    // nothing is written; unknown keys take anything.
    const std::string songs = m_io.File("songs");
    const struct {
        const char* key;
        const char* value;
        const char* reason;  // nullptr: accepted
    } values[] = {
        {"BitRate", "144", "a bit rate is one of 32, 40,"},
        {"BitRate", "320", nullptr},
        {"Mode", "mono", "the mode is \"STEREO\", \"DUALCHANNEL\" or \"MONO\""},
        {"Encoder", "Lame encoder", nullptr},
        {"SingleFileLength", "0", "from 1 to 3600"},
        {"SingleFileLength", "5x", "from 1 to 3600"},
        {"DiskSpace", "-1", "megabytes"},
        {"StreamPath", "Streams", "from the root"},
        {"ExportPath", songs.c_str(), nullptr},
        {"ExportPath", "/etc/passwd", "is a file, not a folder"},
        {"UploadURL", "localhost:8470/up", "http:// or https://"},
        {"UploadURL", "http:///x", "http:// or https://"},
        {"DefaultURL", "https://example.org/a b", "no blanks"},
        {"TraceLevel", "debug", nullptr},
        {"TraceLevel", "loud", "the trace level is"},
        {"AutoExport", "2", nullptr},
        {"EnableSilenceDet", "2", "a switch is 1 (on) or 0 (off)"},
        {"DirectXCable", "5", "1, 2, 3 or 4"},
        {"RecordColor", "", nullptr},
        {"RecordColor", "10,20,30", nullptr},
        {"WaveColor", "10,20", "red,green,blue from 0 to 255"},
        {"WaveColor", "10,20,256", "red,green,blue from 0 to 255"},
        {"BckgrdColor", "1,-0,3", "red,green,blue from 0 to 255"},
        {"ActiveStream", "../x", "one folder name"},
        {"AudioMixer", "-1", nullptr},
        {"FreqSatelliteModeSignal", "12.5", "a tuner channel"},
        {"MyKey", "anything at all", nullptr},
    };
    for (const auto& v : values) {
        const std::string before = HomeText("config.ini");
        EXPECT_EQ(Run({"config", "set", v.key, v.value}), v.reason ? 2 : 0) << v.key << "=" << v.value;
        if (!v.reason) {
            std::string stored = "\n";
            stored += HomeText("config.ini");
            std::string line = "\n";
            line += v.key;
            line += "=";
            line += v.value;
            line += "\n";
            EXPECT_NE(stored.find(line), std::string::npos) << v.key;
            continue;
        }
        EXPECT_NE(Err().find(v.reason), std::string::npos) << Err();
        EXPECT_EQ(HomeText("config.ini"), before) << v.key;
    }
}

TEST_F(CommandLineTest, ExitCodes) {
    // Paths no file system call may throw on: a link loop, a name too long.
    fs::create_symlink(m_io.File("loop2"), m_io.File("loop1"));
    fs::create_symlink(m_io.File("loop1"), m_io.File("loop2"));
    const std::string tooLong = m_io.File(std::string(300, 'a') + ".des");
    const struct {
        std::vector<std::string> args;
        int exit;
    } cases[] = {
        {{"version"}, 0},
        {{"--help"}, 0},
        {{"config", "--help"}, 0},
        {{"config", "set", "--help"}, 0},
        {{"events", "clear", "--help"}, 0},
        {{}, 2},
        {{"frobnicate"}, 2},
        {{"config"}, 2},
        {{"config", "get"}, 2},
        {{"config", "get", "No=Key"}, 2},
        {{"config", "set", "", "x"}, 2},
        {{"config", "set", "Key", "two\nlines"}, 2},
        {{"config", "get", "NoSuchKey"}, 1},
        {{"config", "reset", "NoSuchKey"}, 1},
        {{"config", "reset", "BitRate"}, 0},
        {{"normalize", m_io.File("loop1")}, 2},
        {{"import", m_io.File("loop1"), "--trust"}, 1},
        {{"import", tooLong, "--trust"}, 1},
        // Clock differences beyond a day either way, or none at all.
        {{"shift", "nan"}, 2},
        {{"shift", "1e30"}, 2},
        {{"shift", "86400.5"}, 2},
        {{"import", "x.des", "--difference", "inf"}, 2},
        {{"import", "x.des", "--difference", "-86401"}, 2},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        EXPECT_EQ(Run(c.args), c.exit) << joined;
    }
}

TEST_F(CommandLineTest, EventsAreShownAndClearedOnlyWithYes) {
    test::WriteFile(m_home.File("events.txt"), "09:05:03  04/07/2003  recorded\r\n");
    EXPECT_EQ(Run({"events"}), 0);
    EXPECT_EQ(Out(), "09:05:03  04/07/2003  recorded\n");
    EXPECT_EQ(Run({"events", "clear"}), 1);
    EXPECT_NE(Err().find("--yes"), std::string::npos);
    EXPECT_EQ(HomeText("events.txt"), "09:05:03  04/07/2003  recorded\r\n");
    EXPECT_EQ(Run({"events", "clear", "--yes"}), 0);
    EXPECT_EQ(HomeText("events.txt"), "");
}

TEST_F(CommandLineTest, TheProgramHome) {
    ::setenv("WAVKEEP_HOME", m_home.File("env-home").c_str(), 1);
    const int fromEnvironment = Exec({"config", "set", "ActiveStream", "Radio 1"});
    // An empty --home is a mistake, not a wish for the default home.
    const int empty = Exec({"--home", "", "config", "set", "ActiveStream", "Other"});
    ::unsetenv("WAVKEEP_HOME");
    EXPECT_EQ(empty, 2);
    EXPECT_NE(Err().find("--home"), std::string::npos) << Err();
    EXPECT_EQ(fromEnvironment, 0);
    EXPECT_NE(HomeText("env-home/config.ini").find("\nActiveStream=Radio 1\n"), std::string::npos);
    // A home made by wavkeep is the user's alone.
    EXPECT_EQ(fs::status(m_home.File("env-home")).permissions(), fs::perms::owner_all);
    // One that cannot be made is a clear failure.
    test::WriteFile(m_home.File("plain"), "x");
    EXPECT_EQ(Exec({"--home", m_home.File("plain") + "/sub", "config", "set", "BitRate", "128"}), 1);
    EXPECT_NE(Err().find("program home"), std::string::npos) << Err();

    // A demo refused for its options makes no temporary home.
    fs::create_directory(m_io.File("tmp"));
    const char* tmp = std::getenv("TMPDIR");
    const std::string oldTmp = tmp ? tmp : "";
    ::setenv("TMPDIR", m_io.File("tmp").c_str(), 1);
    const int demo = Exec({"demo", "--minutes", "0"});
    tmp ? ::setenv("TMPDIR", oldTmp.c_str(), 1) : ::unsetenv("TMPDIR");
    EXPECT_EQ(demo, 2);
    EXPECT_TRUE(fs::is_empty(m_io.File("tmp")));
}

TEST_F(CommandLineTest, TraceFilesAndTheAccountArePrivateAndTheTraceHoldsNoPassword) {
    const auto privateFile = fs::perms::owner_read | fs::perms::owner_write;
    ASSERT_EQ(Run({"config", "set", "TraceLevel", "Info"}), 0);
    ASSERT_EQ(Run({"account", "set", "alice", "S3cretPw"}), 0);
    const std::string traced = test::TraceText(m_home.Path());
    EXPECT_NE(traced.find(" INF: wavkeep "), std::string::npos) << traced;
    EXPECT_NE(traced.find("account set alice ********"), std::string::npos) << traced;
    EXPECT_EQ(traced.find("S3cretPw"), std::string::npos) << traced;
    EXPECT_EQ(fs::status(m_home.File("Options.txt")).permissions(), privateFile);
    for (const std::string& name : test::FileNames(m_home.Path(), ".txt"))
        EXPECT_TRUE(name.rfind("Log_", 0) != 0 ||
                    fs::status(m_home.File(name)).permissions() == privateFile)
            << name;
}

TEST_F(CommandLineTest, EncoderLibrariesAreTestedImportedAndListed) {
    const std::string lame = fs::path(WAVKEEP_EXE).parent_path() / "lame_enc.so";
    test::WriteFile(m_io.File("bladeenc.so"), "not a library");
    EXPECT_EQ(Run({"encoder", "test", m_io.File("bladeenc.so")}), 1);
    EXPECT_EQ(Run({"encoder", "import", m_io.File("bladeenc.so")}), 1);
    EXPECT_FALSE(fs::exists(m_home.File("bladeenc.so")));

    EXPECT_EQ(Run({"encoder", "test", lame}), 0);
    fs::copy_file(lame, m_io.File("bladeenc.so"), fs::copy_options::overwrite_existing);
    EXPECT_EQ(Run({"encoder", "import", m_io.File("bladeenc.so")}), 0);
    EXPECT_TRUE(fs::exists(m_home.File("bladeenc.so")));
    ASSERT_EQ(Run({"config", "set", "Encoder", "Blade encoder"}), 0);
    EXPECT_EQ(Run({"encoder", "list"}), 0);
    for (const std::string& line :
         {std::string("  Lame encoder (engine 2): usable"),
          "* Blade encoder (engine 1): usable, " + m_home.File("bladeenc.so"),
          std::string("  Vorbis encoder (engine 3): usable")})
        EXPECT_NE(Out().find(line), std::string::npos) << Out();
}

}  // namespace
}  // namespace wk
