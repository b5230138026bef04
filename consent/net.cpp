// Opening the listening socket and naming a connection's peer.
#include "net.h"

#include "texts.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace telvane::consent {

Listener open_listener(const std::string &host, uint16_t port) {
    Listener result;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!host.empty() && inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (rc != 0 || !found) {
            result.error = "cannot resolve '" + host + "': " + gai_strerror(rc);
            return result;
        }
        addr.sin_addr = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        result.error = std::string("socket: ") + std::strerror(errno);
        return result;
    }
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // The kernel's largest queue: when it is full new connections are dropped and their senders
    // try again only after a second or more, so a burst from one address must not fill it.
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd.get(), SOMAXCONN) != 0) {
        result.error = "cannot listen on " + (host.empty() ? std::string("*") : host) + ":" +
                       std::to_string(port) + ": " + std::strerror(errno);
        return result;
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    getsockname(fd.get(), reinterpret_cast<sockaddr *>(&bound), &len);
    Ipv4Address a{};
    std::memcpy(a.data(), &bound.sin_addr.s_addr, 4);
    result.bound = dotted(a) + ":" + std::to_string(ntohs(bound.sin_port));
    result.fd = std::move(fd);
    return result;
}

Ipv4Address peer_address(int fd) {
    Ipv4Address a{};
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&ss), &len) == 0 && ss.ss_family == AF_INET) {
        std::memcpy(a.data(), &reinterpret_cast<sockaddr_in *>(&ss)->sin_addr.s_addr, 4);
    }
    return a;
}

}  // namespace telvane::consent
