// The service's database: the folder layout taken in, answers kept across
// restarts, and many threads storing and reading at once.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
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

StreamTime At(int hour, int minute) { return DateTime(2003, 11, 7, hour, minute, 0).ToStreamTime(); }

std::string Des(bool trusted, const std::vector<std::tuple<StreamTime, StreamTime, std::string>>& records) {
    std::string text = std::string("# 0.9\r\n# seeded\r\n# ") + (trusted ? kTrustedMarker : "") + "\r\n";
    for (const auto& [start, end, title] : records) {
        Description d;
        d.artist = "Artist";
        d.title = title;
        d.start = start;
        d.end = end;
        text += d.ToLine() + "\r\n";
    }
    return text;
}

FormFields Playlist(const std::string& stream, StreamTime start, StreamTime end) {
    return FormFields::Parse("", "a=dofp&timestampstart=" + DateTime::FromStreamTime(start).LongText() +
                                     "&timestampend=" + DateTime::FromStreamTime(end).LongText() +
                                     "&srcname=" + stream);
}

class ServiceStoreTest : public ::testing::Test {
protected:
    std::string Data(const std::string& name = "") const { return m_dir.File("data/" + name); }

    // The answers of a service freshly started on the folder.
    std::vector<std::string> Answers() {
        ServiceData data(Data());
        ServiceHandlers handlers(data, m_clock, 0.0);
        std::vector<std::string> out;
        for (const auto& [stream, start, end] : m_windows)
            out.push_back(handlers.PlaylistRequest(Playlist(stream, start, end)).body);
        return out;
    }

    TempDir m_dir;
    ManualClock m_clock;
    // Streams and stretches asked for: inside, across and beside records,
    // and one only a long record reaches from far before.
    std::vector<std::tuple<std::string, StreamTime, StreamTime>> m_windows{
        {"Radio One", At(10, 0), At(10, 10)}, {"Radio One", At(10, 2), At(10, 4)},
        {"Radio One", At(12, 0), At(12, 1)},  {"Radio One", At(15, 0), At(15, 5)},
        {"Music TV", At(9, 0), At(11, 0)},    {"Nobody", At(9, 0), At(11, 0)}};
};

TEST_F(ServiceStoreTest, TheFolderLayoutIsTakenInOnceAndServedTheSameAfterARestart) {
    const std::vector<std::pair<std::string, std::string>> layout{
        {"streams/Radio One/seed.des",
         Des(true, {{At(10, 0), At(10, 3), "First"}, {At(10, 3), At(10, 6), "Second"},
                    {At(11, 0), At(14, 0), "Long"}})},
        {"streams/Radio One/upload_a.des",
         Des(false, {{At(10, 1), At(10, 4), "Clash"}, {At(10, 6), At(10, 9), "Third"},
                     {At(14, 30), At(16, 0), "Late"}})},
        {"streams/Radio One/notes.txt", Des(false, {{At(10, 0), At(10, 9), "Not served"}})},
        {"streams/Music TV/x.des", Des(false, {{At(9, 30), At(9, 33), "Clip"}})},
    };
    for (const auto& [name, text] : layout) {
        fs::create_directories(fs::path(Data(name)).parent_path());
        WriteFile(Data(name), text);
    }
    const auto first = Answers();
    ASSERT_TRUE(fs::exists(Data(ServiceStore::kFileName)));
    const std::vector<std::string> expected{
        "# 0.9\n# Radio One\n# \n", "# 0.9\n# Radio One\n# " + std::string(kTrustedMarker) + "\n",
        "# 0.9\n# Radio One\n# " + std::string(kTrustedMarker) + "\n",
        "# 0.9\n# Radio One\n# \n", "# 0.9\n# Music TV\n# \n",
        std::string(ServiceHandlers::kNoPlaylist) + "\n"};
    const std::vector<std::vector<std::string>> titles{
        {"First", "Second", "Third"}, {"First", "Second"}, {"Long"}, {"Late"}, {"Clip"}, {}};
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].rfind(expected[i], 0), 0u) << first[i];
        DescriptionStore served;
        served.LoadText(first[i]);
        std::vector<std::string> got;
        for (const auto& r : served.Records()) got.push_back(r->title);
        EXPECT_EQ(got, titles[i]) << i;
    }
    // The files stay as they were; a restart serves the same from the database.
    for (const auto& [name, text] : layout) EXPECT_EQ(ReadFile(Data(name)), text) << name;
    EXPECT_EQ(Answers(), first);

    // A file is read once: a changed one is served as first read; a new name
    // is taken in, a removed file drops out.
    WriteFile(Data("streams/Music TV/x.des"), Des(false, {{At(9, 30), At(9, 33), "Changed"}}));
    fs::remove(Data("streams/Radio One/upload_a.des"));
    WriteFile(Data("streams/Radio One/later.des"), Des(false, {{At(15, 1), At(15, 2), "New"}}));
    const auto after = Answers();
    EXPECT_EQ(after[4], first[4]);
    EXPECT_EQ(after[1], first[1]);
    EXPECT_EQ(after[0].find("Third"), std::string::npos) << after[0];
    EXPECT_NE(after[3].find("New"), std::string::npos) << after[3];
    EXPECT_EQ(after[3].find("Late"), std::string::npos) << after[3];
}

