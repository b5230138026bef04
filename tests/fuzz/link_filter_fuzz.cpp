// libFuzzer target for the receiver's link filter: any requests from a sender and any answers from
// the display, in any pieces.
#include "link_filter.h"
#include "fuzz_target.h"

using namespace telvane;

namespace {

// The sender's set-up, and the display's answer: ids 0x00400000/0x001fffff, one root 0x1e0.
const std::string kSetup = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
std::vector<uint8_t> answer() {
    std::vector<uint8_t> a(80, 0);
    a[0] = 1, a[6] = 18, a[14] = 0x40, a[16] = 0xff, a[17] = 0xff, a[18] = 0x1f, a[28] = 1, a[40] = 0xe0, a[41] = 1;
    return a;
}

// The bytes the display would get from `stream` fed in pieces of `piece`, with the display's
// `replies` fed in pieces after them; false once the filter ends the link.
bool run(std::string_view stream, std::string_view replies, size_t piece, std::string &to_display) {
    consent::LinkFilter f({"N", "D"}, {.windows = 4, .pixmaps = 4, .gcs = 4, .pixels = 4096});
    tlslink::ByteQueue out;
    std::string why;
    std::vector<uint8_t> held = answer();
    const auto feed_display = [&] {
        const size_t go = f.from_plain(reinterpret_cast<char *>(held.data()), held.size(), why).value_or(held.size() + 1);
        if (go > held.size() || (go < held.size() && held.size() - go >= 32)) abort();   // only a packet's head waits
        held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(go));
    };
    const auto feed_link = [&](std::string_view bytes) {
        // What the filter lets through unseen goes straight on, as the relay opens it.
        for (size_t pass; (pass = std::min(f.pass_through(), bytes.size())) > 0; bytes.remove_prefix(pass)) {
            out.append(bytes.substr(0, pass));
            f.passed(pass);
        }
        tlslink::ByteQueue in;
        in.append(bytes);
        bool ok = f.from_link(in, out, why);
        for (in.clear(); ok && f.holds_output();) ok = f.from_link(in, out, why);   // as the relay drains it
        return ok;
    };
    if (!feed_link(kSetup)) abort();
    feed_display();
    for (size_t at = 0; at < stream.size(); at += piece)
        if (!feed_link(stream.substr(at, piece))) return false;
    for (size_t at = 0; at < replies.size(); at += piece) {
        held.insert(held.end(), replies.begin() + at, replies.begin() + std::min(replies.size(), at + piece));
        feed_display();
        if (!feed_link({})) return false;
    }
    to_display = std::string(out.view());
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const size_t piece = 1 + data[0] % 13;
    const size_t split = std::min<size_t>(size - 3, data[1] | size_t{data[2]} << 8);
    const std::string_view stream(reinterpret_cast<const char *>(data + 3), split);
    const std::string_view replies(reinterpret_cast<const char *>(data + 3 + split), size - 3 - split);
    // Whole or in pieces, the display gets the same bytes, or the link ends either way.
    std::string whole, pieces;
    const bool a = run(stream, replies, stream.size() + replies.size() + 1, whole);
    const bool b = run(stream, replies, piece, pieces);
    if (a != b || whole != pieces) abort();
    return 0;
}
