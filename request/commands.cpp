// telvane-request's subcommands, replies and outcome texts, without X.
#include "commands.h"

#include "request_codes.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <map>

namespace telvane::request {

using namespace request_codes;

namespace {

struct CommandInfo {
    const char *name;
    long code;
    const char *arguments;
    const char *what;
};

const CommandInfo kCommands[] = {
    {"access", kAccessCheck, "UID HOST", "whether user UID on HOST may use the request interface"},
    {"pick", kPick, "", "let the user click a window; prints it and the point in it"},
    {"receivers", kSelectedReceivers, "", "the receivers selected in Telvane's list"},
    {"share", kShareApplication, "WINDOW RECEIVER", "share WINDOW's whole application to RECEIVER"},
    {"share-alone", kShareWindow, "WINDOW RECEIVER", "share WINDOW alone to RECEIVER"},
    {"share-same", kShareSameWindows, "RECEIVER RECEIVER...", "share every window shared to any of them to all of them"},
    {"unshare", kUnshare, "WINDOW RECEIVER", "stop sharing WINDOW to RECEIVER"},
    {"disconnect", kDisconnect, "RECEIVER", "unshare everything from RECEIVER"},
    {"allow-input", kInput, "RECEIVER", "let RECEIVER's input into the shared windows"},
    {"forbid-input", kInput, "RECEIVER", "keep RECEIVER's input out"},
    {"delay", kDelayOrLogging, "SECONDS", "the delay between different people's inputs (tenths count)"},
    {"logging", kDelayOrLogging, "on|off", "turn Telvane's log file on or off"},
    {"daisy-chain", kDaisyChain, "WINDOW", "let receivers of WINDOW share it onward"},
    {"telepointer add", kTelepointerAdd, "WINDOW [X Y]", "a telepointer at X Y of WINDOW (its centre without them)"},
    {"telepointer delete", kTelepointerDelete, "WINDOW [X Y | --all] | --id ID", "the telepointer nearest X Y, the earliest, all, or by id"},
    {"telepointer list", kTelepointerList, "WINDOW", "the ids of WINDOW's telepointers"},
    {"status", kSenderStatus, "[WINDOW | RECEIVER]", "who receives WINDOW, or what RECEIVER receives"},
    {"reload-access", kReloadAccess, "", "read the access file ~/.Telvane/.cmd_access again"},
};

const CommandInfo *find_command(const std::string &name) {
    for (const CommandInfo &s : kCommands)
        if (name == s.name) return &s;
    return nullptr;
}

bool number(const std::string &text, long *out) {
    if (text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (*end || errno) return false;
    *out = v;
    return true;
}

// A window id ("0x1a00003" or decimal); `--name TITLE` is handled by the caller.
bool window_id(const std::string &text, uint32_t *out) {
    long v = 0;
    if (!number(text, &v) || v <= 0 || v > 0x1fffffff) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

std::string hex(long v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(v) & 0xffffffffUL);
    return text;
}

// Takes a window (an id, or --name TITLE) from the front of `rest`.
bool take_window(std::vector<std::string> &rest, WindowArg *w, std::string *error) {
    if (rest.empty()) {
        *error = "a window is missing (an id such as 0x1a00003, or --name TITLE)";
        return false;
    }
    if (rest[0] == "--name") {
        if (rest.size() < 2 || rest[1].empty()) {
            *error = "--name needs a window title";
            return false;
        }
        w->title = rest[1];
        rest.erase(rest.begin(), rest.begin() + 2);
        return true;
    }
    if (!window_id(rest[0], &w->id)) {
        *error = "'" + rest[0] + "' is not a window id";
        return false;
    }
    rest.erase(rest.begin());
    return true;
}

// Takes `count` receiver names from the front of `rest` into the command.
bool take_receivers(Command &c, std::vector<std::string> &rest, size_t count, std::string *error) {
    for (size_t i = 0; i < count; ++i) {
        if (rest.empty()) {
            *error = "a receiver display name is missing";
            return false;
        }
        if (rest.front().size() >= 255) {
            *error = "a receiver name of 255 characters or more";
            return false;
        }
        c.receivers.push_back(rest.front());
        rest.erase(rest.begin());
    }
    return true;
}

// Takes the command's window from the front of `rest`.
bool take_command_window(Command &c, std::vector<std::string> &rest, std::string *error) {
    WindowArg w;
    if (!take_window(rest, &w, error)) return false;
    c.window = w;
    return true;
}

// Takes the two words X and Y, each 0 or more, that are all of `rest`.
bool take_point(std::vector<std::string> &rest, long *x, long *y, std::string *error) {
    const bool ok = number(rest[0], x) && number(rest[1], y) && *x >= 0 && *y >= 0;
    if (!ok) *error = "X and Y must be numbers of 0 or more";
    rest.clear();
    return ok;
}

bool parse_access(Command &c, std::vector<std::string> &rest, std::string *error) {
    long uid = 0;
    if (rest.size() != 2 || !number(rest[0], &uid)) {
        *error = "access needs a numeric user id and a host";
        return false;
    }
    c.w2 = uid;
    c.host = rest[1];
    rest.clear();
    return true;
}

bool parse_delay(Command &c, std::vector<std::string> &rest, std::string *error) {
    double seconds = 0;
    char *end = nullptr;
    if (rest.size() != 1 || (seconds = std::strtod(rest[0].c_str(), &end), *end) || seconds < 0 ||
        seconds > 6553.5) {
        *error = "delay needs a number of seconds from 0 to 6553.5";
        return false;
    }
    rest.clear();
    c.w4 = kOptDelay | (static_cast<long>(seconds * 10 + 0.5) << kOptDelayShift);
    return true;
}

bool parse_logging(Command &c, std::vector<std::string> &rest, std::string *error) {
    if (rest.size() != 1 || (rest[0] != "on" && rest[0] != "off")) {
        *error = "logging needs on or off";
        return false;
    }
    c.w4 = rest[0] == "on" ? kOptLoggingOn : kOptLoggingOff;
    rest.clear();
    return true;
}

bool parse_tele_add(Command &c, std::vector<std::string> &rest, std::string *error) {
    bool ok = take_command_window(c, rest, error);
    c.w3 = kTeleCentre;
    if (ok && rest.size() == 2) ok = take_point(rest, &c.w3, &c.w4, error);
    return ok;
}

bool parse_tele_delete(Command &c, std::vector<std::string> &rest, std::string *error) {
    if (!rest.empty() && rest[0] == "--id") {
        long id = 0;
        if (rest.size() != 2 || !number(rest[1], &id) || id <= 0) {
            *error = "--id needs a telepointer id";
            return false;
        }
        c.w2 = 0;
        c.w3 = id;
        c.w4 = 0;
        rest.clear();
        return true;
    }
    bool ok = take_command_window(c, rest, error);
    c.w3 = 0;
    c.w4 = kTeleEarliest;
    if (ok && rest.size() == 1 && rest[0] == "--all") {
        c.w3 = kTeleAll;
        c.w4 = 0;
        rest.clear();
    } else if (ok && rest.size() == 2) {
        ok = take_point(rest, &c.w3, &c.w4, error);
    }
    return ok;
}

bool parse_status(Command &c, std::vector<std::string> &rest, std::string *error) {
    if (rest.size() == 1 && rest[0].find(':') != std::string::npos) return take_receivers(c, rest, 1, error);
    if (!rest.empty()) return take_command_window(c, rest, error);
    return true;
}

// Fills `c`, whose name is set, from the subcommand's arguments `rest`.
bool parse_command(Command &c, std::vector<std::string> rest, std::string *error) {
    const std::string &n = c.name;
    bool ok = true;
    if (n == "access") {
        ok = parse_access(c, rest, error);
    } else if (n == "share" || n == "share-alone" || n == "unshare") {
        ok = take_command_window(c, rest, error) && take_receivers(c, rest, 1, error);
    } else if (n == "share-same") {
        if (rest.size() < 2) {
            *error = "share-same needs at least two receivers";
            return false;
        }
        ok = take_receivers(c, rest, rest.size(), error);
    } else if (n == "disconnect" || n == "allow-input" || n == "forbid-input") {
        ok = take_receivers(c, rest, 1, error);
        c.w2 = n == "allow-input" ? kInputAllow : 0;
    } else if (n == "delay") {
        ok = parse_delay(c, rest, error);
    } else if (n == "logging") {
        ok = parse_logging(c, rest, error);
    } else if (n == "daisy-chain" || n == "telepointer list") {
        ok = take_command_window(c, rest, error);
    } else if (n == "telepointer add") {
        ok = parse_tele_add(c, rest, error);
    } else if (n == "telepointer delete") {
        ok = parse_tele_delete(c, rest, error);
    } else if (n == "status") {
        ok = parse_status(c, rest, error);
    }
    if (ok && !rest.empty()) {
        *error = "unexpected '" + rest[0] + "'";
        return false;
    }
    return ok;
}

const std::map<long, const char *> kStatus = {
    {kDone, "done"},
    {kAuthorized, "authorized"},
    {kAccessFileBad, "the access file could not be loaded cleanly"},
    {kLocalOutOfMemory, "the local X server ran out of memory"},
    {kAccessRefused, "the receiver refused access, or its key has changed (Telvane's message says which)"},
    {kConnectionRefused, "the connection was refused, or the receiver's display could not be opened"},
    {kNoPhysicalConnection, "no physical connection to the receiver"},
    {kNoXServer, "no X server running on the receiver, or its link service is down (Telvane's message says which)"},
    {kNoIpAddress, "the receiver's name has no IP address"},
    {kServerTimeout, "the server timed out"},
    {kIoError, "input/output error on the connection"},
    {kNothingPicked, "no window was picked"},
    {kAlreadyShared, "the window is already shared (or waiting to be) to that receiver"},
    {kUnsharable, "the window may not be shared"},
    {kNothingShared, "nothing is shared for that window or receiver"},
    {kTeleWindowNotShared, "the window is not shared: no telepointer there"},
    {kNoSuchTelepointer, "no such telepointer"},
    {kInvalidReceiver, "the receiver is not valid (it cannot be added to the receiver list)"},
    {kNobodySelected, "no receiver is selected in the receiver list"},
    {kReceiverNotShared, "nothing is shared to that receiver"},
    {kDaisyWindowNotShared, "the window is not shared: it cannot be daisy-chained"},
    {kShareSameTooFew, "share-same needs two valid receivers"},
    {kShareSameNothingShared, "none of the receivers has a shared window"},
    {kShareWithdrawn, "the pending share was withdrawn, or its connection closed"},
    {kUnknownCommand, "Telvane does not know that request"},
};

}  // namespace

bool display_name_form(const std::string &name) {
    const size_t colon = name.find(':');
    if (colon == std::string::npos) return true;
    size_t i = colon + 1;
    auto digits = [&] {
        while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i;
    };
    digits();
    if (i < name.size() && name[i] == '.') ++i, digits();
    return i == name.size();
}

bool title_matches(const std::string &name, const std::string &title) {
    if (name == title) return true;
    if (name.size() < title.size() + 6 || name[0] != '[' || name.back() != ']') return false;
    size_t open = name.find("] ");
    size_t close = name.rfind(" [");
    return open != std::string::npos && close != std::string::npos && close > open &&
           name.substr(open + 2, close - open - 2) == title;
}

std::vector<TitledWindow> windows_titled(const std::vector<TitledWindow> &clients, const std::string &title,
                                         unsigned screen_width, unsigned screen_height) {
    std::vector<TitledWindow> out;
    for (const TitledWindow &w : clients) {
        const bool on_screen = w.x < static_cast<long>(screen_width) && w.y < static_cast<long>(screen_height) &&
                               w.x + static_cast<long>(w.width) > 0 && w.y + static_cast<long>(w.height) > 0;
        if (w.viewable && on_screen && (w.managed || !w.override_redirect) &&
            (title_matches(w.title, title) || title_matches(w.net_title, title)))
            out.push_back(w);
    }
    return out;
}

std::string several_titled(const std::string &title, const std::vector<TitledWindow> &matches) {
    std::string out = std::to_string(matches.size()) + " windows are titled '" + title + "'; name one by its id:";
    for (const TitledWindow &w : matches) {
        char line[80];
        std::snprintf(line, sizeof line, "\n  %s  %ux%u%+d%+d", hex(w.id).c_str(), w.width, w.height, w.x, w.y);
        out += line;
    }
    return out;
}

namespace {

std::string name_of(uint32_t id, const std::vector<std::pair<uint32_t, std::string>> &names) {
    for (const auto &[key, text] : names)
        if (key == id) return text;
    return hex(id);
}

std::string json_quote(const std::string &s) {
    std::string out = "\"";
    for (unsigned char ch : s) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", ch);
            out += esc;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out + "\"";
}

}  // namespace

Parsed parse(const std::vector<std::string> &args) {
    Parsed p;
    // Known before any error, so that the error too comes as JSON.
    p.options.json = std::find(args.begin(), args.end(), "--json") != args.end();
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--json") {
            p.options.json = true;
        } else if (a == "--wait-for-user") {
            p.options.wait_for_user = true;
        } else if (a == "--help" || a == "-h") {
            p.options.help = true;
        } else if (a == "--version") {
            p.options.version = true;
        } else if (a == "--display" || a == "--timeout") {
            if (i + 1 == args.size()) {
                p.error = a + " needs a value";
                return p;
            }
            const std::string &v = args[++i];
            if (a == "--display") {
                p.options.display = v;
            } else {
                char *end = nullptr;
                p.options.timeout = std::strtod(v.c_str(), &end);
                if (*end || !(p.options.timeout > 0) || p.options.timeout > 86400) {
                    p.error = "--timeout needs a number of seconds above 0";
                    return p;
                }
            }
        } else {
            rest.push_back(a);
        }
    }
    if (rest.empty()) {
        if (p.options.help || p.options.version) p.ok = true;
        else p.error = "no command given";
        return p;
    }
    std::string name = rest[0];
    rest.erase(rest.begin());
    if (name == "telepointer") {
        if (rest.empty()) {
            if (p.options.help) {
                p.options.help_for = name;
                p.ok = true;
                return p;
            }
            p.error = "telepointer needs add, delete or list";
            return p;
        }
        name += " " + rest[0];
        rest.erase(rest.begin());
    }
    const CommandInfo *info = find_command(name);
    if (!info) {
        p.error = "unknown command '" + name + "'";
        return p;
    }
    p.options.help_for = name;
    if (p.options.help) {
        p.ok = true;
        return p;
    }
    Command &c = p.options.command;
    c.name = name;
    c.code = info->code;
    p.ok = parse_command(c, rest, &p.error);
    return p;
}

