#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempHome.h"
#include "core/Clock.h"
#include "descriptions/Description.h"
#include "descriptions/DescriptionStore.h"
#include "service/ServiceHandlers.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::vector<std::string> Lines(const std::string& body) {
    std::vector<std::string> lines;
    std::istringstream in(body);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

StreamTime At(int hour, int minute, int second = 0) {
    return DateTime(2003, 11, 7, hour, minute, second).ToStreamTime();
}

Description Record(StreamTime start, StreamTime end, const std::string& title) {
    Description d;
    d.artist = "Artist";
    d.title = title;
    d.genre = 17;
    d.start = start;
    d.end = end;
    return d;
}

std::string DesFile(const std::string& header3, const std::vector<Description>& records) {
    std::string text = "# 0.9\r\n# seeded\r\n# " + header3 + "\r\n";
    for (const auto& r : records) text += r.ToLine() + "\r\n";
    return text;
}

// The client's upload encoding: bytes 0x20..0x2F as "%xx", the rest raw.
std::string EncodeLikeClient(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c <= 0x2F) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%2.2x", c);
            out += hex;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

FormFields Form(const std::string& body) { return FormFields::Parse("", body); }

class ServiceHandlersTest : public ::testing::Test {
protected:
    ServiceHandlersTest() : m_dataPath(m_dir.File("data/")), m_data(m_dataPath) {
        fs::create_directories(m_dataPath);
    }

    ServiceHandlers Handlers(double offset = 0.0) { return ServiceHandlers(m_data, m_clock, offset); }
    std::string DataFile(const std::string& name) const { return m_dataPath + name; }

    FormFields PlaylistForm(const std::string& stream, StreamTime start, StreamTime end) const {
        return Form("lang=german&country=49&a=dofp&timestampstart=" +
                    DateTime::FromStreamTime(start).LongText() +
                    "&timestampend=" + DateTime::FromStreamTime(end).LongText() +
                    "&srcname=" + stream + "&srctype=1");
    }
    FormFields UploadForm(const std::string& login, const std::string& password,
                          const std::string& stream, const std::string& content) const {
        return Form("a=uploadfp&login=" + login + "&passwd=" + password + "&srcname=" + stream +
                    "&srctype=1&MAX_FILE_SIZE=20000&userfile=desc.des&fileContent=" +
                    EncodeLikeClient(content));
    }
    std::vector<std::string> FilesUnder(const std::string& folder) const {
        std::vector<std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(folder))
            if (e.is_regular_file()) files.push_back(e.path().string());
        return files;
    }

    TempDir m_dir;
    ManualClock m_clock{DateTime(2003, 11, 7, 17, 42, 20, 7)};
    std::string m_dataPath;
    ServiceData m_data;
};

TEST_F(ServiceHandlersTest, TimeCheckAnswersOkAndTheClockWithTheOffsetApplied) {
    const double local = static_cast<double>(ServiceHandlers::EpochMilliseconds(m_clock.Now())) / 1000.0;
    for (double offset : {0.0, 2.5, -1.5}) {
        const auto answer =
            Handlers(offset).Handle(Form("a=timeCheck&login=me&passwd=pw&localTime=1.000"));
        EXPECT_EQ(answer.status, 200);
        const auto lines = Lines(answer.body);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], "OK");
        EXPECT_NEAR(std::strtod(lines[1].c_str(), nullptr) - local, offset, 1e-6) << lines[1];
    }
    // The milliseconds always take three digits.
    const auto lines = Lines(Handlers().TimeCheck().body);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 4), ".007");
}

TEST_F(ServiceHandlersTest, ChannelListServesTheUsableLines) {
    WriteFile(DataFile("channels.txt"),
              "# name kind number\r\nRadio One\tOne\t9\r\nShort\tOne\r\n\r\nMusic TV\tTwo\t12\textra\n");
    for (const char* kind : {"gsl", "gsl2"}) {
        const auto answer = Handlers().Handle(Form(std::string("a=") + kind));
        EXPECT_EQ(answer.body, "Radio One\tOne\t9\nMusic TV\tTwo\t12\textra\n");
    }
    fs::remove(DataFile("channels.txt"));
    const auto empty = Handlers().Handle(Form("a=gsl2"));
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.body, "");
}

