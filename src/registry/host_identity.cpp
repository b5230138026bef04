// Canonical address texts, host atoms, own-display tests and file tests.
#include "host_identity.h"

#include "core/startup.h"
#include "receiver_address.h"

#include <algorithm>
#include <arpa/inet.h>
#include <dirent.h>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <sys/stat.h>

char *sending_hostname = nullptr;

namespace {

char ip_name[30];

// 1 when `name` begins with all of `own` and the match ends where a host, display number or
// screen ends: "vm:1" is not the display "vm:102.0", nor "hostb" the host "hostbc".
int begins_with(const char *name, const char *own) {
    if (!own || !*own || !name) return 0;
    size_t n = strlen(own);
    return strncmp(name, own, n) == 0 && (name[n] == '\0' || name[n] == '.' || name[n] == ':');
}

}  // namespace

uint32_t get_ip_num(const char *name) { return telvane::names::host_address(name); }

const char *get_ip_name(const char *display_name) {
    std::string text = telvane::names::canonical_display(display_name);
    if (text.empty()) return nullptr;
    memcpy(ip_name, text.c_str(), text.size() + 1);
    return ip_name;
}

Atom create_hostatom(const char *display_name, Display *dpy) {
    if (!dpy) return static_cast<Atom>(-1);
    const char *text = get_ip_name(display_name);
    if (!text) return 0;
    return XInternAtom(dpy, text, False);
}

int is_this_us(const char *name) {
    return begins_with(name, my_display_name) || begins_with(name, my_local_display_name) ||
           begins_with(name, my_unix_display_name) || begins_with(name, my_shmlink_display_name) ||
           begins_with(name, my_null_display_name);
}

int is_this_sender(const char *name) {
    if (!sending_hostname || !*sending_hostname) return 0;
    return begins_with(name, sending_hostname);
}

int legal_anything(const char *path) {
    struct stat st;
    return path && stat(path, &st) == 0;
}

int legal_file(const char *path) {
    struct stat st;
    return path && stat(path, &st) == 0 && (st.st_mode & 0x8000) != 0;
}

int legal_directory(const char *path) {
    struct stat st;
    return path && stat(path, &st) == 0 && (st.st_mode & 0x4000) != 0;
}

std::optional<std::vector<std::string>> book_file_names(const char *dir) {
    DIR *d = dir ? opendir(dir) : nullptr;
    if (!d) return std::nullopt;
    std::vector<std::string> names;
    while (dirent *entry = readdir(d)) {
        if (entry->d_name[0] == '.') continue;
        std::string full = std::string(dir) + "/" + entry->d_name;
        if (legal_file(full.c_str())) names.emplace_back(entry->d_name);
    }
    closedir(d);
    // std::string compares its characters as unsigned, as strcmp does.
    std::sort(names.begin(), names.end());
    return names;
}

time_t modified_time(const char *path) {
    struct stat st;
    if (!path || stat(path, &st) != 0) return 0;
    return st.st_mtime;
}

int timestamp_current(const char *path, char **saved_path, time_t *saved_time) {
    time_t now = modified_time(path);
    if (saved_path) {
        if (*saved_path && path && strcmp(*saved_path, path) == 0 && *saved_time == now) return 1;
        free(*saved_path);
        *saved_path = path ? strdup(path) : nullptr;
        *saved_time = now;
        return 0;
    }
    if (*saved_time == now) return 1;
    *saved_time = now;
    return 0;
}

void clear_timestamp_current(char **saved_path, time_t *saved_time) {
    if (saved_path) {
        free(*saved_path);
        *saved_path = nullptr;
    }
    if (saved_time) *saved_time = 0;
}
