// telvane-server's command line: a new X display in front of an existing one.
#include "policy.h"
#include "picture_policy.h"
#include "proxy_server.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The whole usage: what --help prints, and what a mistake gets to stderr.
void usage(const char *prog, FILE *to) {
    std::fprintf(to,
                 "usage: %s :N --upstream DISPLAY [options]\n"
                 "\n"
                 "A new X display :N in front of the display DISPLAY, with the ShareExtension.\n"
                 "  :N                          the display to serve, 0 to %d (required)\n"
                 "  --upstream DISPLAY          the X display to stand in front of (required; -upstream too)\n"
                 "  -ac                         let in every client, without the cookie (default: access control on)\n"
                 "  -listen tcp                 also listen on TCP port 6000+N (default: local sockets only)\n"
                 "  -nolisten tcp               do not listen on TCP (the default)\n"
                 "  -displayfd FD               write N and a newline to descriptor FD once ready (default: none)\n"
                 "  --trace FILE                write every share request and event to FILE (default: none)\n"
                 "  --connect-timeout MS        give up reaching a receiver after MS milliseconds (default 5000)\n"
                 "  --receiver-timeout SECONDS  drop a receiver that leaves a request unanswered this long (default 30)\n"
                 "  --receivers any|secure      secure: reach receivers only through their encrypted link (default any:\n"
                 "                              plain X11 over TCP where a receiver host offers no link)\n"
                 "  --picture-quality Q         quality of the lossy pictures photographic areas travel as through\n"
                 "                              links that decode them, 1 to 100 (default %d); what stays still\n"
                 "                              for about a second is sent again exactly\n"
                 "  --help                      show this text\n"
                 "  --version                   show the version\n",
                 prog, telvane::server::kMaxDisplayNumber, telvane::server::kDefaultPictureQuality);
}

bool parse_number(const char *s, int &out) {
    char *end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (!s[0] || *end || v < 0 || v > 65535) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    telvane::server::ServerOptions o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-help") {
            usage(argv[0], stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("telvane-server %s\n", TELVANE_VERSION);
            return 0;
        }
        auto next = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const char *v = nullptr;
        if (a[0] == ':' && parse_number(a.c_str() + 1, o.display)) continue;
        if (a == "-ac") { o.access_control = false; continue; }
        if ((a == "--upstream" || a == "-upstream") && (v = next())) { o.upstream = v; continue; }
        if (a == "-nolisten" && (v = next())) { if (std::strcmp(v, "tcp") == 0) o.listen_tcp = false; continue; }
        if (a == "-listen" && (v = next())) { if (std::strcmp(v, "tcp") == 0) o.listen_tcp = true; continue; }
        if (a == "-displayfd" && (v = next()) && parse_number(v, o.displayfd)) continue;
        if (a == "--trace" && (v = next())) { o.trace_path = v; continue; }
        if (a == "--connect-timeout" && (v = next()) && parse_number(v, o.connect_timeout_ms)) continue;
        if (a == "--receiver-timeout" && (v = next()) && parse_number(v, o.receiver_timeout_s) && o.receiver_timeout_s > 0)
            continue;
        if (a == "--picture-quality" && (v = next())) {
            if (auto q = telvane::server::parse_picture_quality(v)) { o.picture_quality = *q; continue; }
        }
        if (a == "--receivers" && (v = next())) {
            if (std::strcmp(v, "secure") == 0) { o.roads = telvane::server::ReceiverRoads::Secure; continue; }
            if (std::strcmp(v, "any") == 0) { o.roads = telvane::server::ReceiverRoads::Any; continue; }
        }
        std::fprintf(stderr, "%s: unknown or incomplete option '%s'\n", argv[0], a.c_str());
        usage(argv[0], stderr);
        return 2;
    }
    if (o.display < 0 || o.upstream.empty()) {
        usage(argv[0], stderr);
        return 2;
    }
    if (o.display > telvane::server::kMaxDisplayNumber) {
        std::fprintf(stderr, "telvane-server: display :%d has no TCP port; the highest is :%d\n", o.display,
                     telvane::server::kMaxDisplayNumber);
        return 2;
    }
    std::string error;
    auto server = telvane::server::ProxyServer::create(o, error);
    if (!server) {
        std::fprintf(stderr, "telvane-server: %s\n", error.c_str());
        return 1;
    }
    return server->run();
}
