// telvane-request: sends one external request to a running Telvane and prints the outcome.
#include "commands.h"
#include "receiver_address.h"
#include "request_codes.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xmu/WinUtil.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <vector>

using namespace telvane::request;
using namespace telvane::request_codes;

namespace {

struct DisplayCloser {
    void operator()(Display *d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// Telvane's requests are about windows that may vanish meanwhile; a window that went away is
// an answer, not a reason to stop.
int quiet_errors(Display *, XErrorEvent *) { return 0; }

bool has_class(Display *dpy, Window w, const char *klass) {
    XClassHint hint{};
    if (!XGetClassHint(dpy, w, &hint)) return false;
    bool match = hint.res_class && std::string(hint.res_class) == klass;
    XFree(hint.res_name);
    XFree(hint.res_class);
    return match;
}

// The first window below `top`, depth first, that `test` accepts (window managers put frames
// around the windows people know).
template <typename Test> Window find_below(Display *dpy, Window top, Test test, int depth = 0) {
    Window root = 0, parent = 0, *kids = nullptr;
    unsigned n = 0;
    if (depth > 8 || !XQueryTree(dpy, top, &root, &parent, &kids, &n)) return 0;
    Window found = 0;
    for (unsigned i = n; i-- > 0 && !found;)
        if (test(kids[i])) found = kids[i];
    for (unsigned i = n; i-- > 0 && !found;) found = find_below(dpy, kids[i], test, depth + 1);
    if (kids) XFree(kids);
    return found;
}

// The text of property `atom` on `w`, or "".
std::string text_property(Display *dpy, Window w, Atom atom) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    std::string out;
    if (XGetWindowProperty(dpy, w, atom, 0, 1000, False, AnyPropertyType, &type, &format, &items, &after, &data) ==
            Success &&
        data && format == 8)
        out.assign(reinterpret_cast<char *>(data), strnlen(reinterpret_cast<char *>(data), items));
    if (data) XFree(data);
    return out;
}

// The display's client windows, one for each top-level window: the window with WM_STATE
// that Xmu finds in it (window managers put frames around the windows people know), or the
// top-level window itself when it holds none.
std::vector<TitledWindow> client_windows(Display *dpy, Window root) {
    std::vector<TitledWindow> out;
    Window r = 0, parent = 0, *tops = nullptr;
    unsigned n = 0;
    if (!XQueryTree(dpy, root, &r, &parent, &tops, &n)) return out;
    const Atom wm_state = XInternAtom(dpy, "WM_STATE", False), net_name = XInternAtom(dpy, "_NET_WM_NAME", False);
    for (unsigned i = 0; i < n; ++i) {
        TitledWindow t;
        Window w = XmuClientWindow(dpy, tops[i]), child = 0;
        Atom type = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char *data = nullptr;
        t.managed = XGetWindowProperty(dpy, w, wm_state, 0, 0, False, AnyPropertyType, &type, &format, &items,
                                       &after, &data) == Success && type != None;
        if (data) XFree(data);
        if (!t.managed) w = tops[i];
        XWindowAttributes a{};
        if (!XGetWindowAttributes(dpy, w, &a) || !XTranslateCoordinates(dpy, w, root, 0, 0, &t.x, &t.y, &child))
            continue;
        t.id = static_cast<uint32_t>(w);
        t.viewable = a.map_state == IsViewable;
        t.override_redirect = a.override_redirect;
        t.width = static_cast<unsigned>(a.width);
        t.height = static_cast<unsigned>(a.height);
        t.title = text_property(dpy, w, XA_WM_NAME);
        t.net_title = text_property(dpy, w, net_name);
        out.push_back(t);
    }
    if (tops) XFree(tops);
    return out;
}

std::vector<uint32_t> list_property(Display *dpy, Window w, Atom atom) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    std::vector<uint32_t> out;
    if (XGetWindowProperty(dpy, w, atom, 0, 1000, False, AnyPropertyType, &type, &format, &items, &after, &data) ==
            Success &&
        data && format == 32) {
        const auto *longs = reinterpret_cast<const long *>(data);
        for (unsigned long i = 0; i < items; ++i) out.push_back(static_cast<uint32_t>(longs[i]));
    }
    if (data) XFree(data);
    return out;
}

// With --json the one JSON object goes to standard output, errors included.
bool json_output = false;
std::string command_name;

int fail(const std::string &message, int status) {
    if (json_output) std::fputs(render(failure(command_name, message, status), true).c_str(), stdout);
    else std::fprintf(stderr, "telvane-request: %s\n", message.c_str());
    return status;
}

// Sends one request to Telvane's window and collects its replies until they are complete, the
// time is up (none with `deadline` unset), or Telvane's window goes away (`gone` set).
std::vector<Reply> exchange(Display *d, Window telvane, Atom request_atom, const long words[5],
                            const std::vector<uint32_t> &hosts, std::optional<std::chrono::steady_clock::time_point> deadline,
                            bool *gone) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = telvane;
    event.xclient.message_type = request_atom;
    event.xclient.format = 32;
    for (int i = 0; i < 5; ++i) event.xclient.data.l[i] = words[i];
    XSendEvent(d, telvane, False, NoEventMask, &event);
    XSync(d, False);
    std::vector<Reply> replies;
    while (!complete(words, hosts, replies) && !*gone) {
        while (XPending(d) && !complete(words, hosts, replies)) {
            XNextEvent(d, &event);
            if (event.type == DestroyNotify && event.xdestroywindow.window == telvane) *gone = true;
            if (event.type != ClientMessage || event.xclient.message_type != request_atom) continue;
            Reply r;
            for (int i = 0; i < 5; ++i) r.w[i] = event.xclient.data.l[i];
            replies.push_back(r);
        }
        if (complete(words, hosts, replies) || *gone) break;
        int wait = -1;
        if (deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            wait = static_cast<int>(left.count());
        }
        pollfd fd{ConnectionNumber(d), POLLIN, 0};
        poll(&fd, 1, wait);
    }
    return replies;
}

}  // namespace

