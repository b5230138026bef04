// libFuzzer target for what a display link reads before its X stream: the opening words in any
// pieces, the X set-up whose credentials the receiver replaces, and the fingerprint files.
#include "link_protocol.h"
#include "fuzz_target.h"

using namespace telvane::tlslink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = 1 + data[0] % 9;
    const std::string_view bytes(reinterpret_cast<const char *>(data + 1), size - 1);

    // Whole or in pieces, the opening words read the same; what they name stays in bounds.
    HelloParser whole, pieces;
    whole.feed(bytes);
    for (size_t at = 0; at < bytes.size(); at += piece) pieces.feed(bytes.substr(at, piece));
    if (whole.feed({}) != pieces.feed({})) abort();
    if (whole.feed({}) == HelloParser::State::Done) {
        const Hello &h = whole.hello();
        if (h.identity.size() > kMaxIdentity || h.identity.find('\0') != std::string::npos ||
            h.identity != pieces.hello().identity || whole.rest() != pieces.rest() || encode_hello(h) + whole.rest() != bytes)
            abort();
    }

    // A set-up taken whole keeps its length rule with any credentials put in.
    const size_t len = setup_request_length(bytes);
    if (len != kNotSetup && len != 0 && len <= bytes.size()) {
        const std::string out = replace_setup_auth(bytes.substr(0, len), std::string(bytes.substr(0, 18)), "0123456789abcdef");
        if (setup_request_length(out) != out.size() || out.compare(0, 6, bytes.substr(0, 6)) != 0) abort();
    }

    // Only 64-digit fingerprints come out of a file, each with its line.
    for (bool first : {false, true}) {
        int last = 0;
        for (const PeerEntry &e : read_peer_lines(bytes, first)) {
            if (!is_fingerprint(e.fingerprint) || e.line <= last || (!first && e.key.empty())) abort();
            last = e.line;
        }
    }
    return 0;
}
