// libFuzzer target for the proxy's framing: client and upstream streams in any chunks never crash,
// hang or run the sequence count backwards. Copied and drained whole, or lent from a buffer
// scribbled over after each chunk and drained in partial writes with descriptors, the same bytes
// come out, and every descriptor leaves in order with its byte and is closed at the end.
#include "connection_protocol.h"
#include "fuzz_target.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

using namespace telvane::server;

namespace {

// Answers share requests by their minor code, queueing an event for odd first words.
struct Handler : ShareRequestHandler {
    ConnectionProtocol *proto = nullptr;
    uint32_t n = 0;
    LocalAnswer on_share_request(const telvane::wire::ShareRequest &r, size_t, uint64_t) override {
        ++n;
        if (r.arg1 & 1) proto->queue_event({0, 3, 0, r.arg2, r.arg1, n, 1});
        if (r.minor % 3 == 0) return LocalAnswer::reply(r.arg3);
        return r.minor % 3 == 1 ? LocalAnswer::error(kBadLength) : LocalAnswer::none();
    }
};

// Drains at most `limit` bytes of `q` into `out` as the proxy does, noting in `fd_at` the offset of
// the byte each descriptor left with; what it sent is closed, as the peer would own it.
void drain_into(ByteQueue &q, std::vector<uint8_t> &out, size_t limit, std::vector<uint64_t> *fd_at = nullptr) {
    static std::vector<int> fds;
    while (!q.empty() && limit > 0) {
        size_t len = q.next_write(limit, fds, 253);
        if (len == 0) return;
        const size_t own = std::min(len, q.owned_size());
        out.insert(out.end(), q.data(), q.data() + own);
        out.insert(out.end(), q.lent_data(), q.lent_data() + (len - own));
        if (fd_at) fd_at->insert(fd_at->end(), fds.size(), q.taken());
        q.written(len, fds.size());
        limit -= len;
    }
}

// The proxy's set-up as the first byte picks it: descriptors or not, a set-up check or not.
ConnectionProtocol::Config config_for(const uint8_t *data) {
    ConnectionProtocol::Config cfg;
    cfg.codes = {200, 120, 220};
    cfg.bigreq_major = 133;
    cfg.passes_fds = (data[0] & 2) == 0;
    if (!cfg.passes_fds) cfg.refused = {{130, 7, 7, kBadAlloc}, {109, 0, 255, kBadAccess}};
    if (data[0] & 1)
        cfg.check_setup = [](const SetupRequest &r) {
            return SetupVerdict{r.auth_data.size() != 3, "no", r.auth_name.size() == 2, "", "0123456789abcdef"};
        };
    return cfg;
}

}  // namespace

// A chunk's first byte picks its direction and whether a descriptor comes with it; the partial
// writes come from the input too, so every cut against a request or a descriptor gets tried.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    std::vector<int> made;   // every descriptor handed to the relay; all closed at the end
    {
        Handler ha, hb;
        ConnectionProtocol a(config_for(data), &ha), b(config_for(data), &hb);
        ha.proto = &a;
        hb.proto = &b;
        std::vector<uint8_t> up_a, cl_a, up_b, cl_b, read_buf;
        const size_t chunk = 1 + (data[1] % 64);
        std::vector<uint64_t> fd_due, at;   // the upstream byte each one is tied to, and left with
        uint64_t last_seen = 0;
        for (size_t pos = 2, step = 0; pos < size; ++step) {
            const bool from_client = (data[pos] & 0x80) == 0;
            const size_t n = std::min(chunk, size - pos);
            read_buf.assign(data + pos, data + pos + n);
            if (from_client && (data[pos] & 0x40)) {
                fd_due.push_back(b.upstream_out().appended());
                made.push_back(eventfd(0, EFD_CLOEXEC));
                b.upstream_out().attach(Fd(made.back()));
            }
            auto sa = from_client ? a.from_client(data + pos, n) : a.from_upstream(data + pos, n);
            auto sb = from_client ? b.from_client(read_buf.data(), n, true) : b.from_upstream(read_buf.data(), n, true);
            if (sa != sb || a.last_sequence_seen() < last_seen) std::abort();
            last_seen = a.last_sequence_seen();
            if (a.upstream_out().size() > (1u << 24) || a.client_out().size() > (1u << 24)) std::abort();
            if (data[pos + n - 1] == 0x42) {
                a.queue_event({0, 4, 0, 1, 2, 3, 4});
                b.queue_event({0, 4, 0, 1, 2, 3, 4});
            }
            drain_into(a.upstream_out(), up_a, SIZE_MAX);
            drain_into(a.client_out(), cl_a, SIZE_MAX);
            const size_t cut = data[(pos + step) % size];
            drain_into(b.upstream_out(), up_b, cut, &at);
            drain_into(b.client_out(), cl_b, cut / 2);
            b.upstream_out().settle();
            b.client_out().settle();
            std::memset(read_buf.data(), 0xa5, read_buf.size());
            pos += n;
            if (sa == ConnectionProtocol::Status::Broken) break;
        }
        drain_into(b.upstream_out(), up_b, SIZE_MAX, &at);
        drain_into(b.client_out(), cl_b, SIZE_MAX);
        if (up_a != up_b || cl_a != cl_b) std::abort();
        // Descriptors leave in order, each with the first byte queued after it came, or later only
        // when the ones before it filled a message, and then with the very next byte.
        if (at.size() > fd_due.size()) std::abort();
        size_t same = 0;
        for (size_t i = 0; i < at.size(); ++i) {
            same = (i > 0 && at[i] == at[i - 1]) ? same + 1 : 1;
            if (at[i] < fd_due[i] || same > 253 || (i > 0 && at[i] < at[i - 1])) std::abort();
            if (at[i] > fd_due[i] && (i == 0 || at[i - 1] + 1 < at[i])) std::abort();
        }
    }
    for (int fd : made)
        if (fcntl(fd, F_GETFD) != -1) std::abort();
    return 0;
}
