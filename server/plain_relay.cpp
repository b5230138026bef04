// Relays a plain X11 connection to a receiver, handing xcb whole packets only.
#include "plain_relay.h"

#include "link_relay.h"
#include "packet_gate.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace telvane::server {

namespace {

// The most one read from the receiver takes: its answers and events are small.
constexpr std::size_t kReadSize = 64u << 10;

void set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Reads what `fd` has into `q`, at most `room` bytes. False when the socket has ended or broken.
bool read_into(int fd, tlslink::ByteQueue &q, std::size_t room) {
    const ssize_t n = recv(fd, q.room(room), room, 0);
    if (n > 0) q.commit(static_cast<std::size_t>(n));
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
}

// Writes what `fd` takes of `q` without waiting. False when the socket has broken.
bool write_from(int fd, tlslink::ByteQueue &q) {
    while (!q.empty()) {
        const ssize_t n = send(fd, q.data(), q.size(), MSG_NOSIGNAL);
        if (n > 0) {
            q.consume(static_cast<std::size_t>(n));
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
    return true;
}

void relay(Fd tcp, Fd local, const std::string &receiver) {
    set_nonblocking(tcp.get());
    set_nonblocking(local.get());
    PacketGate gate;
    tlslink::ByteQueue up, in, down;   // to the receiver; read from it; whole packets for xcb
    bool tcp_open = true;
    std::string why;
    for (;;) {
        // The receiver's end is passed on whole before the connection ends for xcb too.
        if (!tcp_open && down.empty()) return;
        pollfd p[2] = {{local.get(), POLLRDHUP, 0}, {tcp.get(), 0, 0}};
        if (up.size() < kPlainRelayRoom) p[0].events |= POLLIN;
        if (!down.empty()) p[0].events |= POLLOUT;
        if (tcp_open && down.size() < kPlainRelayRoom) p[1].events |= POLLIN;
        if (tcp_open && !up.empty()) p[1].events |= POLLOUT;
        // A socket with nothing to wait for stays out: a hung-up one would wake us for ever.
        if (p[1].events == 0) p[1].fd = -1;
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        // xcb's end closed or shut down: the connection is over, whatever is on its way.
        if (p[0].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) return;
        if ((p[0].revents & POLLIN) && !read_into(local.get(), up, kPlainRelayRoom)) return;
        if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            tcp_open = read_into(tcp.get(), in, kReadSize);
            if (!gate.from_link(in, down, why)) {
                std::fprintf(stderr, "telvane-server: receiver %s sent %s; its connection is closed\n",
                             receiver.c_str(), why.c_str());
                return;
            }
        }
        if (tcp_open && !write_from(tcp.get(), up)) tcp_open = false;
        if (!write_from(local.get(), down)) return;
    }
}

}  // namespace

std::optional<Fd> relay_plain(Fd tcp, const std::string &receiver, std::string &why) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        why = std::string("no local socket: ") + std::strerror(errno);
        return std::nullopt;
    }
    Fd xcb_end(pair[0]), relay_end(pair[1]);
    // Room for a whole large picture between xcb and the relay, as on the encrypted road, so that
    // a frame is written at once.
    const int room = 4 << 20;
    setsockopt(xcb_end.get(), SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    try {
        std::thread(relay, std::move(tcp), std::move(relay_end), receiver).detach();
    } catch (const std::exception &) {
        why = "no thread to relay the connection";
        return std::nullopt;
    }
    return xcb_end;
}

}  // namespace telvane::server
