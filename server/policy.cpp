// Pure decisions of the server: extension codes, request validation, access, failure details, set-up.
#include "policy.h"

#include <algorithm>
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
    std::string tail = rest.substr(before.size());
    // In compound text the client comes back to ASCII (and maybe Latin-1) before the suffix.
    for (const char *back : {"\x1b(B", "\x1b-A"})
        if (tail.compare(0, 3, back) == 0) tail.erase(0, 3);
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

namespace {

// An IPv4 client reached over an IPv6 socket arrives as ::ffff:a.b.c.d; this is a.b.c.d.
std::string unmapped(const std::string &address) {
    static const char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '\xff', '\xff'};
    if (address.size() == 16 && address.compare(0, 12, std::string(mapped, 12)) == 0) return address.substr(12);
    return address;
}

}  // namespace

bool host_admits(const HostAccess &access, const PeerIdentity &peer, const std::vector<HostEntry> &own_addresses) {
    if (!access.enabled) return true;
    const std::string v4 = unmapped(peer.address);
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

bool counts_as_local(const PeerIdentity &peer, const std::vector<HostEntry> &own_addresses) {
    if (peer.local) {
        // The program's name as X servers read it: up to its first colon, without its folder.
        const size_t start = std::min(peer.command.find_first_not_of(':'), peer.command.size());
        std::string name = peer.command.substr(start);
        name = name.substr(0, name.find(':'));
        return name.substr(name.rfind('/') + 1) != "ssh";
    }
    const std::string address = unmapped(peer.address);
    const uint8_t family = address.size() == 4 ? kFamilyInternet : kFamilyInternet6;
    for (const HostEntry &own : own_addresses)
        if (own.family == family && own.address == address) return true;
    return false;
}

namespace {

// Requests that X servers (Xorg, Xvfb) keep to clients they count as local, from their access
// checks. A row applies to a client that is not `unless`, for minors first..last of the extension
// (any second byte of a core request). `error` is a core error, or with `own_error` the offset of
// one of the extension's own errors. The first row that matches a request decides.
enum class Unless { Local, UnixSocket };
struct LocalOnlyRow {
    const char *extension;   // nullptr: the core request `core_major`
    uint8_t core_major;
    uint8_t first_minor, last_minor;
    Unless unless;
    uint8_t error;
    bool own_error;
};

constexpr uint8_t kOpChangeHosts = 109, kOpSetAccessControl = 111;
constexpr uint8_t kClientNotLocal = 0, kVidModeClientNotLocal = 5;

const LocalOnlyRow kLocalOnly[] = {
    {nullptr, kOpChangeHosts, 0, 255, Unless::Local, kBadAccess, false},
    {nullptr, kOpSetAccessControl, 0, 255, Unless::Local, kBadAccess, false},
    // Attach is judged by the client's own credentials, which only a unix socket carries; others
    // may attach only segments open to everyone. The proxy refuses them all: a segment of this
    // machine is of no use to a client elsewhere.
    {"MIT-SHM", 0, 1, 1, Unless::UnixSocket, kBadAccess, false},
    // CreateSegment answers with a descriptor, which TCP cannot carry; so do DRI3's Open,
    // BufferFromPixmap, FDFromFence and BuffersFromPixmap.
    {"MIT-SHM", 0, 7, 7, Unless::UnixSocket, kBadAlloc, false},
    {"DRI3", 0, 0, 255, Unless::Local, kBadMatch, false},
    {"DRI3", 0, 1, 1, Unless::UnixSocket, kBadAlloc, false},
    {"DRI3", 0, 3, 3, Unless::UnixSocket, kBadAlloc, false},
    {"DRI3", 0, 5, 5, Unless::UnixSocket, kBadAlloc, false},
    {"DRI3", 0, 8, 8, Unless::UnixSocket, kBadAlloc, false},
    {"DRI2", 0, 1, 255, Unless::Local, kBadRequest, false},   // all but QueryVersion
    {"XFree86-DGA", 0, 0, 255, Unless::Local, kClientNotLocal, true},
    // VidMode's requests that change the screen: ModModeLine, SwitchMode, LockModeSwitch,
    // AddModeLine, DeleteModeLine, SwitchToMode, SetViewPort, SetGamma, SetGammaRamp.
    {"XFree86-VidModeExtension", 0, 2, 3, Unless::Local, kVidModeClientNotLocal, true},
    {"XFree86-VidModeExtension", 0, 5, 5, Unless::Local, kVidModeClientNotLocal, true},
    {"XFree86-VidModeExtension", 0, 7, 8, Unless::Local, kVidModeClientNotLocal, true},
    {"XFree86-VidModeExtension", 0, 10, 10, Unless::Local, kVidModeClientNotLocal, true},
    {"XFree86-VidModeExtension", 0, 12, 12, Unless::Local, kVidModeClientNotLocal, true},
    {"XFree86-VidModeExtension", 0, 15, 15, Unless::Local, kVidModeClientNotLocal, true},
    {"XFree86-VidModeExtension", 0, 18, 18, Unless::Local, kVidModeClientNotLocal, true},
};

}  // namespace

std::vector<RefusedRequest> refused_requests(bool local, bool unix_socket, const std::vector<UpstreamExtension> &upstream) {
    std::vector<RefusedRequest> out;
    for (const LocalOnlyRow &row : kLocalOnly) {
        if (row.unless == Unless::Local ? local : unix_socket) continue;
        if (!row.extension) out.push_back({row.core_major, 0, 255, row.error});
        for (const UpstreamExtension &e : upstream)
            if (row.extension && e.name == row.extension)
                out.push_back({e.major, row.first_minor, row.last_minor,
                               static_cast<uint8_t>(row.own_error ? e.first_error + row.error : row.error)});
    }
    return out;
}

}  // namespace telvane::server
