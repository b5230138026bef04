// Encodes the requests that make and revoke a link's untrusted authorization, and reads the answers.
#include "security_requests.h"

#include "byte_order.h"
#include "link_protocol.h"

namespace telvane::consent::xsecurity {

namespace {

constexpr wire::ByteOrder kOrder = wire::ByteOrder::Lsb;

// A request of `words` four-byte units whose first two bytes are `major` and `minor`.
std::string request(uint8_t major, uint8_t minor, std::size_t words) {
    std::string r(words * 4, '\0');
    r[0] = static_cast<char>(major);
    r[1] = static_cast<char>(minor);
    wire::put16(reinterpret_cast<uint8_t *>(r.data()) + 2, static_cast<uint16_t>(words), kOrder);
    return r;
}

uint8_t *at(std::string &r, std::size_t offset) { return reinterpret_cast<uint8_t *>(r.data()) + offset; }

}  // namespace

std::string setup_request(std::string_view name, std::string_view data) {
    // The fixed part with protocol 11.0; the credentials and their lengths go in behind it.
    std::string head(12, '\0');
    head[0] = static_cast<char>(wire::setup_byte(kOrder));
    wire::put16(at(head, 2), 11, kOrder);
    return tlslink::replace_setup_auth(head, std::string(name), std::string(data));
}

std::string query_extension(std::string_view name) {
    std::string r = request(kQueryExtension, 0, 2 + (name.size() + wire::pad4(name.size())) / 4);
    wire::put16(at(r, 4), static_cast<uint16_t>(name.size()), kOrder);
    r.replace(8, name.size(), name);
    return r;
}

std::string get_input_focus() { return request(kGetInputFocus, 0, 1); }

std::string query_version(uint8_t major) {
    std::string r = request(major, kQueryVersion, 2);
    wire::put16(at(r, 4), kMajorVersion, kOrder);
    wire::put16(at(r, 6), kMinorVersion, kOrder);
    return r;
}

std::string generate_authorization(uint8_t major, uint32_t timeout_seconds) {
    // The protocol's name, no data of ours (the display makes the cookie), then the values in
    // the order of their bits: the time-out, the trust level.
    const std::size_t name_words = (kCookieProtocol.size() + wire::pad4(kCookieProtocol.size())) / 4;
    std::string r = request(major, kGenerateAuthorization, 3 + name_words + 2);
    wire::put16(at(r, 4), static_cast<uint16_t>(kCookieProtocol.size()), kOrder);
    wire::put32(at(r, 8), kTimeoutBit | kTrustLevelBit, kOrder);
    r.replace(12, kCookieProtocol.size(), kCookieProtocol);
    const std::size_t values = 12 + name_words * 4;
    wire::put32(at(r, values), timeout_seconds, kOrder);
    wire::put32(at(r, values + 4), kUntrusted, kOrder);
    return r;
}

std::string revoke_authorization(uint8_t major, uint32_t id) {
    std::string r = request(major, kRevokeAuthorization, 2);
    wire::put32(at(r, 4), id, kOrder);
    return r;
}

SetupHead read_setup_head(const uint8_t *head) {
    return {head[0], head[1], std::size_t{wire::get16(head + 6, kOrder)} * 4};
}

Answer read_answer(const uint8_t *head) {
    Answer a;
    a.type = head[0] & 0x7f;   // the top bit marks an event sent by another client
    a.sequence = wire::get16(head + 2, kOrder);
    if (a.type == kErrorType) a.error_code = head[1];
    if (a.type == kReplyType) a.rest = std::size_t{wire::get32(head + 4, kOrder)} * 4;
    return a;
}

std::optional<uint8_t> extension_opcode(const uint8_t *head) {
    if (!head[8]) return std::nullopt;
    return head[9];
}

std::optional<Granted> read_granted(std::string_view reply) {
    if (reply.size() < kAnswerSize) return std::nullopt;
    const auto *p = reinterpret_cast<const uint8_t *>(reply.data());
    const std::size_t length = wire::get16(p + 12, kOrder);
    if (reply.size() < kAnswerSize + length) return std::nullopt;
    return Granted{wire::get32(p + 8, kOrder), std::string(reply.substr(kAnswerSize, length))};
}

}  // namespace telvane::consent::xsecurity
