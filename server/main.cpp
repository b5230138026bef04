// telvane-server's command line: a new X display in front of an existing one.
#include "policy.h"
#include "proxy_server.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void usage(const char *prog) {
    std::fprintf(stderr,
                 "usage: %s :N --upstream DISPLAY [-ac] [-listen tcp] [-nolisten tcp] [-displayfd FD]\n"
                 "          [--trace FILE] [--connect-timeout MS] [--receiver-timeout SECONDS]\n",
                 prog);
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
        usage(argv[0]);
        return 2;
    }
    if (o.display < 0 || o.upstream.empty()) {
        usage(argv[0]);
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
