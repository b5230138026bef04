// The requests that make and revoke a link's untrusted authorization, and the readers of the answers.
#include <gtest/gtest.h>

#include "security_requests.h"

#include <cstring>
#include <tuple>

using namespace telvane::consent::xsecurity;

namespace {

std::string hex(std::string_view bytes) {
    std::string out;
    char two[3];
    for (unsigned char b : bytes) out += (snprintf(two, sizeof two, "%02x", b), two);
    return out;
}

std::string bytes_of(std::string_view hex_text) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex_text.size(); i += 2)
        out += static_cast<char>(std::stoi(std::string(hex_text.substr(i, 2)), nullptr, 16));
    return out;
}

}  // namespace

TEST(SecurityRequests, EachRequestIsWhatAnLsbFirstServerReads) {
    const std::string cookie = "0123456789abcdef";
    const struct { const char *name; std::string bytes; const char *expected; } rows[] = {
        {"set-up, protocol 11.0, name and data padded", setup_request(kCookieProtocol, cookie),
         "6c000b000000120010000000" "4d49542d4d414749432d434f4f4b49452d310000" "30313233343536373839616263646566"},
        {"set-up without credentials", setup_request("", ""), "6c000b000000000000000000"},
        {"QueryExtension SECURITY", query_extension(kExtensionName), "6200040008000000" "5345435552495459"},
        {"QueryExtension, a name to pad", query_extension("XC-MISC"), "6200040007000000" "58432d4d49534300"},
        {"GetInputFocus", get_input_focus(), "2b000100"},
        {"SecurityQueryVersion 1.0", query_version(137), "8900020001000000"},
        {"SecurityGenerateAuthorization: untrusted cookie, 10 s lapse", generate_authorization(137, 10),
         "89010a0012000000" "03000000" "4d49542d4d414749432d434f4f4b49452d310000" "0a000000" "01000000"},
        {"SecurityRevokeAuthorization", revoke_authorization(137, 0x1517), "8902020017150000"},
    };
    for (const auto &row : rows) EXPECT_EQ(hex(row.bytes), row.expected) << row.name;
}

TEST(SecurityRequests, AnswersAreReadByKindAndAShortGrantIsNone) {
    const auto head = [](const char *h) { return bytes_of(std::string(h) + std::string(64 - std::strlen(h), '0')); };
    const std::string refused = head("00050b000000020000000000");   // reason of 5 bytes, 8 more
    const SetupHead s = read_setup_head(reinterpret_cast<const uint8_t *>(refused.data()));
    EXPECT_EQ(std::tuple(int(s.status), s.reason_length, s.rest), std::tuple(int(kSetupFailed), 5u, 8u));
    const struct { const char *name; const char *bytes; Answer expected; } rows[] = {
        {"error", "000a0700", {kErrorType, 7, 10, 0}},
        {"reply with 8 more bytes", "01000900" "02000000", {kReplyType, 9, 0, 8}},
        {"event sent by a client", "a1000300" "ffffffff", {33, 3, 0, 0}},
    };
    for (const auto &row : rows) {
        const std::string b = head(row.bytes);
        const Answer a = read_answer(reinterpret_cast<const uint8_t *>(b.data()));
        EXPECT_EQ(std::tuple(int(a.type), a.sequence, int(a.error_code), a.rest),
                  std::tuple(int(row.expected.type), row.expected.sequence, int(row.expected.error_code), row.expected.rest))
            << row.name;
    }
    EXPECT_EQ(extension_opcode(reinterpret_cast<const uint8_t *>(head("0100010000000000" "0189").data())), 0x89);
    EXPECT_FALSE(extension_opcode(reinterpret_cast<const uint8_t *>(head("0100010000000000" "0089").data())));
    const std::string grant = head("010003000400000017150000" "1000") + "0123456789abcdef";
    const auto granted = read_granted(grant);
    ASSERT_TRUE(granted);
    EXPECT_EQ(std::tuple(granted->id, granted->cookie), std::tuple(0x1517u, std::string("0123456789abcdef")));
    EXPECT_FALSE(read_granted(grant.substr(0, 40)));
}
