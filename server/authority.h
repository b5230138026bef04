#pragma once
// The user's X authority file: finding upstream's credentials and publishing the proxy's own
// MIT-MAGIC-COOKIE-1 for its display, the way ssh's X forwarding does.

#include <optional>
#include <string>

namespace telvane::server {

struct Credentials {
    std::string name;
    std::string data;
};

// The credentials the user holds for `display` (":M" or "host:M"); nothing when there are none.
std::optional<Credentials> lookup_credentials(const std::string &display);

// Sixteen random bytes for a new MIT-MAGIC-COOKIE-1.
std::string random_cookie();

// Adds (or replaces) entries for display `number` on this machine with `cookie` in the
// authority file (XAUTHORITY or ~/.Xauthority). Returns false when the file could not be written.
bool publish_cookie(int number, const std::string &cookie);

// Removes the entries publish_cookie made for display `number`.
void withdraw_cookie(int number);

}  // namespace telvane::server
