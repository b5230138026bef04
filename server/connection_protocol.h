#pragma once
// Per-connection X11 protocol state of the proxy: frames the client's requests and upstream's
// replies, events and errors without re-encoding them, keeps the sequence numbers, answers share
// requests locally and rewrites the two extension-listing replies. Pure: no sockets, no X library.

#include "byte_order.h"
#include "byte_queue.h"
#include "share_wire.h"
#include "x11_framing.h"
#include "x11_setup.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace telvane::server {

// The codes upstream lets the proxy use for the share extension.
struct ExtensionCodes {
    uint8_t major = 0;
    uint8_t first_event = 0;
    uint8_t first_error = 0;
};

// How the proxy answers one share request on the client's connection.
struct LocalAnswer {
    enum class Kind { None, Reply, Error };
    Kind kind = Kind::None;
    uint32_t value = 0;       // the reply's result word, or the error's bad value
    uint8_t error_code = 0;   // for Kind::Error
    // Set when the request's outcome is still open (a receiver is being reached): what upstream
    // answers to the client's later requests waits until the outcome's events are out, so that
    // a client's round trip after the request also brings its events.
    bool hold = false;
    static LocalAnswer none() { return {}; }
    static LocalAnswer held() {
        LocalAnswer a;
        a.hold = true;
        return a;
    }
    static LocalAnswer reply(uint32_t v) { return {Kind::Reply, v, 0}; }
    static LocalAnswer error(uint8_t code, uint32_t bad_value = 0) { return {Kind::Error, bad_value, code}; }
};

// A request the proxy answers itself with an error, never letting upstream see it: one that
// upstream would refuse this client on a direct connection (policy.h refused_requests).
struct RefusedRequest {
    uint8_t major = 0;
    uint8_t first_minor = 0, last_minor = 255;   // the second byte of the request, inclusive
    uint8_t error = 0;
};

// What the proxy does with a client's set-up request.
struct SetupVerdict {
    bool accept = true;
    std::string refusal_reason;            // sent to the client when !accept
    bool replace_auth = false;             // forward with the credentials below instead of the client's
    std::string auth_name;
    std::string auth_data;
};

// Receives the share requests of one connection once upstream has processed every request the
// client sent before them, so that windows the client just created already exist.
class ShareRequestHandler {
public:
    virtual ~ShareRequestHandler() = default;
    // `request` is decoded in the client's byte order; `total_bytes` is the request's real size;
    // `sequence` is its full sequence number on the connection. Returns the local answer.
    virtual LocalAnswer on_share_request(const wire::ShareRequest &request, size_t total_bytes,
                                         uint64_t sequence) = 0;
};

class ConnectionProtocol {
public:
    struct Config {
        ExtensionCodes codes;
        uint8_t bigreq_major = 0;   // upstream's BIG-REQUESTS opcode, 0 when it has none
        std::function<SetupVerdict(const SetupRequest &)> check_setup;  // empty: accept all
        bool passes_fds = true;   // false for a client that cannot take descriptors (TCP)
        std::vector<RefusedRequest> refused;   // the first that matches a request answers it
    };

    enum class Status {
        Open,          // keep going
        CloseAfterFlush,  // send what is queued for the client, then close
        Broken,        // the peer broke the protocol: close now
    };

    // `handler` must outlive the object; it may be null (share requests then get no answer).
    ConnectionProtocol(Config config, ShareRequestHandler *handler);

    // Frames bytes the client sent. Forwarded bytes go to upstream_out(), local answers to
    // client_out(). With `lend`, bytes that pass unchanged stay in `data` (ByteQueue::lend) until
    // the caller settles both queues, which it must do before that memory changes.
    Status from_client(const uint8_t *data, size_t n, bool lend = false);
    // Frames bytes upstream sent. They go to client_out(), rewritten where the extension shows;
    // `lend` as for from_client.
    Status from_upstream(const uint8_t *data, size_t n, bool lend = false);

    // Queues a share event for the client. It is written between two upstream packets, carrying
    // the sequence number of the last request the client has seen answered.
    void queue_event(const wire::ShareEvent &event);

    // While held, upstream's bytes are kept back; releasing frames them as if they had just
    // arrived. Called once the held request's outcome has been queued with queue_event.
    bool held() const { return held_; }
    // Bytes of upstream's kept back while held; the proxy stops reading upstream for this
    // connection while they are many, as it does for a client that does not read.
    size_t held_size() const { return held_bytes_.size(); }
    Status release_hold();

