#pragma once
// telvane-consent's own command-line options. Anything else is left for the toolkit
// (-display, -xrm and the like).

#include "consent_wire.h"
#include "link_protocol.h"

#include <cstdint>
#include <string>
#include <vector>

namespace telvane::consent {

// Who answers: the person at the display, or a fixed answer without any display.
enum class AnswerMode { Ask, AcceptAll, RefuseAll };

struct Options {
    std::string listen_host;             // empty: every address
    uint16_t listen_port = consent_wire::kConsentPort;  // 0: any free port
    bool links = true;                   // take display links at all (--link-listen off: no)
    std::string link_host;               // empty: every address
    uint16_t link_port = tlslink::kLinkPort;  // 0: any free port
    int answer_timeout_seconds = 30;
    // A real sender writes its whole request as soon as it is connected; a few seconds cover a
    // slow network, and a connection that trickles its bytes holds a slot no longer than this.
    int read_timeout_seconds = 5;
    AnswerMode mode = AnswerMode::Ask;
    bool pictures = true;   // offer links encoded pictures (--no-pictures: exact pixels only)
    bool help = false;
    bool version = false;   // --version
    std::vector<std::string> toolkit_args;  // what is not ours, in order, for the toolkit
};

// The outcome of reading the command line: the options, or what was wrong with it.
struct ParsedOptions {
    bool ok = false;
    Options options;
    std::string error;
};

// Reads `args` (without the program name). Our options are "--name VALUE" or "--name=VALUE";
// other arguments beginning with a single '-' are passed on in toolkit_args; an unknown
// "--" option, a bad value, a bare word or both fixed answers at once is an error. Called by main.
ParsedOptions parse_options(const std::vector<std::string> &args);

// The usage text for --help and errors, naming the program `program`. Called by main.
std::string usage_text(const std::string &program);

}  // namespace telvane::consent
