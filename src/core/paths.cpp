// Path codes for the private and public folders, and creation of the private folder.
#include "paths.h"

#include "log.h"
#include "messages.h"
#include "registry/host_identity.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

const char *local_directory = ".Telvane";
const char *local_alias_directory = "";
const char *local_alias_default = "Default";
const char *local_default_settings = ".setup";
const char *log_filename = ".logfile";
const char *local_auth_file = ".cmd_access";
const char *global_alias_directory = "address_books";
const char *global_alias_default = "Default";
const char *global_directory = "/usr/lib/X11/Telvane";
const char *global_directory_10_0 = "/etc/opt/Telvane";

char *makem_up(const char *a, const char *b, const char *c, const char *d) {
    const char *parts[] = {a, b, c, d};
    size_t total = 1;
    for (const char *p : parts) {
        if (p) total += strlen(p) + 1;
    }
    char *out = static_cast<char *>(malloc(total));
    if (!out) return nullptr;
    out[0] = '\0';
    for (const char *p : parts) {
        if (!p || !*p) continue;
        if (out[0]) strcat(out, "/");
        strcat(out, p);
    }
    return out;
}

namespace {

// The public folders are fixed for the program, but a test, or a person trying Telvane without
// installing it, can point them elsewhere.
const char *public_directory(const char *variable, const char *fixed) {
    const char *chosen = getenv(variable);
    return chosen && *chosen ? chosen : fixed;
}

// The public folder: where TELVANE_PUBLIC_DIR points, else the fixed one, else (when that does
// not exist and Telvane was installed under another prefix) the one installed with the program.
const char *public_books_directory() {
    const char *chosen = public_directory("TELVANE_PUBLIC_DIR", global_directory);
    if (chosen != global_directory) return chosen;
    struct stat st;
    static const std::string installed = std::string(TELVANE_PREFIX) + "/lib/X11/Telvane";
    if (stat(global_directory, &st) != 0 && stat(installed.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return installed.c_str();
    return global_directory;
}

}  // namespace

char *generate_path(int code, const char *name) {
    switch (code) {
    case 17:
        return makem_up(getenv("HOME"), local_directory, local_alias_directory, name);
    case 18:
        return makem_up(public_books_directory(), global_alias_directory, name, nullptr);
    case 19:
        return makem_up(public_directory("TELVANE_SITE_DIR", global_directory_10_0), global_alias_directory, name,
                        nullptr);
    case 49:
        return makem_up(getenv("HOME"), local_directory, name, nullptr);
    default:
        return nullptr;
    }
}

int make_directory_if_needed(int code) {
    if (code == 17) {
        // The books may live in a sub-folder of the private folder; both must exist.
        return make_directory_of(code) && make_directory_of(code);
    }
    if (code == 49) return make_directory_of(code);
    return 1;
}

int make_directory_of(int code) {
    (void)code;
    char *path = generate_path(49, "");
    if (!path) return 0;
    int result = 1;
    if (legal_directory(path)) {
        result = 1;
    } else if (legal_anything(path)) {
        log_msg1("Expected Directory '%s' is NOT a directory", path);
        message1(nullptr, 1, 0x111, 2, 6, "Expected Directory '%s' is NOT a directory", path);
        result = 0;
    } else if (mkdir(path, 0777) != 0) {
        log_msg1("Could not create directory '%s'", path);
        message1(nullptr, 1, 0x111, 2, 5, "Could not create directory '%s'", path);
        result = 0;
    }
    free(path);
    return result;
}
