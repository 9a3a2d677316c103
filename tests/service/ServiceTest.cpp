#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempHome.h"
#include "core/Clock.h"
#include "service/Service.h"

namespace wk {
namespace {

constexpr const char* kForm = "application/x-www-form-urlencoded";

TEST(ServiceTest, ServesTheClientsRequestsOverLoopback) {
    test::TempDir dir;
    ManualClock clock(DateTime(2003, 11, 7, 17, 42, 20, 0));
    std::ostringstream log;
    ServiceOptions options;
    options.port = 0;
    options.dataFolder = dir.Path();
    options.clockOffsetSeconds = 2.0;
    options.threads = 2;
    options.maxBodyBytes = 64 * 1024;
    Service service(options, clock, log);
    const int port = service.Start();
    ASSERT_GT(port, 0);

    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(5, 0);

    auto time = client.Post(Service::kTimeCheckPath, "a=timeCheck&login=me&passwd=pw&localTime=1.000", kForm);
    ASSERT_TRUE(time);
    EXPECT_EQ(time->status, 200);
    EXPECT_EQ(time->body.substr(0, 3), "OK\n");

    // An upload as the client encodes it, then the playlist cut from it.
    const std::string des =
        "%23%200%2e9\r\n%23%20\r\n%23%20\r\n"
        "07/11/2003%20%2010:00:00%2e000\t07/11/2003%20%2010:03:00%2e000\tArtist\tTitle\t\t\t\t17\t\t0\r\n";
    auto upload = client.Post(Service::kTimeCheckPath,
                              "a=uploadfp&login=me&passwd=pw&srcname=Radio One&srctype=1"
                              "&MAX_FILE_SIZE=20000&userfile=desc.des&fileContent=" + des,
                              kForm);
    ASSERT_TRUE(upload);
    EXPECT_EQ(upload->body, "OK\n");
    auto playlist = client.Post(Service::kTimeCheckPath,
                                "lang=german&country=49&a=dofp&timestampstart=07/11/2003  09:58:00.000"
                                "&timestampend=07/11/2003  10:32:00.000&srcname=Radio One&srctype=1",
                                kForm);
    ASSERT_TRUE(playlist);
    EXPECT_EQ(playlist->status, 200);
    EXPECT_NE(playlist->body.find("\tArtist\tTitle\t"), std::string::npos) << playlist->body;

    // The channel list's kind rides in the URL's query.
    std::filesystem::path channels = dir.File("channels.txt");
    test::WriteFile(channels.string(), "Radio One\tOne\t9\n");
    auto list = client.Post(std::string(Service::kChannelListPath) +
                                "?lang=german&country=49&sourceid1=&sourceid2=9&a=gsl2",
                            "", kForm);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->body, "Radio One\tOne\t9\n");
    auto fallback = client.Post(std::string(Service::kPlaylistPagePath) + "?a=gsl&country=49", "", kForm);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->body, "Radio One\tOne\t9\n");

    auto tooBig = client.Post(Service::kTimeCheckPath, std::string(65 * 1024, 'x'), kForm);
    ASSERT_TRUE(tooBig);
    EXPECT_EQ(tooBig->status, 413);
    auto unknown = client.Post("/elsewhere", "a=timeCheck", kForm);
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);

    service.Stop();
    EXPECT_NE(log.str().find("upload.php3 -> 200, 3 bytes; a=uploadfp; stored "), std::string::npos) << log.str();
}

TEST(ServiceTest, StalledConnectionsAreClosedInTimeAndDoNotHoldUpOthers) {
    test::TempDir dir;
    ManualClock clock;
    std::ostringstream log;
    ServiceOptions options;
    options.port = 0;
    options.dataFolder = dir.Path();
    options.threads = 2;
    options.headerTimeoutMs = 300;
    options.requestTimeoutMs = 600;
    Service service(options, clock, log);
    const int port = service.Start();
    ASSERT_GT(port, 0);

    // More clients than workers, each sending part of a header (even) or of
    // a body (odd) and then nothing.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> stalled;
    for (int i = 0; i < 6; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        stalled.push_back(fd);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const std::string part =
            i % 2 ? "POST /html/playlists/upload.php3 HTTP/1.1\r\nContent-Length: 100\r\n\r\na="
                  : "POST /html/playlists/upload.php3 HTTP/1.1\r\nContent-";
        ASSERT_EQ(::send(fd, part.data(), part.size(), 0), static_cast<ssize_t>(part.size()));
    }

    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5, 0);
    auto answer = client.Post(Service::kTimeCheckPath, "a=timeCheck", kForm);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->body.substr(0, 3), "OK\n");
    // The service ends each of them (5 s is a bound for slow machines).
    for (const int fd : stalled) {
        pollfd p{fd, POLLIN, 0};
        char byte = 0;
        EXPECT_EQ(::poll(&p, 1, 5000), 1);
        EXPECT_LE(::recv(fd, &byte, 1, 0), 0);
        ::close(fd);
    }
    service.Stop();
    EXPECT_NE(log.str().find("closed: no complete request header in time"), std::string::npos)
        << log.str();
    EXPECT_NE(log.str().find("closed: no complete request in time"), std::string::npos) << log.str();
}

}  // namespace
}  // namespace wk
