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

// The IPv4 address `ip` (any when empty) and `port`.
inline sockaddr_in inet_address(const std::string &ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (!ip.empty()) inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

// The unix socket address of `path`; in the abstract namespace (a leading zero) when `abstract`.
inline sockaddr_un unix_address(const std::string &path, bool abstract = false) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path + abstract, path.data(), path.size());
    return a;
}

// A TCP connection from address `from` of this machine (any when empty) to `to`:`port`, with
// sends, the connect included, limited to 20 s; -1 when it failed. With SOCK_NONBLOCK in `flags`
// the connect goes on in the background.
inline int tcp_connect(const std::string &from, const std::string &to, int port, int flags = 0) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    timeval limit{20, 0};
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const sockaddr_in local = inet_address(from, 0), remote = inet_address(to, port);
    if ((!from.empty() && bind(s, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) ||
        (connect(s, reinterpret_cast<const sockaddr *>(&remote), sizeof remote) != 0 &&
         !(errno == EINPROGRESS && flags & SOCK_NONBLOCK))) {
        close(s);
        return -1;
    }
    return s;
}

// A connection to display `display`'s unix socket, with reads limited to 20 s; -1 when it failed.
inline int unix_connect(int display) {
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un a = unix_address("/tmp/.X11-unix/X" + std::to_string(display));
    if (connect(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    timeval limit{20, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return s;
}

}  // namespace telvane::testing
