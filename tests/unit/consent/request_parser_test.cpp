// Reading requests in any pieces, the identity's length limit, and streams that end too soon.
#include <gtest/gtest.h>

#include "request_parser.h"

#include <string>

using namespace telvane::consent;
using Progress = RequestParser::Progress;

namespace {

std::string request(const std::string &identity, bool zero = true) {
    std::string bytes{'\x7f', '\x00', '\x00', '\x01'};
    bytes += identity;
    if (zero) bytes += '\0';
    return bytes;
}

Progress feed(RequestParser &p, const std::string &bytes, std::size_t *consumed = nullptr) {
    return p.feed(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), consumed);
}

}  // namespace

TEST(RequestParser, SameResultWhateverThePiecesAndNothingTakenAfterTheZero) {
    const std::string identity("Ann\nSmith\x01\xff", 11);
    const std::string bytes = request(identity) + "trailing";   // the zero is byte 15
    for (std::size_t piece : {bytes.size(), std::size_t{1}, std::size_t{3}, std::size_t{5}}) {
        RequestParser p;
        std::size_t taken = 0, consumed = 0;
        for (std::size_t at = 0; at < bytes.size(); at += piece, taken += consumed)
            EXPECT_EQ(feed(p, bytes.substr(at, piece), &consumed), at + piece > 15 ? Progress::Complete : Progress::NeedMore)
                << "pieces of " << piece << " at " << at;
        EXPECT_EQ(taken, 16u) << "pieces of " << piece;
        EXPECT_EQ(p.end_of_stream(), Progress::Complete);
        EXPECT_EQ(p.request().sender, (Ipv4Address{127, 0, 0, 1}));
        EXPECT_EQ(p.request().identity, identity) << "identity bytes must be kept raw";
    }
}

TEST(RequestParser, IdentityLengthLimit) {
    for (const std::string &identity : {std::string(), std::string(199, 'x')}) {
        RequestParser p;
        EXPECT_EQ(feed(p, request(identity)), Progress::Complete);
        EXPECT_EQ(p.request().identity, identity);
    }
    // The 200th character is refused when it arrives; no zero is waited for.
    RequestParser too_long;
    EXPECT_EQ(feed(too_long, request(std::string(199, 'x'), false)), Progress::NeedMore);
    std::size_t consumed = 0;
    EXPECT_EQ(feed(too_long, std::string("yz") + '\0', &consumed), Progress::Bad);
    EXPECT_EQ(consumed, 1u);
    EXPECT_EQ(too_long.end_of_stream(), Progress::Bad);
    EXPECT_EQ(too_long.error(), ParseError::IdentityTooLong);
}

TEST(RequestParser, StreamEndingEarlyHasNoTerminatingZero) {
    const std::optional<Ipv4Address> none, localhost = Ipv4Address{127, 0, 0, 1};
    for (auto [bytes, sender] : {std::pair{std::string("\x0a\x00", 2), none}, {request("Ann", false), localhost}}) {
        RequestParser p;
        feed(p, bytes);
        EXPECT_EQ(p.sender(), sender);
        EXPECT_EQ(p.end_of_stream(), Progress::Bad);
        EXPECT_EQ(p.error(), ParseError::NoTerminatingZero);
        // A bad request takes no more bytes, not even a late zero.
        std::size_t consumed = 5;
        EXPECT_EQ(feed(p, std::string(1, '\0'), &consumed), Progress::Bad);
        EXPECT_EQ(consumed, 0u);
    }
}
