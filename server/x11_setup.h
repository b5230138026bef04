#pragma once
// The connection set-up exchange: parsing and building the client's set-up request and the
// refusal the server sends back. Pure byte work, no sockets.

#include "byte_order.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace telvane::server {

// A client's set-up request, decoded.
struct SetupRequest {
    wire::ByteOrder order = wire::ByteOrder::Lsb;
    uint16_t protocol_major = 11;
    uint16_t protocol_minor = 0;
    std::string auth_name;
    std::string auth_data;
};

// Bytes a set-up request occupies, from its first 12 bytes; nothing when the first byte is no
// byte-order mark (the client is not speaking X11).
std::optional<size_t> setup_request_size(const uint8_t *header12);

// Decodes a complete set-up request of `n` bytes (n as given by setup_request_size).
std::optional<SetupRequest> parse_setup_request(const uint8_t *p, size_t n);

// The wire bytes of `req`, padded as the protocol wants.
std::vector<uint8_t> encode_setup_request(const SetupRequest &req);

// A "Failed" set-up reply carrying `reason`, in the client's byte order.
std::vector<uint8_t> encode_setup_refusal(wire::ByteOrder order, const std::string &reason);

}  // namespace telvane::server