int main(int argc, char **argv) {
    Parsed parsed = parse(std::vector<std::string>(argv + 1, argv + argc));
    json_output = parsed.options.json;
    command_name = parsed.options.command.name;
    if (!parsed.ok) return fail(json_output ? parsed.error : parsed.error + "\n" + usage(), kExitUsage);
    const Options &o = parsed.options;
    if (o.version) {
        if (json_output) std::printf("{\"program\": \"telvane-request\", \"version\": \"%s\"}\n", TELVANE_VERSION);
        else std::printf("telvane-request %s\n", TELVANE_VERSION);
        return kExitDone;
    }
    if (o.help) {
        std::fputs(usage(o.help_for).c_str(), stdout);
        return kExitDone;
    }
    DisplayPtr dpy(XOpenDisplay(o.display.empty() ? nullptr : o.display.c_str()));
    if (!dpy) return fail("cannot open display " + o.display, kExitNoTelvane);
    XSetErrorHandler(quiet_errors);
    Display *d = dpy.get();
    const Window root = DefaultRootWindow(d);
    // The main window says whether Telvane takes requests; its dialogs' shells have its class too.
    const Atom takes_atom = XInternAtom(d, kTakesRequestsProperty, False);
    Window telvane = find_below(d, root, [&](Window w) {
        return has_class(d, w, "Telvane") && !list_property(d, w, takes_atom).empty();
    });
    if (!telvane) telvane = find_below(d, root, [&](Window w) { return has_class(d, w, "Telvane"); });
    if (!telvane) return fail("no Telvane main window on this display", kExitNoTelvane);
    // A Telvane that does not obey requests drops them unanswered: say so rather than wait.
    const std::vector<uint32_t> takes = list_property(d, telvane, takes_atom);
    if (!takes.empty() && takes[0] == 0) return fail(requests_off(DisplayString(d)), kExitRequestsOff);
    // Telvane going away ends a wait that has no limit.
    XSelectInput(d, telvane, StructureNotifyMask);
    const Atom request_atom = XInternAtom(d, kRequestAtom, False);

    // The requester window: replies and properties come to it.
    Window requester = XCreateSimpleWindow(d, root, 0, 0, 1, 1, 0, 0, 0);
    const Command &c = o.command;
    long words[5] = {c.code, static_cast<long>(requester), c.w2, c.w3, c.w4};
    if (c.window) {
        Window w = c.window->id;
        if (!c.window->title.empty()) {
            // Toolkits keep hidden windows with the same title as their visible ones: only a
            // window people can see counts, and a title that two carry is refused.
            auto found = windows_titled(client_windows(d, root), c.window->title,
                                        static_cast<unsigned>(DisplayWidth(d, DefaultScreen(d))),
                                        static_cast<unsigned>(DisplayHeight(d, DefaultScreen(d))));
            if (found.empty()) return fail("no window titled '" + c.window->title + "'", kExitUsage);
            if (found.size() > 1) return fail(several_titled(c.window->title, found), kExitUsage);
            w = found[0].id;
        }
        words[2] = static_cast<long>(w);
    }
    std::vector<uint32_t> hosts;
    for (const std::string &name : c.receivers) {
        if (!display_name_form(name))
            return fail("'" + name + "' is not a display name (host, host:D or host:D.S)", kExitUsage);
        std::string canonical = telvane::names::canonical_display(name.c_str());
        if (canonical.empty()) return fail("'" + name + "' is not a display name whose host resolves", kExitUsage);
        Atom atom = XInternAtom(d, canonical.c_str(), False);
        hosts.push_back(static_cast<uint32_t>(atom));
        // Telvane reads the receiver's name from here when it does not know the receiver yet.
        XChangeProperty(d, requester, atom, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(name.c_str()), static_cast<int>(name.size()));
    }
    if (c.code == kShareSameWindows && hosts.size() == 2) {
        words[2] = hosts[0];
        words[3] = hosts[1];
    } else if (c.code == kShareSameWindows) {
        std::vector<long> items(hosts.begin(), hosts.end());
        XChangeProperty(d, requester, request_atom, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char *>(items.data()), static_cast<int>(items.size()));
        words[2] = words[3] = kListInProperty;
    } else if (!hosts.empty()) {
        words[3] = hosts[0];
        if (c.code == kSenderStatus) words[2] = 0;
    }
    if (c.code == kAccessCheck) {
        uint32_t address = telvane::names::host_address(c.host.c_str());
        if (address == 0xffffffffu) return fail("host '" + c.host + "' does not resolve", kExitUsage);
        words[3] = static_cast<long>(address);
    }

    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (!o.wait_for_user)
        deadline = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(o.timeout));
    bool gone = false;
    std::vector<Reply> replies = exchange(d, telvane, request_atom, words, hosts, deadline, &gone);
    if (gone && replies.empty()) return fail("Telvane went away before it answered", kExitNoTelvane);

    // What the replies point to: a list on the requester window, receivers' names by atom.
    std::vector<uint32_t> items = list_property(d, requester, request_atom);
    // Read before the receivers' own answers below write it again.
    const std::vector<uint32_t> unencrypted =
        c.code == kSenderStatus ? list_property(d, requester, XInternAtom(d, kUnencryptedProperty, False))
                                : std::vector<uint32_t>{};
    if (c.code == kShareSameWindows || c.code == kTelepointerAdd || c.code == kTelepointerDelete) items.clear();
    std::vector<std::pair<uint32_t, std::string>> names;
    std::vector<uint32_t> named = items;
    for (const Reply &r : replies)
        for (long v : r.w)
            if (v > 0) named.push_back(static_cast<uint32_t>(v));
    for (uint32_t id : named) {
        std::string text = text_property(d, requester, static_cast<Atom>(id));
        if (!text.empty()) names.emplace_back(id, text);
    }
    // Each receiver's own status tells whether its input is allowed.
    std::vector<std::pair<uint32_t, bool>> inputs;
    if (lists_all_receivers(c) && !replies.empty() && replies.back().w[2] == kDone)
        for (uint32_t host : items) {
            const long ask[5] = {kSenderStatus, static_cast<long>(requester), 0, static_cast<long>(host), 0};
            std::vector<Reply> answer = exchange(d, telvane, request_atom, ask, {}, deadline, &gone);
            if (!answer.empty() && answer.back().w[2] == kDone) inputs.emplace_back(host, answer.back().w[3] != 0);
        }
    Outcome outcome = describe(c, words, replies, names, items, inputs, unencrypted);
    std::fputs(render(outcome, o.json).c_str(), stdout);
    XDestroyWindow(d, requester);
    return outcome.exit_status;
}
