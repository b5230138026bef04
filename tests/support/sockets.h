#pragma once
// Raw sockets for tests that speak to servers byte by byte: TCP from a chosen address of this
// machine, a display's unix socket, and the set-up request an X client opens with.

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace telvane::testing {

// An X11 set-up request without credentials, least significant byte first, protocol 11.0.
inline constexpr uint8_t kSetupLsb[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// A TCP connection from address `from` of this machine (any when empty) to `to`:`port`, with
// sends, the connect included, limited to 20 s; -1 when it failed. With SOCK_NONBLOCK in `flags`
// the connect goes on in the background.
inline int tcp_connect(const std::string &from, const std::string &to, int port, int flags = 0) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    timeval limit{20, 0};
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (!from.empty() && (inet_pton(AF_INET, from.c_str(), &a.sin_addr) != 1 ||
                          bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)) {
        close(s);
        return -1;
    }
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, to.c_str(), &a.sin_addr);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && !(errno == EINPROGRESS && flags & SOCK_NONBLOCK)) {
        close(s);
        return -1;
    }
    return s;
}

// A connection to display `display`'s unix socket, with reads limited to 20 s; -1 when it failed.
inline int unix_connect(int display) {
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(display);
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    timeval limit{20, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return s;
}

}  // namespace telvane::testing