    ByteQueue &upstream_out() { return to_upstream_; }
    ByteQueue &client_out() { return to_client_; }

    bool setup_done() const { return c2s_phase_ == C2S::Requests; }
    bool has_sent_share_request() const { return share_client_; }
    // True from the moment the client asks for a server grab until its UngrabServer has left
    // for upstream. While so, upstream may answer nobody else, the proxy's own links included.
    bool may_hold_grab() const { return grabbing_ || to_upstream_.taken() < ungrab_sent_at_; }
    wire::ByteOrder order() const { return order_; }
    uint64_t requests_sent() const { return client_seq_; }
    uint64_t last_sequence_seen() const { return last_seq_; }

private:
    enum class C2S { Setup, Requests, Dead };
    enum class S2C { SetupReply, Packets };
    enum class Pending { ShareCarrier, QueryExtension, ListExtensions, Refused };
    struct PendingReply {
        uint64_t sequence;
        Pending kind;
        wire::ShareRequest request;
        size_t total_bytes;
        uint8_t major = 0;   // for Refused: the request refused and its error
        uint8_t minor = 0;
        uint8_t error = 0;
    };

    bool gather(std::vector<uint8_t> &buf, size_t want, const uint8_t *&data, size_t &n);
    Status client_setup();
    Status client_request_header(const uint8_t *&data, size_t &n);
    size_t ordinary_run(const uint8_t *data, size_t n);
    void pass(ByteQueue &q, const uint8_t *data, size_t n);
    std::optional<uint8_t> refusal(uint8_t major, uint8_t minor) const;
    void send_carrier();
    void flush_events();
    void answer_share(const PendingReply &p, uint64_t seq);
    std::vector<uint8_t> rewrite_list_extensions(const std::vector<uint8_t> &reply) const;

    Config config_;
    ShareRequestHandler *handler_;
    wire::ByteOrder order_ = wire::ByteOrder::Lsb;

    // client -> upstream
    C2S c2s_phase_ = C2S::Setup;
    std::vector<uint8_t> c2s_buf_;
    size_t c2s_pass_ = 0;      // bytes of the current request still to forward as they are
    size_t c2s_discard_ = 0;   // bytes of the current request still to drop
    uint64_t client_seq_ = 0;
    bool bigreq_enabled_ = false;
    bool share_client_ = false;
    bool grabbing_ = false;
    uint64_t ungrab_sent_at_ = 0;   // where in to_upstream_ the last UngrabServer ends
    std::array<bool, 256> inspected_{};   // majors that take the slow path
    bool lending_ = false;                // inside a call that lends its bytes

    // upstream -> client
    S2C s2c_phase_ = S2C::SetupReply;
    std::vector<uint8_t> s2c_buf_;
    size_t s2c_pass_ = 0;
    size_t s2c_discard_ = 0;
    bool answering_ = false;   // inside the share handler: events wait for the answer
    uint64_t last_seq_ = 0;
    std::deque<PendingReply> pending_;
    std::vector<wire::ShareEvent> events_;
    bool held_ = false;
    std::vector<uint8_t> held_bytes_;

    ByteQueue to_upstream_;
    ByteQueue to_client_;
};

// The core opcodes and codes the proxy recognises, from the framing both ends share.
using wire::kBadAccess;
using wire::kBadAlloc;
using wire::kBadLength;
using wire::kBadMatch;
using wire::kBadRequest;
using wire::kGenericEvent;
using wire::kKeymapNotify;
using wire::kOpGetInputFocus;
using wire::kOpGrabServer;
using wire::kOpListExtensions;
using wire::kOpQueryExtension;
using wire::kOpUngrabServer;

// Largest request the proxy collects whole to inspect (QueryExtension); longer ones pass through.
inline constexpr size_t kMaxInspectedRequest = 1 << 16;
// The longest share request taken (and answered with BadLength): the core protocol's maximum
// request length, 65535 units of 4 bytes. Longer ones close the connection.
inline constexpr size_t kMaxShareRequestBytes = 65535 * 4;
// Largest ListExtensions reply the proxy rewrites; longer ones are a broken upstream.
inline constexpr size_t kMaxRewrittenReply = 1 << 20;

}  // namespace telvane::server
