// The byte-by-byte reading of a consent request and its two ways to go wrong.
#include "request_parser.h"

namespace telvane::consent {

RequestParser::Progress RequestParser::feed(const uint8_t *data, std::size_t size, std::size_t *consumed) {
    std::size_t taken = 0;
    while (status_ == Progress::NeedMore && taken < size) {
        uint8_t byte = data[taken++];
        if (received_ < request_.sender.size()) {
            request_.sender[received_++] = byte;
            continue;
        }
        ++received_;
        if (byte == 0) {
            status_ = Progress::Complete;
        } else if (request_.identity.size() == consent_wire::kMaxIdentity) {
            // Refuse at once rather than wait for a zero that a hostile peer may never send.
            status_ = Progress::Bad;
            error_ = ParseError::IdentityTooLong;
        } else {
            request_.identity.push_back(static_cast<char>(byte));
        }
    }
    if (consumed) *consumed = taken;
    return status_;
}

RequestParser::Progress RequestParser::end_of_stream() {
    if (status_ == Progress::NeedMore) {
        status_ = Progress::Bad;
        error_ = ParseError::NoTerminatingZero;
    }
    return status_;
}

std::optional<Ipv4Address> RequestParser::sender() const {
    if (received_ < request_.sender.size()) return std::nullopt;
    return request_.sender;
}

}  // namespace telvane::consent
