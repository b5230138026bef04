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

// The `n`th resource id (from 1) of a connection whose set-up reply gave `base` and `mask`, in
// steps of the mask's lowest bit as xcb counts; 0 once the mask's range is used up. The sender
// threads count their receivers' ids with it: xcb, when its range is used up, asks the X server
// for more and waits for the answer without a time limit, on the thread that wanted the id.
uint32_t nth_resource_id(uint32_t base, uint32_t mask, uint32_t n);

}  // namespace telvane::server
