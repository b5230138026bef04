// Encodes and decodes the set-up request and the set-up refusal.
#include "x11_setup.h"

namespace telvane::server {

using wire::get16;
using wire::pad4;
using wire::put16;

std::optional<size_t> setup_request_size(const uint8_t *h) {
    wire::ByteOrder order;
    if (!wire::order_from_setup_byte(h[0], order)) return std::nullopt;
    size_t name_len = get16(h + 6, order);
    size_t data_len = get16(h + 8, order);
    return 12 + name_len + pad4(name_len) + data_len + pad4(data_len);
}

std::optional<SetupRequest> parse_setup_request(const uint8_t *p, size_t n) {
    if (n < 12) return std::nullopt;
    auto size = setup_request_size(p);
    if (!size || *size > n) return std::nullopt;
    SetupRequest r;
    wire::order_from_setup_byte(p[0], r.order);
    r.protocol_major = get16(p + 2, r.order);
    r.protocol_minor = get16(p + 4, r.order);
    size_t name_len = get16(p + 6, r.order);
    size_t data_len = get16(p + 8, r.order);
    const char *name = reinterpret_cast<const char *>(p + 12);
    r.auth_name.assign(name, name_len);
    const char *data = name + name_len + pad4(name_len);
    r.auth_data.assign(data, data_len);
    return r;
}

std::vector<uint8_t> encode_setup_request(const SetupRequest &req) {
    size_t nl = req.auth_name.size(), dl = req.auth_data.size();
    std::vector<uint8_t> b(12 + nl + pad4(nl) + dl + pad4(dl), 0);
    b[0] = wire::setup_byte(req.order);
    put16(b.data() + 2, req.protocol_major, req.order);
    put16(b.data() + 4, req.protocol_minor, req.order);
    put16(b.data() + 6, static_cast<uint16_t>(nl), req.order);
    put16(b.data() + 8, static_cast<uint16_t>(dl), req.order);
    std::copy(req.auth_name.begin(), req.auth_name.end(), b.begin() + 12);
    std::copy(req.auth_data.begin(), req.auth_data.end(), b.begin() + 12 + nl + pad4(nl));
    return b;
}

std::vector<uint8_t> encode_setup_refusal(wire::ByteOrder order, const std::string &reason) {
    std::string text = reason.substr(0, 255);
    std::vector<uint8_t> b(8 + text.size() + pad4(text.size()), 0);
    b[0] = 0;  // Failed
    b[1] = static_cast<uint8_t>(text.size());
    put16(b.data() + 2, 11, order);
    put16(b.data() + 4, 0, order);
    put16(b.data() + 6, static_cast<uint16_t>((text.size() + pad4(text.size())) / 4), order);
    std::copy(text.begin(), text.end(), b.begin() + 8);
    return b;
}

uint32_t nth_resource_id(uint32_t base, uint32_t mask, uint32_t n) {
    const uint64_t step = mask & (~mask + 1);
    const uint64_t offset = step * n;
    if (step == 0 || n == 0 || offset > mask || (offset & ~uint64_t{mask})) return 0;
    return base | static_cast<uint32_t>(offset);
}

}  // namespace telvane::server
