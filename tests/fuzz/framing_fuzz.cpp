// libFuzzer target for the proxy's framing: arbitrary client and upstream byte streams, in
// arbitrary chunks, must never crash, hang or let the sequence count run backwards.
#include "connection_protocol.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace telvane::server;

namespace {

struct Handler : ShareRequestHandler {
    ConnectionProtocol *proto = nullptr;
    uint32_t n = 0;
    LocalAnswer on_share_request(const telvane::wire::ShareRequest &r, size_t, uint64_t) override {
        ++n;
        if (proto && (r.arg1 & 1)) proto->queue_event({0, 3, 0, r.arg2, r.arg1, n, 1});
        switch (r.minor % 3) {
        case 0: return LocalAnswer::reply(r.arg3);
        case 1: return LocalAnswer::error(kBadLength);
        default: return LocalAnswer::none();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    ConnectionProtocol::Config cfg;
    cfg.codes = {200, 120, 220};
    cfg.bigreq_major = 133;
    if (data[0] & 1) {
        cfg.check_setup = [](const SetupRequest &r) {
            SetupVerdict v;
            v.accept = r.auth_data.size() != 3;
            v.refusal_reason = "no";
            v.replace_auth = r.auth_name.size() == 2;
            v.auth_data = "0123456789abcdef";
            return v;
        };
    }
    Handler h;
    ConnectionProtocol p(cfg, &h);
    h.proto = &p;
    const size_t chunk = 1 + (data[1] % 64);
    size_t pos = 2;
    bool to_client = true;
    uint64_t last_seen = 0;
    while (pos < size) {
        // A chunk's first byte picks its direction; its length comes from the header byte.
        const bool from_client = (data[pos] & 0x80) == 0;
        size_t n = std::min(chunk, size - pos);
        auto st = from_client ? p.from_client(data + pos, n) : p.from_upstream(data + pos, n);
        pos += n;
        if (st == ConnectionProtocol::Status::Broken) break;
        if (p.last_sequence_seen() < last_seen) std::abort();
        last_seen = p.last_sequence_seen();
        if (p.upstream_out().size() > (1u << 24) || p.client_out().size() > (1u << 24)) std::abort();
        p.upstream_out().clear();
        if (to_client) p.client_out().clear();
        to_client = !to_client;
        if (data[pos - 1] == 0x42) p.queue_event({0, 4, 0, 1, 2, 3, 4});
    }
    return 0;
}
