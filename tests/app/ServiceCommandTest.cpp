// "wavkeep account set", "timecheck", "streams update", "download schedule"
// and "upload" against wavkeep-service on loopback.

#include <algorithm>
#include <filesystem>

#include "ServiceProcess.h"
#include "WavkeepRun.h"
#include "service/ServiceStore.h"
#include "support/Regex.h"

namespace wk {
namespace {

// The service's clock runs 7.5 s behind ours.
class ServiceCommandTest : public test::WavkeepRunTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_service.Start(m_data.Path(), -7.5)) << "the service did not start";
        const std::string root = m_service.Root();
        for (const auto& [key, path] :
             {std::pair{"TimeCheckURL", "/html/playlists/upload.php3"},
              {"UploadURL", "/html/playlists/upload.php3"},
              {"ScheduleURL", "/html/schedule/index.php3"},
              {"URLChanelList", "/betatest/html/playlists/index.php3?a=gsl2"}})
            ASSERT_EQ(Run({"config", "set", key, root + path}), 0);
    }
    test::TempDir m_data;
    test::ServiceProcess m_service;
};

TEST_F(ServiceCommandTest, TimeCheckFindsTheServiceClockOffset) {
    EXPECT_EQ(Run({"timecheck"}), 1);  // no account yet
    EXPECT_NE(Err().find("account"), std::string::npos) << Err();
    EXPECT_EQ(Run({"account", "set", "Ann Smith", "two words"}), 2);
    ASSERT_EQ(Run({"account", "set", "Ann Smith", "s3cret"}), 0);
    ASSERT_EQ(Run({"timecheck"}), 0) << Err();
    std::vector<std::string> m;
    const std::string out = Out();
    ASSERT_TRUE(test::RegexSearch(out, R"(Time is checked. Difference: (-?\d+\.\d+))", &m))
        << out;
    EXPECT_EQ(out.rfind("Time checking...\n", 0), 0u) << out;
    EXPECT_NEAR(std::stod(m[1]), -7.5, 0.05);
    // The measured difference is kept for the import.
    EXPECT_NEAR(std::stod(HomeText("timecheck.txt")), -7.5, 0.05);
}

TEST_F(ServiceCommandTest, ChannelListAndScheduleDownload) {
    // Channels whose names cannot be streams are skipped, one line each.
    test::WriteFile(m_data.File("channels.txt"),
                    "Radio One\tOne\t7\nbad/name\tOne\t8\n..\tOne\t1\n.\tOne\t2\n" +
                        std::string(300, 'n') + "\tOne\t3\nMusic TV\tTwo\t9\n");
    test::WriteFile(m_data.File("schedule.txt"),
                    " LEGEND: O - once; D - daily; W - weekly\n"
                    "D 22:00:00 -> 23:00:00 Radio One\tNight\n");
    ASSERT_EQ(Run({"account", "set", "me", "pw"}), 0);
    ASSERT_EQ(Run({"streams", "update"}), 0) << Err();
    EXPECT_EQ(Out(), "2 streams added from the service\n");
    const std::string skipped = Err();
    EXPECT_EQ(std::count(skipped.begin(), skipped.end(), '\n'), 4) << skipped;
    EXPECT_NE(skipped.find("wavkeep: channel \"..\": cannot name a folder; skipped\n"),
              std::string::npos)
        << skipped;
    ASSERT_EQ(Run({"download", "schedule"}), 0) << Err();
    EXPECT_EQ(Out(), "1 tasks added, 0 skipped (colliding or invalid)\n");
    // The service's 22:00:00 is 22:00:07.5 here, truncated to the second in
    // the schedule's layout.
    ASSERT_EQ(Run({"schedule", "list"}), 0);
    EXPECT_EQ(Out(), "1\tD 22:00:07 -> 23:00:07 Radio One\tNight\n");
    ASSERT_EQ(Run({"download", "schedule"}), 0);
    EXPECT_EQ(Out(), "0 tasks added, 1 skipped (colliding or invalid)\n");
    ASSERT_EQ(Run({"download", "playlist"}), 0) << Err();  // nothing recorded yet
}

TEST_F(ServiceCommandTest, UploadArrivesInServerTime) {
    EXPECT_EQ(Run({"upload"}), 1);  // no account
    ASSERT_EQ(Run({"account", "set", "me", "pw"}), 0);
    EXPECT_EQ(Run({"upload"}), 1);  // no desc.des yet
    EXPECT_NE(Out().find("Des file is missing or being corrupted"), std::string::npos) << Out();
    std::filesystem::create_directories(m_home.File("Streams/Default"));
    test::WriteFile(m_home.File("Streams/Default/desc.des"),
                    "# 0.9\r\n# \r\n# \r\n07/11/2003  17:42:11.005\t07/11/2003  17:45:40.000\t"
                    "Artist\tTitle\tAlbum\t2003\t\t17\t\t0\r\n");
    ASSERT_EQ(Run({"upload"}), 0) << Err();
    EXPECT_NE(Out().find("Time is checked. Difference: -7.5"), std::string::npos) << Out();
    EXPECT_NE(Out().find("Uploading description file...\nFile is successfully uploaded\n"),
              std::string::npos)
        << Out();
    // Stored by the service with the times moved to its clock (7.5 s behind,
    // as far as three samples over loopback measure it).
    const auto stored = ServiceStore(m_data.Path()).Uploads("Default");
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), 1u);
    const std::string text = stored->front().second;
    const std::string shifted(
        R"(07/11/2003  17:42:03\.(\d\d\d)\t07/11/2003  17:45:3[23]\.\d\d\d\tArtist\tTitle)");
    std::vector<std::string> m;
    ASSERT_TRUE(test::RegexSearch(text, shifted, &m)) << text;
    EXPECT_NEAR(std::stoi(m[1]), 505, 20) << text;
}

}  // namespace
}  // namespace wk
