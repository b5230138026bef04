#pragma once
// The proxy display: listens for X clients, relays each to upstream through its own
// ConnectionProtocol, and runs the share service on the same single-threaded event loop.

#include "connection_protocol.h"
#include "policy.h"
#include "share_service.h"
#include "upstream_link.h"
#include "xcb_handles.h"

#include <functional>
#include <cstdint>
#include <map>
#include <set>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "receiver_gateway.h"

namespace telvane::server {

// The exit code when the display we stand in front of has gone (its connection or the capture
// link ended). Written in the man page.
inline constexpr int kExitUpstreamGone = 3;

struct ServerOptions {
    int display = -1;               // N of ":N"
    std::string upstream;           // display name of upstream
    bool access_control = true;     // false with -ac
    bool listen_tcp = false;        // true with -listen tcp: like X servers, TCP only when asked
    int displayfd = -1;             // where to announce readiness, -1 for none
    std::string trace_path;         // --trace FILE
    int connect_timeout_ms = 5000;  // limit for reaching a receiver
    int receiver_timeout_s = 30;    // a receiver that leaves a request unanswered this long is dropped
    ReceiverRoads roads = ReceiverRoads::Any;   // --receivers: may a receiver be reached plainly
    int picture_quality = kDefaultPictureQuality;   // --picture-quality: of lossy pictures, 1-100
};

class ProxyServer {
public:
    // Connects to upstream, claims the display (lock file, sockets) and publishes the cookie.
    // Nothing, with `error` set, when any of that fails.
    static std::unique_ptr<ProxyServer> create(const ServerOptions &options, std::string &error);
    ~ProxyServer();

    // Runs until SIGTERM, SIGINT or SIGHUP (exit code 0) or until upstream is gone
    // (kExitUpstreamGone).
    int run();

private:
    struct Connection;
    explicit ProxyServer(const ServerOptions &options);
    bool setup(std::string &error);
    bool claim_display(std::string &error);
    void accept_clients(int listen_fd);
    void on_client(uint64_t id, uint32_t events);
    void on_upstream(uint64_t id, uint32_t events);
    void pump(Connection &c);
    void settle(Connection &c);
    void close_connection(uint64_t id);
    // Lets connections whose held share requests have been settled see upstream again.
    void release_settled();
    // The set-up check for a client just accepted, `peer`: with -ac everyone; otherwise the
    // proxy's cookie, which local clients may do without when upstream needs no cookie and its
    // host access admits them (`own`: this machine's addresses). Refusals are logged. Called by
    // accept_clients.
    std::function<SetupVerdict(const SetupRequest &)> setup_check(const PeerIdentity &peer,
                                                                  const std::vector<HostEntry> &own);
    void update_interest(Connection &c);
    // Queues a share event for each of the connections `to` (the share service names them).
    void deliver(const wire::ShareEvent &ev, const std::vector<uint64_t> &to);
    void watch(int fd, uint64_t key, uint32_t events);
    // Watches a descriptor of the share service's own work, which waits while the server is
    // grabbed (see server_grabbed()).
    void watch_service(int fd, uint64_t key);
    void unwatch(int fd);
    // True while some client may hold the server grabbed. Upstream then answers that client
    // alone, so nothing that waits for upstream's answers on our own links may run.
    bool server_grabbed() const;
    // Runs the share service's ready work, unless a grab began meanwhile.
    void service_work();
    // Stops or resumes the share service's work when a grab begins or ends.
    void follow_grab();
    std::optional<int> connect_upstream() const;
    // True when upstream is gone: our own link or the capture link found it closed, or, after a
    // client's link to it ended, our own link has hung up (its reading waits while a client
    // holds the server grabbed).
    bool upstream_gone();
    // Closes every client as an X server that goes away does, after one try at writing what
    // each is owed, and says so in one line; returns kExitUpstreamGone.
    int leave_without_upstream();

    ServerOptions options_;
    Fd epoll_;
    Fd service_epoll_;   // the share service's descriptors, watched as one from epoll_
    bool service_paused_ = false;
    Fd signal_fd_;
    std::vector<Fd> listeners_;
    std::string lock_path_;
    std::string socket_path_;
    bool published_cookie_ = false;
    std::string identity_;   // the root property that tells receivers that are this display
    AuthPolicy auth_;
    HostAccess host_access_;   // upstream's, as last asked
    ConnectionProtocol::Config protocol_config_;
    std::vector<UpstreamExtension> extensions_;   // upstream's, for the requests refused to clients
    std::unique_ptr<UpstreamLink> upstream_;
    std::unique_ptr<ShareService> service_;
    std::map<uint64_t, std::unique_ptr<Connection>> connections_;
    uint64_t next_id_ = 1;
    std::vector<uint64_t> doomed_;   // closed while their events may still be in the current batch
    std::set<uint32_t> receiver_backlog_;   // receivers whose events were left for the next turn
    bool client_link_ended_ = false;   // upstream closed a client's link in this turn
};

}  // namespace telvane::server
