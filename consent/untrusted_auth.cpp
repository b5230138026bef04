// Has a display make, and later revoke, an untrusted authorization for one display link.
#include "untrusted_auth.h"

#include "security_requests.h"
#include "texts.h"

#include <cerrno>
#include <optional>
#include <poll.h>
#include <sys/socket.h>

namespace telvane::consent {

namespace {

using Clock = std::chrono::steady_clock;
namespace xs = xsecurity;

// Replies longer than this are not ours: ours are 32 bytes and a 16-byte cookie.
constexpr std::size_t kMaxReply = 1u << 16;
// Answers to other requests, or events, skipped while waiting for one reply.
constexpr int kMaxSkipped = 64;

// Requests and answers on one connection, every wait ending at the same deadline; `why` says
// what went wrong.
struct Exchange {
    Exchange(int fd, Clock::time_point deadline, std::uint16_t sent = 0) : fd(fd), deadline(deadline), sent(sent) {}
    int fd;
    Clock::time_point deadline;
    std::uint16_t sent;   // requests sent, so the sequence number of the last
    std::string why;

    bool wait(short events) {
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) { why = "no answer in time"; return false; }
            pollfd p{fd, events, 0};
            const int r = poll(&p, 1, static_cast<int>(left));
            if (r > 0) return true;   // ready, or hung up: the next call says which
            if (r < 0 && errno != EINTR) { why = "poll failed"; return false; }
        }
    }
    bool send_bytes(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) { bytes.remove_prefix(static_cast<std::size_t>(n)); continue; }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) { why = "the connection broke"; return false; }
            if (!wait(POLLOUT)) return false;
        }
        return true;
    }
    bool read(std::string &out, std::size_t n) {
        out.resize(n);
        for (std::size_t got = 0; got < n;) {
            const ssize_t r = ::recv(fd, out.data() + got, n - got, MSG_DONTWAIT);
            if (r > 0) { got += static_cast<std::size_t>(r); continue; }
            if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                why = "the connection broke";
                return false;
            }
            if (!wait(POLLIN)) return false;
        }
        return true;
    }
    bool request(std::string_view bytes) {
        ++sent;
        return send_bytes(bytes);
    }
    // Sends `bytes` and returns the whole reply to it (its 32 bytes and the rest); nothing when
    // the display answers with an error, breaks or is late.
    std::optional<std::string> ask(std::string_view bytes, const char *name) {
        if (!request(bytes)) return std::nullopt;
        std::string head, rest;
        for (int skipped = 0; skipped <= kMaxSkipped; ++skipped) {
            if (!read(head, xs::kAnswerSize)) return std::nullopt;
            const xs::Answer a = xs::read_answer(reinterpret_cast<const uint8_t *>(head.data()));
            if (a.rest > kMaxReply) { why = std::string("an overlong answer to ") + name; return std::nullopt; }
            if (a.rest && !read(rest, a.rest)) return std::nullopt;
            if (a.type > xs::kReplyType || a.sequence != sent) continue;   // an event, or not ours
            if (a.type == xs::kErrorType) {
                why = std::string("X error ") + std::to_string(a.error_code) + " to " + name;
                return std::nullopt;
            }
            return head + rest;
        }
        why = std::string("no answer to ") + name + " among its others";
        return std::nullopt;
    }
};

}  // namespace

UntrustedAuth UntrustedAuth::make(UniqueFd display, tlslink::SetupAuth own, std::chrono::milliseconds limit) {
    UntrustedAuth a;
    a.credentials_ = std::move(own);
    auto fail = [&](const std::string &why) {
        a.note_ = why;
        return std::move(a);
    };
    if (!display) return fail("cannot connect to it");
    Exchange x{display.get(), Clock::now() + limit};
    std::string head, rest;
    if (!x.send_bytes(xs::setup_request(a.credentials_.name, a.credentials_.data)) || !x.read(head, xs::kSetupHeadSize))
        return fail(x.why);
    const xs::SetupHead setup = xs::read_setup_head(reinterpret_cast<const uint8_t *>(head.data()));
    if (setup.rest > kMaxReply * 4 || !x.read(rest, setup.rest)) return fail(x.why.empty() ? "an overlong set-up" : x.why);
    if (setup.status != xs::kSetupSuccess)
        return fail("it refused the user's own credentials: " + printable_identity(rest.substr(0, setup.reason_length)));

    const auto extension = x.ask(xs::query_extension(xs::kExtensionName), "QueryExtension");
    if (!extension) return fail(x.why);
    const auto major = xs::extension_opcode(reinterpret_cast<const uint8_t *>(extension->data()));
    if (!major) {
        a.wall_ = Wall::OwnCredentials;
        a.note_ = "trusted: the display has no SECURITY extension";
        return a;
    }
    if (!x.ask(xs::query_version(*major), "SecurityQueryVersion")) return fail(x.why);
    const auto reply = x.ask(xs::generate_authorization(*major, kUntrustedAuthLapse), "SecurityGenerateAuthorization");
    if (!reply) return fail(x.why);
    const auto granted = xs::read_granted(*reply);
    if (!granted || granted->cookie.empty()) return fail("its authorization came without a cookie");
    a.wall_ = Wall::Untrusted;
    a.credentials_ = {std::string(xs::kCookieProtocol), granted->cookie};
    a.note_ = "untrusted";
    a.fd_ = std::move(display);
    a.major_ = *major;
    a.id_ = granted->id;
    a.sent_ = x.sent;
    return a;
}

void UntrustedAuth::revoke() {
    if (!fd_) return;
    Exchange x{fd_.get(), Clock::now() + kRevokeLimit, sent_};
    // The round trip's answer comes once the revocation is done. An authorization that has
    // lapsed already gets an error, which is skipped as an answer to another request.
    if (x.request(xs::revoke_authorization(major_, id_))) x.ask(xs::get_input_focus(), "GetInputFocus");
    fd_.reset();
}

}  // namespace telvane::consent