// A database made before uploads were kept in it alone gets their columns
// and takes uploads beside the files it had.
TEST_F(ServiceStoreTest, ADatabaseOfTheOlderLayoutTakesUploads) {
    fs::create_directories(Data("streams/Radio One"));
    WriteFile(Data("streams/Radio One/seed.des"), Des(false, {{At(10, 0), At(10, 3), "First"}}));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Data(ServiceStore::kFileName).c_str(), &db), SQLITE_OK);
    const int made = sqlite3_exec(db,
                                  "CREATE TABLE files(id INTEGER PRIMARY KEY, stream TEXT NOT NULL, "
                                  "name TEXT NOT NULL, trusted INTEGER NOT NULL, UNIQUE(stream, name));",
                                  nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ASSERT_EQ(made, SQLITE_OK);

    ServiceData data(Data());
    ServiceHandlers handlers(data, m_clock, 0.0);
    const std::string upload = Des(false, {{At(10, 3), At(10, 6), "Second"}});
    EXPECT_EQ(handlers.Handle(FormFields::Parse("", "a=uploadfp&srcname=Radio One&fileContent=" + upload)).body,
              "OK\n");
    DescriptionStore served;
    served.LoadText(handlers.PlaylistRequest(Playlist("Radio One", At(10, 0), At(10, 10))).body);
    ASSERT_EQ(served.Size(), 2u);
    EXPECT_EQ(served.Records()[1]->title, "Second");
    ASSERT_TRUE(data.Uploads("Radio One"));
    EXPECT_EQ(data.Uploads("Radio One")->size(), 1u);
}

TEST_F(ServiceStoreTest, ThreadsUploadingAndReadingAtOnceAllSucceed) {
    ServiceData data(Data());
    fs::create_directories(Data());
    ServiceHandlers handlers(data, m_clock, 0.0);
    constexpr int kThreads = 6;
    constexpr int kRounds = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const StreamTime start = At(10, 0) + (int64_t{t} * kRounds + i) * 60000;
                const std::string stream = t % 2 ? "Odd" : "Even";
                const auto up = handlers.Handle(FormFields::Parse(
                    "", "a=uploadfp&srcname=" + stream + "&fileContent=" +
                            Des(false, {{start, start + 30000, "T"}})));
                const auto read = handlers.PlaylistRequest(Playlist(stream, At(10, 0), At(18, 0)));
                if (up.body != "OK\n" || read.body.rfind("# 0.9\n", 0) != 0) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    for (const std::string stream : {"Odd", "Even"}) {
        DescriptionStore served;
        served.LoadText(handlers.PlaylistRequest(Playlist(stream, At(10, 0), At(18, 0))).body);
        EXPECT_EQ(served.Size(), size_t{kThreads / 2 * kRounds}) << stream;
    }
}

}  // namespace
}  // namespace wk
