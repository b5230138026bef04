// libFuzzer target for the share service without an upstream display: requests from eight
// connections in either byte order and any length, some closing between them. Every event goes
// to the connection that asked, and the input tables keep their bounds.
#include "share_service.h"
#include "fuzz_target.h"

using namespace telvane::server;
using namespace telvane::wire;

namespace {

uint64_t asking = 0;      // the connection whose request runs now
bool stray_event = false; // an event went to someone else

std::unique_ptr<ShareService> make_service() {
    // The service must not find a display of the machine it runs on.
    unsetenv("DISPLAY");
    ShareService::Options o;
    o.version_text = o.sender_name = "fuzz";
    auto broadcast = [](const ShareEvent &, const std::vector<uint64_t> &to) {
        stray_event |= std::any_of(to.begin(), to.end(), [](uint64_t c) { return c != asking; });
    };
    return std::make_unique<ShareService>(nullptr, o, broadcast, [](int, uint32_t, bool) {});
}

}  // namespace

// Each record: a control byte (connection, byte order, or "it closes"), the total length in
// 4-byte units (two bytes), then the request's first 16 bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::unique_ptr<ShareService> service = make_service();
    constexpr size_t kRecord = 1 + 2 + kShareRequestBytes;
    for (size_t at = 0; at + kRecord <= size; at += kRecord) {
        const uint8_t control = data[at];
        asking = control & 7;
        if (control & 0x80) {
            service->connection_closed(asking);
            continue;
        }
        const ByteOrder order = (control & 0x40) ? ByteOrder::Msb : ByteOrder::Lsb;
        const size_t total = 4 * size_t(data[at + 1] | data[at + 2] << 8);
        const ShareRequest req = decode_share_request(data + at + 3, order);
        const LocalAnswer answer = service->handle(asking, req, total, at, order);
        // A request of another size than its own is refused; without upstream nothing is shared,
        // so nothing may claim an application's input.
        if ((total != kShareRequestBytes && answer.kind != LocalAnswer::Kind::Error) || stray_event ||
            !service->input_settings().local_only.empty() || service->receiver_input().size() > kMaxInputHosts)
            std::abort();
    }
    // Whatever the script did, a closed connection leaves nothing waiting.
    for (uint64_t c = 0; c < 8; ++c) {
        service->connection_closed(c);
        if (service->holds(c)) std::abort();
    }
    return 0;
}
