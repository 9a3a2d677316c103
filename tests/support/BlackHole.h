#pragma once
// A loopback port whose TCP handshake never completes, as a black-holed
// service's: a listening socket with a backlog of 0 that nobody accepts from,
// its queue filled by a connection of our own. The kernel then drops further
// SYNs, so a client stays in its connect until its own time-out.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wk::test {

class BlackHole {
public:
    BlackHole() {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &length) != 0 ||
            ::listen(m_listen, 0) != 0) {
            ADD_FAILURE() << "loopback socket set-up failed";
            return;
        }
        m_port = ntohs(a.sin_port);
        // Fill the queue until a connection of our own hangs in its handshake.
        for (int i = 0; i < 16; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            m_fillers.push_back(fd);
            ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 200) == 0) return;
        }
        ADD_FAILURE() << "the loopback queue did not fill up";
    }
    ~BlackHole() {
        for (const int fd : m_fillers) ::close(fd);
        if (m_listen >= 0) ::close(m_listen);
    }
    BlackHole(const BlackHole&) = delete;
    BlackHole& operator=(const BlackHole&) = delete;

    std::string Root() const { return "http://127.0.0.1:" + std::to_string(m_port); }

private:
    int m_listen = -1;
    int m_port = 0;
    std::vector<int> m_fillers;
};

}  // namespace wk::test
