// Command-line parsing for telvane-consent.
#include "options.h"

#include <charconv>

namespace telvane::consent {

namespace {

// Whole seconds from 1 to a day; anything else is a mistake worth reporting.
bool parse_seconds(const std::string &text, int &out) {
    int v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < 1 || v > 86400) return false;
    out = v;
    return true;
}

// "ADDR:PORT", ":PORT" or "*:PORT"; the port may be 0.
bool parse_listen(const std::string &text, std::string &host, uint16_t &port) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string h = text.substr(0, colon), p = text.substr(colon + 1);
    unsigned v = 0;
    auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), v);
    if (p.empty() || ec != std::errc() || end != p.data() + p.size() || v > 65535) return false;
    host = h == "*" ? "" : h;
    port = static_cast<uint16_t>(v);
    return true;
}

}  // namespace

ParsedOptions parse_options(const std::vector<std::string> &args) {
    ParsedOptions r;
    Options &o = r.options;
    bool accept_all = false, refuse_all = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        if (name.rfind("--", 0) != 0) {
            if (name == "-h" || name == "-help") {
                o.help = true;
                continue;
            }
            if (name.size() > 1 && name[0] == '-') {
                o.toolkit_args.push_back(name);
                continue;
            }
            // A toolkit option's value: keep it with the option before it.
            if (!o.toolkit_args.empty()) {
                o.toolkit_args.push_back(name);
                continue;
            }
            r.error = "unexpected argument '" + name + "'";
            return r;
        }
        std::string value;
        bool has_value = false;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            has_value = true;
        }
        auto take_value = [&]() {
            if (has_value) return true;
            if (i + 1 >= args.size()) return false;
            value = args[++i];
            return true;
        };
        bool flag = name == "--help" || name == "--version" || name == "--accept-all" || name == "--refuse-all" ||
                    name == "--no-pictures";
        if (flag && has_value) {
            r.error = name + " takes no value";
            return r;
        }
        if (name == "--help") {
            o.help = true;
        } else if (name == "--version") {
            o.version = true;
        } else if (name == "--accept-all") {
            accept_all = true;
        } else if (name == "--refuse-all") {
            refuse_all = true;
        } else if (name == "--no-pictures") {
            o.pictures = false;
        } else if (name == "--listen") {
            if (!take_value() || !parse_listen(value, o.listen_host, o.listen_port)) {
                r.error = "--listen needs ADDR:PORT";
                return r;
            }
        } else if (name == "--link-listen") {
            if (take_value() && value == "off") {
                o.links = false;
            } else if (value.empty() || !parse_listen(value, o.link_host, o.link_port)) {
                r.error = "--link-listen needs ADDR:PORT or off";
                return r;
            }
        } else if (name == "--timeout" || name == "--read-timeout") {
            int &target = name == "--timeout" ? o.answer_timeout_seconds : o.read_timeout_seconds;
            if (!take_value() || !parse_seconds(value, target)) {
                r.error = name + " needs whole seconds from 1 to 86400";
                return r;
            }
        } else {
            r.error = "unknown option '" + name + "'";
            return r;
        }
    }
    if (accept_all && refuse_all) {
        r.error = "--accept-all and --refuse-all exclude each other";
        return r;
    }
    o.mode = accept_all ? AnswerMode::AcceptAll : refuse_all ? AnswerMode::RefuseAll : AnswerMode::Ask;
    r.ok = true;
    return r;
}

std::string usage_text(const std::string &program) {
    return "usage: " + program +
           " [--listen ADDR:PORT] [--link-listen ADDR:PORT|off] [--timeout SECONDS]\n"
           "       [--read-timeout SECONDS] [--no-pictures]\n"
           "       [--accept-all | --refuse-all] [-display DISPLAY] [toolkit options] [--help] [--version]\n"
           "\n"
           "Asks the person at this display whether a Telvane sender may share windows here.\n"
           "  --listen ADDR:PORT      where to listen (default: all addresses, port " +
           std::to_string(consent_wire::kConsentPort) + "; port 0: any free one)\n"
           "  --link-listen ADDR:PORT where senders open encrypted display links (default: all addresses,\n"
           "                          port " + std::to_string(tlslink::kLinkPort) + "; off: take none)\n"
           "  --timeout SECONDS       refuse a question nobody answers within this time (default 30)\n"
           "  --read-timeout SECONDS  refuse a sender whose request is not complete within this time (default 5)\n"
           "  --accept-all            accept every well-formed request and link without asking; opens no\n"
           "                          display to ask on (links still need a display to relay to)\n"
           "  --refuse-all            refuse every request without asking; opens no display\n"
           "  --no-pictures           offer senders no encoded pictures: every mirror comes in exact pixels,\n"
           "                          at many times the bytes for photographs\n"
           "  -display DISPLAY        where to ask (default: $DISPLAY); other X toolkit options apply too\n"
           "  --help                  show this text\n"
           "  --version               show the version\n";
}

}  // namespace telvane::consent