TEST_F(ServiceHandlersTest, ScheduleServesTaskLinesInServerTimeAndDropsEndedOnceTasks) {
    const std::string ending = "O 07/11/2003  17:00:00 -> 07/11/2003  17:42:22 Radio One\tnews";
    const std::string later = "O 07/11/2003  20:00:02 -> 07/11/2003  21:00:02 Radio One\tcharts";
    const std::string daily = "D 06:00:00 -> 07:00:00 Radio One\tmorning";
    WriteFile(DataFile("schedule.txt"), " LEGEND: O - once; D - daily; W - weekly\r\n" + ending +
                                            "\r\nX nonsense\r\n" + later + "\r\n" + daily + "\r\n");
    EXPECT_EQ(Lines(Handlers().Handle(Form("lang=german&country=49&a=download")).body),
              (std::vector<std::string>{ending, later, daily}));
    // Three seconds ahead, the server's clock has passed the first task's end.
    EXPECT_EQ(Lines(Handlers(3.0).ScheduleDownload().body),
              (std::vector<std::string>{later, daily}));
}

TEST_F(ServiceHandlersTest, PlaylistIsCutToTheStretchWithFingerprintsKept) {
    Description fingerprinted = Record(At(10, 3), At(10, 6), "Second");
    fingerprinted.fingerprint = Base64Encode(std::vector<uint8_t>{'A', 'B', 'C'});
    fingerprinted.fingerprintTime = fingerprinted.start - 1000;
    const auto folder = DataFile("streams/Radio One/");
    fs::create_directories(folder);
    WriteFile(folder + "seed.des",
              DesFile(kTrustedMarker, {Record(At(9, 50), At(10, 0), "Before"),
                                       Record(At(10, 0), At(10, 3), "First"), fingerprinted,
                                       Record(At(11, 0), At(11, 4), "After")}));

    const auto answer = Handlers().Handle(PlaylistForm("Radio One", At(10, 2), At(10, 10)));
    const auto lines = Lines(answer.body);
    ASSERT_EQ(lines.size(), 5u) << answer.body;
    EXPECT_EQ(lines[0], "# 0.9");
    EXPECT_NE(lines[2].find(kTrustedMarker), std::string::npos);
    EXPECT_EQ(lines[3], Record(At(10, 0), At(10, 3), "First").ToLine());
    EXPECT_EQ(lines[4], fingerprinted.ToLine());
    Description back;
    back.FromLine(lines[4]);
    EXPECT_EQ(back.FingerprintBytes(), (std::vector<uint8_t>{'A', 'B', 'C'}));

    // An upload adds what the seed lacks, not what would overlap it, and
    // the answer is no longer all trusted.
    WriteFile(folder + "upload_x.des",
              DesFile("", {Record(At(10, 1), At(10, 4), "Clash"),
                           Record(At(10, 6), At(10, 9), "Third")}));
    const auto merged = Lines(Handlers().PlaylistRequest(PlaylistForm("Radio One", At(10, 2), At(10, 10))).body);
    ASSERT_EQ(merged.size(), 6u);
    EXPECT_EQ(merged[2], "# ");
    EXPECT_EQ(merged[5], Record(At(10, 6), At(10, 9), "Third").ToLine());
}

TEST_F(ServiceHandlersTest, PlaylistWithoutRecordsIsAPlainMessageLine) {
    const auto folder = DataFile("streams/Radio One/");
    fs::create_directories(folder);
    WriteFile(folder + "seed.des", DesFile("", {Record(At(10, 0), At(10, 3), "First")}));
    for (const auto& form : {PlaylistForm("Radio One", At(12, 0), At(12, 30)),
                             PlaylistForm("Unknown", At(10, 0), At(10, 30))}) {
        const auto answer = Handlers().Handle(form);
        EXPECT_EQ(answer.status, 200);
        EXPECT_EQ(answer.body, std::string(ServiceHandlers::kNoPlaylist) + "\n");
    }
    const auto bad = Handlers().Handle(Form("a=dofp&timestampstart=yesterday&timestampend=&srcname=Radio One"));
    EXPECT_EQ(bad.body.rfind("ERROR", 0), 0u) << bad.body;
}

