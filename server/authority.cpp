// Reads and updates the user's X authority file.
#include "authority.h"

#include "policy.h"

#include <X11/X.h>
#include <X11/Xauth.h>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <sys/random.h>
#include <unistd.h>
#include <vector>

namespace telvane::server {

namespace {

std::string host_name() {
    char host[256] = {0};
    gethostname(host, sizeof host - 1);
    return host;
}

std::optional<Credentials> best(unsigned short family, const std::string &address, const std::string &number) {
    const char *names[] = {kMagicCookieName};
    int lens[] = {static_cast<int>(std::strlen(kMagicCookieName))};
    Xauth *a = XauGetBestAuthByAddr(family, static_cast<unsigned short>(address.size()), address.data(),
                                    static_cast<unsigned short>(number.size()), number.c_str(), 1,
                                    const_cast<char **>(names), lens);
    if (!a) return std::nullopt;
    Credentials c{std::string(a->name, a->name_length), std::string(a->data, a->data_length)};
    XauDisposeAuth(a);
    return c;
}

bool ours(const Xauth *a, const std::string &number) {
    std::string num(a->number, a->number_length);
    if (num != number) return false;
    std::string addr(a->address, a->address_length);
    if (a->family == FamilyLocal) return addr == host_name();
    static const char loopback[4] = {127, 0, 0, 1};
    return a->family == FamilyInternet && addr == std::string(loopback, 4);
}

// Rewrites the authority file without our entries for `number`, then with `add` appended.
bool rewrite(int number, const std::vector<Xauth> &add) {
    const char *file = XauFileName();
    if (!file) return false;
    if (XauLockAuth(file, 3, 1, 0) != LOCK_SUCCESS) return false;
    std::vector<Xauth *> keep;
    std::string num = std::to_string(number);
    if (FILE *in = std::fopen(file, "rb")) {
        while (Xauth *a = XauReadAuth(in)) {
            if (ours(a, num)) XauDisposeAuth(a);
            else keep.push_back(a);
        }
        std::fclose(in);
    }
    bool ok = false;
    int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (FILE *out = fd >= 0 ? fdopen(fd, "wb") : nullptr) {
        ok = true;
        for (Xauth *a : keep) ok = XauWriteAuth(out, a) && ok;
        for (const Xauth &a : add) ok = XauWriteAuth(out, const_cast<Xauth *>(&a)) && ok;
        ok = std::fclose(out) == 0 && ok;
    } else if (fd >= 0) {
        close(fd);
    }
    for (Xauth *a : keep) XauDisposeAuth(a);
    XauUnlockAuth(file);
    return ok;
}

}  // namespace

std::optional<Credentials> lookup_credentials(const std::string &display) {
    auto d = parse_display_text(display);
    if (!d) return std::nullopt;
    std::string number = std::to_string(d->display);
    if (d->host.empty() || d->host == "localhost" || d->host == "127.0.0.1")
        return best(FamilyLocal, host_name(), number);
    in_addr addr{};
    if (inet_pton(AF_INET, d->host.c_str(), &addr) != 1) {
        addrinfo hints{}, *res = nullptr;
        hints.ai_family = AF_INET;
        if (getaddrinfo(d->host.c_str(), nullptr, &hints, &res) != 0 || !res) return std::nullopt;
        addr = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr;
        freeaddrinfo(res);
    }
    return best(FamilyInternet, std::string(reinterpret_cast<const char *>(&addr), 4), number);
}

std::string random_cookie() {
    std::string c(16, '\0');
    size_t got = 0;
    while (got < c.size()) {
        ssize_t n = getrandom(c.data() + got, c.size() - got, 0);
        if (n > 0) got += static_cast<size_t>(n);
    }
    return c;
}

bool publish_cookie(int number, const std::string &cookie) {
    std::string host = host_name();
    std::string num = std::to_string(number);
    static char loopback[4] = {127, 0, 0, 1};
    std::string name = kMagicCookieName;
    auto entry = [&](unsigned short family, char *addr, size_t addr_len) {
        Xauth a{};
        a.family = family;
        a.address_length = static_cast<unsigned short>(addr_len);
        a.address = addr;
        a.number_length = static_cast<unsigned short>(num.size());
        a.number = num.data();
        a.name_length = static_cast<unsigned short>(name.size());
        a.name = name.data();
        a.data_length = static_cast<unsigned short>(cookie.size());
        a.data = const_cast<char *>(cookie.data());
        return a;
    };
    std::vector<Xauth> add{entry(FamilyLocal, host.data(), host.size()),
                           entry(FamilyInternet, loopback, 4)};
    return rewrite(number, add);
}

void withdraw_cookie(int number) { rewrite(number, {}); }

}  // namespace telvane::server
