// telvane-consent's command line: reads the options, opens the display when a person is to be
// asked, listens, and hands over to the service.
#include "dialog.h"
#include "handles.h"
#include "link_service.h"
#include "net.h"
#include "options.h"
#include "service.h"
#include "texts.h"

#include <Xm/Xm.h>
#include <X11/Shell.h>
#include <csignal>
#include <malloc.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace telvane::consent;

namespace {

constexpr const char *kProgram = "telvane-consent";
constexpr const char *kAppClass = "TelvaneConsent";

int usage_error(const std::string &problem) {
    std::fprintf(stderr, "%s: %s\n%s", kProgram, problem.c_str(), usage_text(kProgram).c_str());
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    // A sender that disconnects before its answer is written must not end the service.
    std::signal(SIGPIPE, SIG_IGN);
    // A link's buffers are mapped alone and unmapped when it ends, at whatever size: the
    // allocator's own threshold would grow with them and keep the next ones in its heaps.
    mallopt(M_MMAP_THRESHOLD, 128 << 10);

    std::vector<std::string> args(argv + 1, argv + argc);
    ParsedOptions parsed = parse_options(args);
    if (!parsed.ok) return usage_error(parsed.error);
    const Options &o = parsed.options;
    if (o.help) {
        std::fputs(usage_text(kProgram).c_str(), stdout);
        return 0;
    }
    if (o.version) {
        std::printf("%s %s\n", kProgram, TELVANE_VERSION);
        return 0;
    }
    // The fixed answers run without any display, so toolkit options have nothing to act on.
    if (o.mode != AnswerMode::Ask && !o.toolkit_args.empty()) {
        return usage_error("unknown option '" + o.toolkit_args.front() + "'");
    }

    XtToolkitInitialize();
    AppContext app(XtCreateApplicationContext());
    ToolkitDisplay display;
    Widget app_shell = nullptr;
    if (o.mode == AnswerMode::Ask) {
        XtAppSetFallbackResources(app.get(), const_cast<String *>(kFallbackResources));
        // The toolkit takes -display and its other options out of this vector.
        std::vector<std::string> toolkit_args{kProgram};
        toolkit_args.insert(toolkit_args.end(), o.toolkit_args.begin(), o.toolkit_args.end());
        std::vector<char *> xargv;
        for (auto &a : toolkit_args) xargv.push_back(a.data());
        xargv.push_back(nullptr);
        int xargc = static_cast<int>(toolkit_args.size());
        display.reset(XtOpenDisplay(app.get(), nullptr, kProgram, kAppClass, nullptr, 0, &xargc, xargv.data()));
        if (!display) {
            std::fprintf(stderr, "%s: cannot open display '%s'\n", kProgram, XDisplayName(nullptr));
            return 1;
        }
        if (xargc > 1) return usage_error("unknown option '" + std::string(xargv[1]) + "'");
        app_shell = XtVaAppCreateShell(kProgram, kAppClass, applicationShellWidgetClass, display.get(),
                                       XmNmappedWhenManaged, False, nullptr);
    }

    Listener listener = open_listener(o.listen_host, o.listen_port);
    if (!listener.fd) {
        std::fprintf(stderr, "%s: %s\n", kProgram, listener.error.c_str());
        return 1;
    }
    // The link port, and our key for it: a service that cannot have either still asks.
    Listener link_listener;
    std::string link_key;
    LinkSettings link_settings;
    link_settings.mode = o.mode;
    link_settings.pictures = o.pictures;
    link_settings.answer_limit = std::chrono::seconds(o.answer_timeout_seconds);
    if (o.links) {
        const char *home = std::getenv("HOME");
        std::string error = "HOME is not set";
        std::optional<telvane::tlslink::Identity> id;
        if (home && *home) {
            const std::string folder = std::string(home) + "/.Telvane";
            link_settings.allowed_senders_path = folder + "/allowed_senders";
            id = telvane::tlslink::load_or_create_identity(folder, "telvane-consent", error);
        }
        if (id) {
            auto ctx = telvane::tlslink::make_link_context(*id, true);
            if (ctx) link_settings.context = std::make_shared<telvane::tlslink::SslCtx>(std::move(ctx));
            else error = telvane::tlslink::last_tls_error();
        }
        if (link_settings.context) link_listener = open_listener(o.link_host, o.link_port);
        else std::fprintf(stderr, "%s: no encrypted display links: %s\n", kProgram, error.c_str());
        if (link_settings.context && !link_listener.fd)
            std::fprintf(stderr, "%s: no encrypted display links: %s\n", kProgram, link_listener.error.c_str());
        if (link_listener.fd) link_key = telvane::tlslink::short_fingerprint(id->fingerprint);
    }
    ServiceSettings settings;
    settings.mode = o.mode;
    settings.answer_timeout = std::chrono::seconds(o.answer_timeout_seconds);
    settings.read_timeout = std::chrono::seconds(o.read_timeout_seconds);
    if (display) settings.display = local_display_number(DisplayString(display.get()));
    int status = 0;
    {
        ConsentService service(app.get(), std::move(listener.fd), settings);
        std::unique_ptr<ConsentDialog> dialog;
        if (app_shell) {
            dialog = ConsentDialog::create(app_shell, [&service](bool accepted) { service.answer_shown(accepted); });
            service.set_dialog(dialog.get());
        }
        log_line(listening_line(listener.bound));
        std::unique_ptr<LinkService> links;
        if (link_listener.fd) log_line("telvane-consent: links on " + link_listener.bound + ", key " + link_key);
        if (link_listener.fd)
            links = std::make_unique<LinkService>(
                app.get(), std::move(link_listener.fd), link_settings, service.recent_yes(),
                [&service, &links](LinkId id, const LinkQuestion &q) {
                    service.ask_link(q.sender, q.peer, q.identity, telvane::tlslink::short_fingerprint(q.fingerprint),
                                     q.display, [&links, id](bool accepted, bool always) {
                                         if (links) links->answer(id, accepted, always);
                                     });
                });
        status = service.run();
        links.reset();
        service.set_dialog(nullptr);
    }
    if (app_shell) XtDestroyWidget(app_shell);
    return status;
}