// Uploads are kept in the database alone, with their bytes: no file is
// written, and a seeded file leaving the folder does not take them along.
TEST_F(ServiceHandlersTest, UploadsAreKeptInTheDatabaseAlone) {
    const std::string content =
        DesFile("", {Record(At(10, 0), At(10, 3), "A & B / C+D %")}) + "\xE9\x01";
    const auto folder = DataFile("streams/Radio One/");
    fs::create_directories(folder);
    WriteFile(folder + "seed.des", DesFile("", {Record(At(9, 0), At(9, 3), "Seed")}));
    const auto answer = Handlers().Handle(UploadForm("anyone", "anything", "Radio One", content));
    EXPECT_EQ(answer.body, "OK\n");
    EXPECT_EQ(answer.logNote, "stored upload_2003_11_07_17_42_20_000.des of Radio One");
    // A second upload in the same second gets a name of its own.
    EXPECT_EQ(Handlers().Upload(UploadForm("a", "b", "Radio One", content)).body, "OK\n");
    EXPECT_EQ(FilesUnder(folder), std::vector<std::string>{folder + "seed.des"});

    fs::remove(folder + "seed.des");
    ServiceData restarted(m_dataPath);
    ServiceHandlers handlers(restarted, m_clock, 0.0);
    EXPECT_EQ(handlers.PlaylistRequest(PlaylistForm("Radio One", At(9, 0), At(9, 1))).body,
              std::string(ServiceHandlers::kNoPlaylist) + "\n");
    EXPECT_EQ(Lines(handlers.PlaylistRequest(PlaylistForm("Radio One", At(10, 0), At(10, 1))).body).size(), 4u);
    const auto uploads = restarted.Uploads("Radio One");
    ASSERT_TRUE(uploads);
    const std::vector<std::pair<std::string, std::string>> expected{
        {"upload_2003_11_07_17_42_20_000.des", content}, {"upload_2003_11_07_17_42_20_001.des", content}};
    EXPECT_EQ(*uploads, expected);
}

TEST_F(ServiceHandlersTest, UploadChecksTheLoginWhenAccountsExist) {
    const std::string content = DesFile("", {Record(At(10, 0), At(10, 3), "T")});
    WriteFile(DataFile("accounts.txt"), "alice\tsecret\r\nbob smith\tpw\n");
    for (const auto& [login, password] : std::vector<std::pair<std::string, std::string>>{
             {"alice", "wrong"}, {"alic", "secret"}, {"", ""}, {"alice\tsecret", ""}}) {
        const auto answer = Handlers().Upload(UploadForm(login, password, "Radio One", content));
        EXPECT_EQ(answer.body, "ERROR: wrong login or password\n") << login;
    }
    EXPECT_FALSE(fs::exists(DataFile("streams")));
    EXPECT_EQ(Handlers().Upload(UploadForm("alice", "secret", "Radio One", content)).body, "OK\n");
    EXPECT_EQ(Handlers().Upload(UploadForm("bob smith", "pw", "Radio One", content)).body, "OK\n");
}

TEST_F(ServiceHandlersTest, UploadRefusesWhatIsNoDescriptionFile) {
    EXPECT_EQ(Handlers().Upload(UploadForm("a", "b", "S", "")).body, "ERROR: empty description file\n");
    EXPECT_EQ(Handlers().Upload(UploadForm("a", "b", "S", "hello")).body,
              "ERROR: not a description file\n");
    const std::string big = "#" + std::string(ServiceHandlers::kMaxUploadBytes, 'x');
    EXPECT_EQ(Handlers().Upload(UploadForm("a", "b", "S", big)).body,
              "ERROR: description file too big\n");
    EXPECT_FALSE(fs::exists(DataFile("streams")));
}

TEST_F(ServiceHandlersTest, HostileStreamNamesStayInsideTheDataFolder) {
    // A description file outside the data folder that an escaping name would reach.
    WriteFile(m_dir.File("outside.des"), DesFile("", {Record(At(10, 0), At(10, 3), "Leak")}));
    fs::create_directories(DataFile("streams"));
    const std::string content = DesFile("", {Record(At(10, 0), At(10, 3), "T")});
    const std::vector<std::string> names{"..", "../..", "../../x", "a/b", ".hidden", "",
                                         "a\\b", "a\nb", std::string(200, 'n')};
    for (const auto& name : names) {
        EXPECT_EQ(Handlers().Upload(UploadForm("a", "b", name, content)).body,
                  "ERROR: invalid stream name\n") << name;
        EXPECT_EQ(Handlers().PlaylistRequest(PlaylistForm(name, At(9, 0), At(11, 0))).body,
                  "ERROR: invalid stream name\n") << name;
    }
    // Encoded separators are decoded before the check.
    EXPECT_EQ(Handlers().Upload(Form("a=uploadfp&srcname=%2e%2e%2f%2e%2e&fileContent=%23")).body,
              "ERROR: invalid stream name\n");
    EXPECT_EQ(FilesUnder(m_dir.Path()),
              std::vector<std::string>{m_dir.File("outside.des")});
}

TEST_F(ServiceHandlersTest, UnknownRequestKindsAreRefused) {
    for (const char* body : {"", "a=", "a=drop", "a=TIMECHECK"}) {
        const auto answer = Handlers().Handle(Form(body));
        EXPECT_EQ(answer.status, 400) << body;
        EXPECT_EQ(answer.body.rfind("ERROR: ", 0), 0u);
    }
}

}  // namespace
}  // namespace wk