std::string usage(const std::string &subcommand) {
    std::string out;
    for (const CommandInfo &s : kCommands) {
        // "telepointer" names its three subcommands; any other name only itself.
        const std::string name = s.name;
        if (!subcommand.empty() && name != subcommand && name.rfind(subcommand + " ", 0) != 0) continue;
        out += "  telvane-request " + std::string(s.name) + (*s.arguments ? " " : "") + s.arguments + "\n      " +
               s.what + "\n";
    }
    std::string head =
        "usage: telvane-request [--display D] [--timeout SECONDS | --wait-for-user] [--json] COMMAND ARGS...\n"
        "       telvane-request [COMMAND] --help | --version\n"
        "  --display D        the display Telvane runs on (default: $DISPLAY)\n"
        "  --timeout SECONDS  how long to wait for the replies (default 30)\n"
        "  --wait-for-user    wait as long as a message of Telvane's waits for its user\n"
        "  --json             print one JSON object instead of \"key: value\" lines\n"
        "  --help             this text, or one command's; --version: the version\n"
        "commands:\n";
    std::string tail =
        "\nWINDOW is a window id (0x1a00003) or --name TITLE (the one visible window with that title);\n"
        "RECEIVER is a display name such as host:0 or 192.0.2.7:1.0. Telvane must accept requests\n"
        "(resource Telvane.enableCommandLine: 1). Exit status: 0 when done, else the status code\n"
        "Telvane answered (its meaning is printed), 1 for a refused access check, 2 for a usage error\n"
        "or a title that names no window or several, 3 when Telvane cannot be reached, 4 when it has\n"
        "not answered yet (a message of its own may be waiting for its user), 5 when it does not\n"
        "take requests.\n";
    return head + out + tail;
}

