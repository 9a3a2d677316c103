// Runs the real wavkeep executable against a temporary program home.

#include <sys/wait.h>

#include <filesystem>

#include <string>
#include <vector>

#include "core/ConfigStore.h"
#include "support/TempHome.h"

namespace wk {
namespace {

struct Result {
    int exit = -1;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class CommandLineTest : public ::testing::Test {
protected:
    Result Run(const std::vector<std::string>& args, bool withHome = true) {
        std::vector<std::string> words = {WAVKEEP_EXE};
        if (withHome) words.insert(words.end(), {"--home", m_home.Path()});
        words.insert(words.end(), args.begin(), args.end());
        std::string cmd;
        for (const auto& w : words) cmd.append(Quote(w)).append(" ");
        cmd.append(">").append(Quote(m_io.File("out")));
        cmd.append(" 2>").append(Quote(m_io.File("err"))).append(" </dev/null");
        const int status = std::system(cmd.c_str());
        Result r;
        r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = test::ReadFile(m_io.File("out"));
        r.err = test::ReadFile(m_io.File("err"));
        return r;
    }
    test::TempDir m_home;
    test::TempDir m_io;
};

TEST_F(CommandLineTest, ConfigSetThenGetAndTheFileKeepsTableOrder) {
    EXPECT_EQ(Run({"config", "set", "BitRate", "192"}).exit, 0);
    Result get = Run({"config", "get", "BitRate"});
    EXPECT_EQ(get.exit, 0);
    EXPECT_EQ(get.out, "192\n");

    EXPECT_EQ(Run({"config", "set", "MyKey", "a=b c"}).exit, 0);
    const std::string file = test::ReadFile(m_home.File("config.ini"));
    std::string expectedStart;
    size_t pos = 0;
    for (const auto& key : ConfigStore::KnownKeys()) {
        const size_t at = file.find(key + "=", pos);
        ASSERT_EQ(at, pos) << key;
        pos = file.find('\n', at) + 1;
    }
    EXPECT_EQ(file.substr(pos), "MyKey=a=b c\n");
    EXPECT_NE(file.find("\nBitRate=192\n"), std::string::npos);

    Result list = Run({"config", "list"});
    EXPECT_EQ(list.exit, 0);
    EXPECT_EQ(list.out, file);
}

TEST_F(CommandLineTest, ExitCodes) {
    // Paths no file system call may throw on: a link loop, a name too long.
    std::filesystem::create_symlink(m_io.File("loop2"), m_io.File("loop1"));
    std::filesystem::create_symlink(m_io.File("loop1"), m_io.File("loop2"));
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
        EXPECT_EQ(Run(c.args).exit, c.exit) << joined;
    }
}

TEST_F(CommandLineTest, EventsAreShownAndClearedOnlyWithYes) {
    test::WriteFile(m_home.File("events.txt"), "09:05:03  04/07/2003  recorded\r\n");
    Result show = Run({"events"});
    EXPECT_EQ(show.exit, 0);
    EXPECT_EQ(show.out, "09:05:03  04/07/2003  recorded\n");

    Result refused = Run({"events", "clear"});
    EXPECT_EQ(refused.exit, 1);
    EXPECT_NE(refused.err.find("--yes"), std::string::npos);
    EXPECT_EQ(test::ReadFile(m_home.File("events.txt")), "09:05:03  04/07/2003  recorded\r\n");

    EXPECT_EQ(Run({"events", "clear", "--yes"}).exit, 0);
    EXPECT_EQ(test::ReadFile(m_home.File("events.txt")), "");
}

TEST_F(CommandLineTest, HomeComesFromTheEnvironmentWhenNotGiven) {
    ::setenv("WAVKEEP_HOME", (m_home.Path() + "env-home").c_str(), 1);
    Result r = Run({"config", "set", "ActiveStream", "Radio 1"}, false);
    // An empty --home is a mistake, not a wish for the default home.
    const Result empty = Run({"--home", "", "config", "set", "ActiveStream", "Other"}, false);
    ::unsetenv("WAVKEEP_HOME");
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(test::ReadFile(m_home.File("env-home/config.ini")).find("\nActiveStream=Radio 1\n"),
              std::string::npos);
    EXPECT_EQ(empty.exit, 2) << empty.err;
    EXPECT_NE(empty.err.find("--home"), std::string::npos) << empty.err;

    // A demo refused for its options makes no temporary home.
    std::filesystem::create_directory(m_io.File("tmp"));
    const char* tmp = std::getenv("TMPDIR");
    const std::string oldTmp = tmp ? tmp : "";
    ::setenv("TMPDIR", m_io.File("tmp").c_str(), 1);
    const Result demo = Run({"demo", "--minutes", "0"}, false);
    if (tmp) ::setenv("TMPDIR", oldTmp.c_str(), 1); else ::unsetenv("TMPDIR");
    EXPECT_EQ(demo.exit, 2);
    EXPECT_TRUE(std::filesystem::is_empty(m_io.File("tmp")));
    // A home made by wavkeep is the user's alone.
    EXPECT_EQ(std::filesystem::status(m_home.File("env-home")).permissions(),
              std::filesystem::perms::owner_all);
}

TEST_F(CommandLineTest, UnusableHomeIsAClearFailure) {
    test::WriteFile(m_home.File("plain"), "x");
    Result r = Run({"--home", m_home.File("plain") + "/sub", "config", "set", "BitRate", "1"}, false);
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("program home"), std::string::npos) << r.err;
}

TEST_F(CommandLineTest, TraceFilesAndTheAccountArePrivateAndTheTraceHoldsNoPassword) {
    using std::filesystem::perms;
    ASSERT_EQ(Run({"config", "set", "TraceLevel", "Info"}).exit, 0);
    ASSERT_EQ(Run({"account", "set", "alice", "S3cretPw"}).exit, 0);
    std::string traced;
    for (const auto& e : std::filesystem::directory_iterator(m_home.Path())) {
        const std::string name = e.path().filename().string();
        if (name.rfind("Log_", 0) == 0 && name.size() > 4 + 16 && name.substr(name.size() - 4) == ".txt") {
            traced += test::ReadFile(e.path().string());
            EXPECT_EQ(e.status().permissions(), perms::owner_read | perms::owner_write) << name;
        }
    }
    EXPECT_NE(traced.find(" INF: wavkeep "), std::string::npos) << traced;
    EXPECT_NE(traced.find("account set alice ********"), std::string::npos) << traced;
    EXPECT_EQ(traced.find("S3cretPw"), std::string::npos) << traced;
    EXPECT_EQ(std::filesystem::status(m_home.File("Options.txt")).permissions(),
              perms::owner_read | perms::owner_write);
}

TEST_F(CommandLineTest, EncoderLibrariesAreTestedImportedAndListed) {
    const std::string lame = std::filesystem::path(WAVKEEP_EXE).parent_path() / "lame_enc.so";
    test::WriteFile(m_io.File("bladeenc.so"), "not a library");
    EXPECT_EQ(Run({"encoder", "test", m_io.File("bladeenc.so")}).exit, 1);
    EXPECT_EQ(Run({"encoder", "import", m_io.File("bladeenc.so")}).exit, 1);
    EXPECT_FALSE(std::filesystem::exists(m_home.File("bladeenc.so")));

    EXPECT_EQ(Run({"encoder", "test", lame}).exit, 0);
    std::filesystem::copy_file(lame, m_io.File("bladeenc.so"),
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(Run({"encoder", "import", m_io.File("bladeenc.so")}).exit, 0);
    EXPECT_TRUE(std::filesystem::exists(m_home.File("bladeenc.so")));

    ASSERT_EQ(Run({"config", "set", "Encoder", "Blade encoder"}).exit, 0);
    const Result list = Run({"encoder", "list"});
    EXPECT_EQ(list.exit, 0);
    EXPECT_NE(list.out.find("  Lame encoder (engine 2): usable"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("* Blade encoder (engine 1): usable, " + m_home.File("bladeenc.so")),
              std::string::npos) << list.out;
    EXPECT_NE(list.out.find("  Vorbis encoder (engine 3): usable"), std::string::npos) << list.out;
}

}  // namespace
}  // namespace wk
