// Service accounts: the old plain-text file taken in and hashed, the account
// command, and failed logins slowed per client address.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempHome.h"
#include "core/Clock.h"
#include "service/AccountCommand.h"
#include "service/ServiceHandlers.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

struct LoginCase {
    std::string login;
    std::string password;
    bool accepted;
};

void ExpectLogins(ServiceData& data, const std::vector<LoginCase>& cases) {
    for (const auto& c : cases)
        EXPECT_EQ(data.CheckLogin(c.login, c.password), c.accepted) << c.login << " / " << c.password;
}

// Every byte the service keeps in its data folder, database files included.
std::string AllBytes(const std::string& folder) {
    std::string bytes;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.is_regular_file()) bytes += ReadFile(e.path().string());
    return bytes;
}

// The plain file is taken in and deleted, so no password stays readable; a
// file an earlier version left renamed (plain passwords in it) goes as well.
// Each deletion is noted in the log.
TEST(AccountsTest, ThePlainFileIsTakenInHashedAndDeleted) {
    struct Case {
        const char* name;
        bool leftover;  // an accounts.txt.imported of an earlier version
        std::vector<std::string> notes;
    };
    const std::vector<Case> cases{
        {"fresh", false, {"accounts.txt: 2 account(s) taken in with hashed passwords; the file is deleted"}},
        {"leftover", true,
         {"accounts.txt.imported deleted: it held plain passwords already taken in",
          "accounts.txt: 2 account(s) taken in with hashed passwords; the file is deleted"}},
    };
    const std::vector<LoginCase> logins{{"alice", "secret-one", true}, {"bob smith", "pw two", true},
                                        {"alice", "later", false},     {"alice", "secret-on", false},
                                        {"notab", "", false},          {"carol", "secret-one", false}};
    for (const auto& c : cases) {
        TempDir dir;
        WriteFile(dir.File("accounts.txt"), "alice\tsecret-one\r\nbob smith\tpw two\nalice\tlater\nnotab\n");
        if (c.leftover) WriteFile(dir.File("accounts.txt.imported"), "old\tsecret-one\n");
        std::vector<std::string> notes;
        {
            ServiceData data(dir.Path());
            data.SetLog([&notes](const std::string& line) { notes.push_back(line); });
            ExpectLogins(data, logins);
        }
        EXPECT_EQ(notes, c.notes) << c.name;
        EXPECT_FALSE(fs::exists(dir.File("accounts.txt"))) << c.name;
        EXPECT_FALSE(fs::exists(dir.File("accounts.txt.imported"))) << c.name;
        ServiceData again(dir.Path());
        ExpectLogins(again, logins);
        const std::string stored = AllBytes(dir.Path());
        for (const char* plain : {"secret-one", "pw two"})
            EXPECT_EQ(stored.find(plain), std::string::npos) << c.name << ": " << plain;
        EXPECT_NE(stored.find("$y$"), std::string::npos) << c.name;
    }
}

TEST(AccountsTest, TheAccountCommandAddsChangesListsAndRemoves) {
    TempDir dir;
    struct Step {
        std::vector<std::string> args;  // action, login
        std::string input;
        int code;
        std::string output;
    };
    const std::vector<Step> steps{
        {{"list", ""}, "", 0, ""},
        {{"add", "zoe"}, "first pass\n", 0, "account \"zoe\" stored\n"},
        {{"add", "adam"}, "x\r\n", 0, "account \"adam\" stored\n"},
        {{"add", "zoe"}, "second pass\n", 0, "account \"zoe\" stored\n"},
        {{"add", "eve"}, "\n", 2, ""},
        {{"add", "bad\tname"}, "pw\n", 2, ""},
        {{"add", ""}, "pw\n", 2, ""},
        {{"drop", "zoe"}, "", 2, ""},
        {{"list", ""}, "", 0, "adam\nzoe\n"},
        {{"remove", "nobody"}, "", 1, ""},
        {{"remove", "adam"}, "", 0, "account \"adam\" removed\n"},
        {{"list", ""}, "", 0, "zoe\n"},
    };
    for (const auto& step : steps) {
        std::istringstream in(step.input);
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunAccountCommand(step.args[0], step.args[1], dir.Path(), in, out, err), step.code)
            << step.args[0] << " " << step.args[1] << ": " << err.str();
        EXPECT_EQ(out.str(), step.output) << step.args[0] << " " << step.args[1];
    }
    ServiceData data(dir.Path());
    ExpectLogins(data, {{"zoe", "second pass", true}, {"zoe", "first pass", false}, {"adam", "x", false}});
    // With the last account removed, nobody is let in.
    std::istringstream none;
    std::ostringstream sink;
    EXPECT_EQ(RunAccountCommand("remove", "zoe", dir.Path(), none, sink, sink), 0);
    ExpectLogins(data, {{"zoe", "second pass", false}, {"", "", false}});
}

TEST(AccountsTest, FailedLoginsAreSlowedPerAddressUpToTheCap) {
    ManualClock clock;
    LoginThrottle throttle(clock);
    const std::vector<int64_t> waits{500, 1000, 2000, 4000, 8000, 16000, 30000, 30000};
    for (int64_t wait : waits) {
        throttle.Failed("10.0.0.1");
        EXPECT_EQ(throttle.WaitMs("10.0.0.1"), wait);
    }
    EXPECT_EQ(throttle.WaitMs("10.0.0.2"), 0);
    clock.Advance(29999);
    EXPECT_EQ(throttle.WaitMs("10.0.0.1"), 1);
    throttle.Succeeded("10.0.0.1");
    throttle.Failed("10.0.0.1");
    EXPECT_EQ(throttle.WaitMs("10.0.0.1"), 500);
}

TEST(AccountsTest, AnAddressWithFailedLoginsIsRefusedWhileOthersGoOn) {
    TempDir dir;
    WriteFile(dir.File("accounts.txt"), "alice\tsecret\n");
    ManualClock clock;
    ServiceData data(dir.Path());
    ServiceHandlers handlers(data, clock, 0.0);
    const auto upload = [&](const std::string& password, const std::string& client) {
        return handlers
            .Handle(FormFields::Parse("", "a=uploadfp&login=alice&passwd=" + password +
                                              "&srcname=S&fileContent=%23 0.9"),
                    client)
            .body;
    };
    EXPECT_EQ(upload("wrong", "10.0.0.1"), "ERROR: wrong login or password\n");
    EXPECT_EQ(upload("secret", "10.0.0.1"), "ERROR: too many failed logins, try again in 1 s\n");
    EXPECT_EQ(upload("secret", "10.0.0.2"), "OK\n");
    clock.Advance(LoginThrottle::kFirstDelayMs);
    EXPECT_EQ(upload("secret", "10.0.0.1"), "OK\n");
    EXPECT_EQ(upload("wrong", "10.0.0.1"), "ERROR: wrong login or password\n");
}

}  // namespace
}  // namespace wk
