// Pure decisions of the server: extension codes, request validation, access, failure details, set-up.
#include "policy.h"

#include <cerrno>
#include <cstdlib>

namespace telvane::server {

namespace {

// Codes reserved after each upstream base: extensions use several consecutive codes.
constexpr int kEventSpan = 16;
constexpr int kErrorSpan = 32;

std::optional<uint8_t> highest_free(int low, int high, int span,
                                    const std::vector<UpstreamExtension> &upstream, bool events) {
    for (int c = high; c >= low; --c) {
        bool taken = false;
        for (const auto &e : upstream) {
            int base = events ? e.first_event : e.first_error;
            if (base != 0 && c >= base && c < base + span) taken = true;
        }
        if (!taken) return static_cast<uint8_t>(c);
    }
    return std::nullopt;
}

}  // namespace

std::optional<ExtensionCodes> choose_extension_codes(const std::vector<UpstreamExtension> &upstream) {
    std::optional<uint8_t> major;
    for (int c = 255; c >= 128 && !major; --c) {
        bool taken = false;
        for (const auto &e : upstream) taken = taken || e.major == c;
        if (!taken) major = static_cast<uint8_t>(c);
    }
    // Event codes above 127 would collide with the "sent by a client" bit.
    auto event = highest_free(64, 127, kEventSpan, upstream, true);
    auto error = highest_free(128, 255, kErrorSpan, upstream, false);
    if (!major || !event || !error) return std::nullopt;
    return ExtensionCodes{*major, *event, *error};
}

std::optional<LocalAnswer> share_request_error(const wire::ShareRequest &req, size_t total_bytes) {
    if (!wire::is_known_minor(req.minor)) return LocalAnswer::error(kBadRequest);
    if (total_bytes != wire::kShareRequestBytes) return LocalAnswer::error(kBadLength);
    return std::nullopt;
}

uint32_t check_access_verdict(uint32_t uid, const std::array<uint8_t, 4> &address, uint32_t server_uid,
                              const std::vector<std::array<uint8_t, 4>> &local_addresses) {
    if (uid != server_uid) return 0;
    if (address[0] == 127) return 1;
    for (const auto &a : local_addresses)
        if (a == address) return 1;
    return 0;
}

std::optional<std::string> unmarked_title(const std::string &now, const std::string &before) {
    // "[name] ": a bracketed word without "]" of its own, and a blank.
    if (now.size() < before.size() + 3 || now[0] != '[') return std::nullopt;
    const size_t close = now.find(']');
    if (close == std::string::npos || close + 1 >= now.size() || now[close + 1] != ' ') return std::nullopt;
    const std::string rest = now.substr(close + 2);
    if (rest.compare(0, before.size(), before) != 0) return std::nullopt;
    const std::string tail = rest.substr(before.size());
    // " [word]", unless the title already ended with one and the mark left it alone.
    const bool word = tail.size() >= 3 && tail[0] == ' ' && tail[1] == '[' && tail.back() == ']' &&
                      tail.find(']') == tail.size() - 1;
    if (!word && !(tail.empty() && !before.empty() && before.back() == ']')) return std::nullopt;
    return before;
}

std::optional<DisplayAddress> parse_display_text(const std::string &text) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    DisplayAddress d;
    d.host = text.substr(0, colon);
    if (d.host == "unix") d.host.clear();
    std::string rest = text.substr(colon + 1);
    if (rest.empty()) return std::nullopt;
    auto dot = rest.find('.');
    std::string num = rest.substr(0, dot);
    std::string scr = dot == std::string::npos ? "0" : rest.substr(dot + 1);
    auto parse = [](const std::string &s, int &out) {
        if (s.empty() || s.size() > 5) return false;
        for (char c : s)
            if (c < '0' || c > '9') return false;
        out = std::atoi(s.c_str());
        return true;
    };
    if (!parse(num, d.display) || !parse(scr, d.screen) || d.display > kMaxDisplayNumber) return std::nullopt;
    return d;
}

wire::ConnectFailure classify_connect_errno(int err) {
    switch (err) {
    case ECONNREFUSED: return wire::ConnectFailure::NoXServer;
    default: return wire::ConnectFailure::NoRoute;  // timeouts, unreachable hosts and networks
    }
}

wire::ConnectFailure classify_setup_refusal(bool offered_credentials) {
    return offered_credentials ? wire::ConnectFailure::AuthorizationRejected
                               : wire::ConnectFailure::RefusedByHostAccess;
}

SetupVerdict decide_setup(const SetupRequest &req, const AuthPolicy &policy) {
    SetupVerdict v;
    const bool ours = !policy.cookie.empty() && req.auth_name == kMagicCookieName && req.auth_data == policy.cookie;
    if (policy.require_cookie && !ours) {
        v.accept = false;
        v.refusal_reason = req.auth_name.empty() ? "Authorization required, but no authorization protocol specified"
                                                 : "Invalid MIT-MAGIC-COOKIE-1 key";
        return v;
    }
    if (policy.have_upstream_credentials) {
        v.replace_auth = true;
        v.auth_name = policy.upstream_name;
        v.auth_data = policy.upstream_data;
    } else if (ours || policy.require_cookie) {
        // Our cookie means nothing upstream; never pass it on.
        v.replace_auth = true;
    }
    return v;
}

bool host_admits(const HostAccess &access, const PeerIdentity &peer, const std::vector<HostEntry> &own_addresses) {
    if (!access.enabled) return true;
    // An IPv4 client reached over an IPv6 socket arrives as ::ffff:a.b.c.d.
    std::string v4 = peer.address;
    static const char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '\xff', '\xff'};
    if (v4.size() == 16 && v4.compare(0, 12, std::string(mapped, 12)) == 0) v4 = v4.substr(12);
    for (const HostEntry &h : access.hosts) {
        if (peer.local) {
            if (h.family == kFamilyLocalHost) return true;
            for (const HostEntry &own : own_addresses)
                if (own.family == h.family && own.address == h.address) return true;
            if (h.family != kFamilyServerInterpreted) continue;
            const size_t nul = h.address.find('\0');
            if (nul == std::string::npos) continue;
            const std::string type = h.address.substr(0, nul), value = h.address.substr(nul + 1);
            if (type == "localuser" && !peer.user.empty() && value == peer.user) return true;
            if (type == "localgroup")
                for (const auto &g : peer.groups)
                    if (g == value) return true;
        } else if ((h.family == kFamilyInternet && v4.size() == 4 && h.address == v4) ||
                   (h.family == kFamilyInternet6 && peer.address.size() == 16 && h.address == peer.address)) {
            return true;
        }
    }
    return false;
}

}  // namespace telvane::server