bool complete(const long words[5], const std::vector<uint32_t> &hosts, const std::vector<Reply> &replies) {
    if (replies.empty()) return false;
    if (words[0] != kShareSameWindows) return true;
    // Share-same: a reply for every receiver, or the final reply (it repeats words 2 and 3).
    std::vector<bool> answered(hosts.size(), false);
    for (const Reply &r : replies) {
        if (r.w[1] != 0 && r.w[1] == words[2] && r.w[0] == words[3]) return true;
        for (size_t i = 0; i < hosts.size(); ++i)
            if (r.w[1] == 0 && static_cast<uint32_t>(r.w[0]) == hosts[i]) answered[i] = true;
    }
    for (bool a : answered)
        if (!a) return false;
    return true;
}

std::string status_text(long status) {
    auto it = kStatus.find(status);
    return it != kStatus.end() ? it->second : "unknown status " + std::to_string(status);
}

bool lists_all_receivers(const Command &c) { return c.code == kSenderStatus && !c.window && c.receivers.empty(); }

Outcome failure(const std::string &command, const std::string &message, int exit_status) {
    Outcome o;
    if (!command.empty()) o.fields.emplace_back("command", command);
    o.fields.emplace_back("status", "none");
    o.fields.emplace_back("error", message);
    o.exit_status = exit_status;
    return o;
}

