// Reading requests in any pieces, the identity's length limit, and streams that end too soon.
#include <gtest/gtest.h>

#include "request_parser.h"

#include <algorithm>
#include <string>
#include <tuple>

using namespace telvane::consent;
using Progress = RequestParser::Progress;

namespace {

std::string request(const std::string &identity, bool zero = true) {
    return std::string{'\x7f', '\x00', '\x00', '\x01'} + identity + (zero ? std::string(1, '\0') : "");
}

Progress feed(RequestParser &p, const std::string &bytes, std::size_t *consumed) {
    return p.feed(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), consumed);
}

}  // namespace

TEST(RequestParser, AnyPiecesSettleAtTheSameByteAndNothingIsTakenAfterIt) {
    const std::string longest(199, 'x');
    const std::optional<Ipv4Address> none, localhost = Ipv4Address{127, 0, 0, 1};
    // The stream, the byte that settles it (npos: none does), what the end of the stream then
    // says and why, and the sender read.
    struct Row { std::string bytes; std::size_t settled_at; Progress end; std::optional<ParseError> error;
                 std::optional<Ipv4Address> sender; };
    const Row rows[] = {
        {request(std::string("Ann\nSmith\x01\xff", 11)) + "trailing", 15, Progress::Complete, {}, localhost},
        {request(""), 4, Progress::Complete, {}, localhost},
        {request(longest), 203, Progress::Complete, {}, localhost},
        // The 200th character is refused when it arrives; no zero is waited for.
        {request(longest, false) + "yz", 203, Progress::Bad, ParseError::IdentityTooLong, localhost},
        {request("Ann", false), std::string::npos, Progress::Bad, ParseError::NoTerminatingZero, localhost},
        {std::string("\x0a\x00", 2), std::string::npos, Progress::Bad, ParseError::NoTerminatingZero, none},
    };
    for (const Row &r : rows)
        for (std::size_t piece : {r.bytes.size(), std::size_t{1}, std::size_t{3}, std::size_t{5}}) {
            SCOPED_TRACE(testing::Message() << "row " << &r - rows << ", pieces of " << piece);
            RequestParser p;
            std::size_t taken = 0, consumed = 0;
            for (std::size_t at = 0; at < r.bytes.size(); at += piece, taken += consumed)
                EXPECT_EQ(feed(p, r.bytes.substr(at, piece), &consumed), at + piece > r.settled_at ? r.end : Progress::NeedMore);
            EXPECT_EQ(taken, std::min(r.settled_at, r.bytes.size() - 1) + 1);
            const Progress end = p.end_of_stream();
            EXPECT_EQ(std::tuple(end, p.error(), p.sender()), std::tuple(r.end, r.error, r.sender));
            if (end == Progress::Complete) {
                EXPECT_EQ(p.request().identity, r.bytes.substr(4, r.settled_at - 4));
            }
            EXPECT_EQ(feed(p, std::string(1, '\0'), &consumed), r.end);
            EXPECT_EQ(consumed, 0u);
        }
}
