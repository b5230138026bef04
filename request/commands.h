#pragma once
// telvane-request's commands without X: the subcommands and their arguments, when the replies
// to a request are complete, and the readable and JSON texts of an outcome.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace telvane::request {

// The tool's own exit statuses. Otherwise it exits with the status code Telvane answered, and
// Telvane has none from 2 to 6.
enum ExitStatus : int {
    kExitDone = 0,
    kExitAccessRefused = 1,  // an access check answered no
    kExitUsage = 2,          // the command line, a title or a name will not do
    kExitNoTelvane = 3,      // no Telvane on the display, or it went away
    kExitNoReplyYet = 4,     // Telvane is there but has not answered in time
    kExitRequestsOff = 5,    // Telvane is there but does not obey requests
};

// A window named on the command line: by id, or by title to be looked up on the display.
struct WindowArg {
    uint32_t id = 0;
    std::string title;  // set for --name
};

// A window that `--name TITLE` may mean, as the display shows it.
struct TitledWindow {
    uint32_t id = 0;
    std::string title, net_title;  // WM_NAME and _NET_WM_NAME; "" when unset
    bool managed = false;          // carries WM_STATE: a client window of a window manager
    bool viewable = false, override_redirect = false;
    int x = 0, y = 0;  // on the root
    unsigned width = 0, height = 0;
};

// Whether `name` reads as Telvane reads a display name: a host, then nothing, ":D" or ":D.S"
// (each number may be left out). Telvane refuses any other receiver name, and tells its user.
bool display_name_form(const std::string &name);

// Whether a window titled `name` is one that `title` names: the same text, or the text with
// Telvane's marks around it ("[sender] TITLE [SHARED]").
bool title_matches(const std::string &name, const std::string &title);

// Of the display's client windows (for each top-level window, its client window with WM_STATE,
// or the top-level window itself when it has none), those that `--name TITLE` names: viewable,
// at least partly on the screen, and with WM_STATE, or not override-redirect on a display
// without a window manager, so that hidden toolkit windows and menus never count.
std::vector<TitledWindow> windows_titled(const std::vector<TitledWindow> &clients, const std::string &title,
                                         unsigned screen_width, unsigned screen_height);

// The refusal for a title that several windows carry: each one's id and geometry.
std::string several_titled(const std::string &title, const std::vector<TitledWindow> &matches);

// One subcommand, parsed. The words that need the display (window ids found by title, receiver
// atoms, a host's address) are filled in by the caller from `window`, `receivers` and `host`.
struct Command {
    std::string name;                    // "share", "telepointer list", ...
    long code = 0;                       // the request's command code
    std::optional<WindowArg> window;     // goes into word 2
    std::vector<std::string> receivers;  // display names; the first goes into word 3
    std::string host;                    // access: the host whose address goes into word 3
    long w2 = 0, w3 = 0, w4 = 0;         // the words the command line gives directly
};

struct Options {
    std::string display;  // empty: $DISPLAY
    double timeout = 30;  // seconds to wait for the replies
    bool json = false;
    bool wait_for_user = false;  // --wait-for-user: no time limit
    bool help = false;
    bool version = false;   // --version
    std::string help_for;  // the subcommand whose help was asked for
    Command command;
};

struct Parsed {
    bool ok = false;
    std::string error;  // for the user, when not ok
    Options options;
};

// Reads the command line (without the program name).
Parsed parse(const std::vector<std::string> &args);
// The usage text: the whole list, or one subcommand's when `subcommand` names one.
std::string usage(const std::string &subcommand = "");

// One status reply: the five words.
struct Reply {
    long w[5] = {};
};

// Whether the replies so far answer the request `words` (as sent) in full; `hosts` are the
// receivers' atoms of a share-same request.
bool complete(const long words[5], const std::vector<uint32_t> &hosts, const std::vector<Reply> &replies);

// The meaning of a status code.
std::string status_text(long status);

// What the replies say: the exit status and named fields, in order.
struct Outcome {
    int exit_status = 0;
    std::vector<std::pair<std::string, std::string>> fields;
};
// `names` gives the text for atoms and windows the replies mention (receiver names read from
// the requester's properties); `items` is the list property a reply points to; `inputs` holds,
// for `status` without an argument, each receiver's input state as its own status gave it;
// `unencrypted` the receivers a status answer lists as reached without encryption.
// No reply means Telvane, found on the display, has not answered yet: kExitNoReplyYet.
Outcome describe(const Command &command, const long words[5], const std::vector<Reply> &replies,
                 const std::vector<std::pair<uint32_t, std::string>> &names, const std::vector<uint32_t> &items,
                 const std::vector<std::pair<uint32_t, bool>> &inputs = {},
                 const std::vector<uint32_t> &unencrypted = {});
// Whether the command is `status` without an argument, which asks each receiver's input state
// afterwards.
bool lists_all_receivers(const Command &command);
// An outcome that is only an error of the tool's own: a usage error, no Telvane, requests off.
Outcome failure(const std::string &command, const std::string &message, int exit_status);
// The outcome as "key: value" lines, or as one JSON object.
std::string render(const Outcome &outcome, bool json);
// The refusal of a Telvane on display `display` that does not obey requests.
std::string requests_off(const std::string &display);

}  // namespace telvane::request