namespace {

// An outcome as describe builds it, field by field.
struct Fields {
    Outcome &o;
    const std::vector<std::pair<uint32_t, std::string>> &names;

    void add(const std::string &k, const std::string &v) { o.fields.emplace_back(k, v); }
    // The reply's status, its meaning, and the exit status it makes.
    void status(long s) {
        add("status", std::to_string(s));
        add("meaning", status_text(s));
        o.exit_status = s == kDone ? kExitDone : static_cast<int>(s > 125 ? 125 : s);
    }
    // A list of ids or names; `none` stands for an empty one where an empty value would read as
    // a value left out.
    void list(const std::string &key, const std::vector<uint32_t> &ids, bool by_name, const char *none = "") {
        std::string text;
        for (uint32_t id : ids) text += (text.empty() ? "" : " ") + (by_name ? name_of(id, names) : hex(id));
        add(key, text.empty() ? none : text);
    }
};

// The ids a reply lists: in the requester's property (`items`), or the non-zero of `words`.
std::vector<uint32_t> listed(const long *w, std::initializer_list<long> words, const std::vector<uint32_t> &items) {
    if (w[0] == kListInProperty) return items;
    std::vector<uint32_t> ids;
    for (long v : words)
        if (v) ids.push_back(static_cast<uint32_t>(v));
    return ids;
}

void describe_selected(Fields &f, const long *w, const std::vector<uint32_t> &items) {
    if (w[0] == 0 && w[1] == 0 && w[2] == kNobodySelected) {
        f.status(kNobodySelected);
        return;
    }
    f.status(kDone);
    f.list("receivers", listed(w, {w[0], w[1], w[2], w[3], w[4]}, items), true);
}

// One line per receiver that got its own reply; the status is the final reply's, or the first
// receiver's failure.
void describe_share_same(Fields &f, const std::vector<Reply> &replies) {
    long final_status = kDone;
    for (const Reply &r : replies) {
        if (r.w[1] == 0) {
            f.add("receiver " + name_of(static_cast<uint32_t>(r.w[0]), f.names),
                  std::to_string(r.w[2]) + " (" + status_text(r.w[2]) + ")");
            if (r.w[2] && !final_status) final_status = r.w[2];
        } else {
            final_status = r.w[2];
        }
    }
    f.status(final_status);
}

void describe_sender_status(Fields &f, const Command &c, const long *w, const std::vector<uint32_t> &items,
                            const std::vector<std::pair<uint32_t, bool>> &inputs,
                            const std::vector<uint32_t> &unencrypted) {
    f.status(w[2]);
    if (w[2] != kDone) return;
    auto plain = [&](uint32_t host) {
        return std::find(unencrypted.begin(), unencrypted.end(), host) != unencrypted.end();
    };
    std::vector<uint32_t> plain_ones;
    std::copy_if(items.begin(), items.end(), std::back_inserter(plain_ones), plain);
    if (lists_all_receivers(c)) {
        // Asked about no window, Telvane lists its receivers without their input states;
        // those came from each receiver's own status.
        f.list("receivers", items, true);
        for (uint32_t host : items)
            for (const auto &[id, allowed] : inputs)
                if (id == host) f.add("input " + name_of(host, f.names), allowed ? "allowed" : "not allowed");
        f.list("unencrypted", plain_ones, true);
    } else if (c.receivers.empty()) {
        const auto allowed = static_cast<size_t>(w[3]);
        f.list("receivers", items, true);
        std::vector<uint32_t> with_input(items.begin(), items.begin() + std::min(allowed, items.size()));
        f.list("input allowed", with_input, true, "none");
        f.add("daisy chain", w[4] ? "allowed" : "not allowed");
        f.list("unencrypted", plain_ones, true);
    } else {
        const auto flagged = static_cast<size_t>(w[4]);
        f.list("windows", items, false);
        std::vector<uint32_t> daisy(items.begin(), items.begin() + std::min(flagged, items.size()));
        f.list("daisy chain allowed", daisy, false, "none");
        f.add("input", w[3] ? "allowed" : "not allowed");
        f.add("unencrypted", plain(static_cast<uint32_t>(w[0])) ? "yes" : "no");
    }
}

}  // namespace

