#pragma once
// Reading one consent request as its bytes arrive: four address bytes, then an identity ended
// by a zero byte.

#include "consent_wire.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace telvane::consent {

using Ipv4Address = std::array<uint8_t, 4>;

// A complete, well-formed request.
struct Request {
    Ipv4Address sender{};   // as the sender gave it, network byte order
    std::string identity;   // raw bytes, without the zero
};

// Why a request could not be read.
enum class ParseError {
    IdentityTooLong,    // the 200th identity byte arrived before any zero
    NoTerminatingZero,  // the stream ended first
};

// An incremental parser for one connection; the service keeps one per connection and feeds
// it what the socket gives, in any pieces. Once it is Complete or Bad it takes no more bytes
// and its state stays as it is.
class RequestParser {
public:
    enum class Progress { NeedMore, Complete, Bad };

    // Consumes bytes from `data` up to and including the identity's terminating zero, or up to
    // the byte that made the request bad. Returns the new progress; `consumed` (when given) is
    // how many bytes were taken, so the rest are what the peer sent after its request.
    Progress feed(const uint8_t *data, std::size_t size, std::size_t *consumed = nullptr);

    // The peer ended its side of the stream. An unfinished request becomes Bad
    // (NoTerminatingZero); a finished one is unaffected. Returns the new status.
    Progress end_of_stream();

    Progress status() const { return status_; }
    // The request, meaningful once Complete.
    const Request &request() const { return request_; }
    // The reason, once Bad.
    std::optional<ParseError> error() const { return error_; }
    // The sender's address once its four bytes are in, which may be before the request is
    // complete or after it went bad.
    std::optional<Ipv4Address> sender() const;
    // Bytes taken so far.
    std::size_t received() const { return received_; }

private:
    Progress status_ = Progress::NeedMore;
    Request request_;
    std::optional<ParseError> error_;
    std::size_t received_ = 0;
};

}  // namespace telvane::consent
