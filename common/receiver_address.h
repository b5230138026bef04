#pragma once
// How a receiver is named between programs: a display name's host as an IPv4 address, and the
// canonical text "a.b.c.d:D.S" whose atom names the receiver. The client and telvane-request
// must agree on it to the letter, so both use these.

#include <arpa/inet.h>
#include <netdb.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace telvane::names {

// The IPv4 address of a host name in network byte order: a name that starts with a digit is
// read as a dotted address, anything else is looked up. 0xffffffff when there is none.
inline uint32_t host_address(const char *name) {
    if (!name) return 0xffffffffu;
    in_addr_t address = INADDR_NONE;
    if (isdigit(static_cast<unsigned char>(name[0]))) address = inet_addr(name);
    if (address != INADDR_NONE) return address;
    struct hostent *entry = gethostbyname(name);
    if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list[0]) return 0xffffffffu;
    uint32_t result;
    std::memcpy(&result, entry->h_addr_list[0], sizeof result);
    return result;
}

// The canonical text of `display_name` (host, then ":D.S" read as numbers, missing ones 0), or
// "" when the name is empty, its host does not resolve, or the text would pass 29 characters.
inline std::string canonical_display(const char *display_name) {
    if (!display_name || !*display_name) return "";
    const char *colon = std::strchr(display_name, ':');
    std::string host = colon ? std::string(display_name, static_cast<size_t>(colon - display_name)) : display_name;
    uint32_t address = host_address(host.c_str());
    if (address == 0xffffffffu) return "";
    long display_number = 0, screen = 0;
    if (colon) {
        // Read as "%d.%d", with range checks so that no number can overflow the text.
        const char *p = colon + 1;
        char *end;
        display_number = std::strtol(p, &end, 10);
        if (end == p) display_number = 0;
        if (end != p && *end == '.') {
            const char *q = end + 1;
            screen = std::strtol(q, &end, 10);
            if (end == q) screen = 0;
        }
    }
    if (display_number < 0 || screen < 0 || display_number > 0x7fffffff || screen > 0x7fffffff) return "";
    const unsigned char *b = reinterpret_cast<const unsigned char *>(&address);
    char text[64];
    int n = std::snprintf(text, sizeof text, "%d.%d.%d.%d:%ld.%ld", b[0], b[1], b[2], b[3], display_number, screen);
    if (n < 0 || n >= 30) return "";
    return text;
}

}  // namespace telvane::names