Outcome describe(const Command &c, const long words[5], const std::vector<Reply> &replies,
                 const std::vector<std::pair<uint32_t, std::string>> &names, const std::vector<uint32_t> &items,
                 const std::vector<std::pair<uint32_t, bool>> &inputs, const std::vector<uint32_t> &unencrypted) {
    Outcome o;
    Fields f{o, names};
    f.add("command", c.name);
    if (replies.empty()) {
        // Telvane answers some requests only once its user has answered the message it shows
        // first (a refused daisy chain, a refused consent); it is on the display, so it is alive.
        f.add("status", "none");
        f.add("meaning", "no reply yet: Telvane may be showing a message to its user; the outcome follows when it is "
                         "answered");
        o.exit_status = kExitNoReplyYet;
        return o;
    }
    const long *w = replies.back().w;
    switch (c.code) {
    case kAccessCheck:
        f.add("access", w[0] == kAuthorized ? "authorized" : "refused");
        o.exit_status = w[0] == kAuthorized ? kExitDone : kExitAccessRefused;
        break;
    case kPick:
        f.status(w[2]);
        if (w[2] == kDone) {
            f.add("window", hex(w[1]));
            f.add("x", std::to_string(w[3]));
            f.add("y", std::to_string(w[4]));
        }
        break;
    case kSelectedReceivers: describe_selected(f, w, items); break;
    case kShareSameWindows: describe_share_same(f, replies); break;
    case kTelepointerAdd:
        f.status(w[2]);
        if (w[2] == kDone) f.add("telepointer", hex(w[3]));
        break;
    case kTelepointerList:
        f.status(kDone);
        f.list("telepointers", listed(w, {w[0], w[3], w[4]}, items), false);
        break;
    case kSenderStatus: describe_sender_status(f, c, w, items, inputs, unencrypted); break;
    default: f.status(w[2]); break;
    }
    (void)words;
    return o;
}

std::string requests_off(const std::string &display) {
    return "Telvane on " + display + " does not take requests; start it with `Telvane.enableCommandLine: 1`";
}

std::string render(const Outcome &o, bool json) {
    std::string out;
    if (!json) {
        for (const auto &[k, v] : o.fields) out += k + ": " + v + "\n";
        return out;
    }
    out = "{";
    for (size_t i = 0; i < o.fields.size(); ++i)
        out += (i ? ", " : "") + json_quote(o.fields[i].first) + ": " + json_quote(o.fields[i].second);
    return out + "}\n";
}

}  // namespace telvane::request
