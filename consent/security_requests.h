#pragma once
// The X requests that make a display link an untrusted authorization of its own through the
// display's SECURITY extension (as `ssh -X` has one made) and revoke it, and the readers of the
// answers: pure bytes, least significant byte first (we write the set-up, so the order is ours).
// The exchange itself, on a socket, is untrusted_auth's.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace telvane::consent::xsecurity {

// Core requests sent.
inline constexpr uint8_t kGetInputFocus = 43;
inline constexpr uint8_t kQueryExtension = 98;

// The extension, the version we speak, its minor codes, the value-mask bits of
// GenerateAuthorization that we set, and its trust levels.
inline constexpr std::string_view kExtensionName = "SECURITY";
inline constexpr uint16_t kMajorVersion = 1, kMinorVersion = 0;
inline constexpr uint8_t kQueryVersion = 0, kGenerateAuthorization = 1, kRevokeAuthorization = 2;
inline constexpr uint32_t kTimeoutBit = 1u << 0, kTrustLevelBit = 1u << 1;
inline constexpr uint32_t kTrusted = 0, kUntrusted = 1;

// The authorization protocol asked for: the display makes the cookie.
inline constexpr std::string_view kCookieProtocol = "MIT-MAGIC-COOKIE-1";

// A set-up reply's first byte, and its fixed head (status, reason length, versions, length).
inline constexpr uint8_t kSetupFailed = 0, kSetupSuccess = 1;
inline constexpr std::size_t kSetupHeadSize = 8;

// Every reply, error and event begins with 32 bytes whose first byte says which it is.
inline constexpr std::size_t kAnswerSize = 32;
inline constexpr uint8_t kErrorType = 0, kReplyType = 1;

// The connection set-up request offering `name` and `data`.
std::string setup_request(std::string_view name, std::string_view data);
// QueryExtension of `name`; GetInputFocus, the cheapest round trip.
std::string query_extension(std::string_view name);
std::string get_input_focus();
// The extension's requests, `major` being its opcode on this display. GenerateAuthorization
// asks for an untrusted MIT-MAGIC-COOKIE-1 that lapses `timeout_seconds` after its last client
// has gone (or after it is made, when nobody uses it).
std::string query_version(uint8_t major);
std::string generate_authorization(uint8_t major, uint32_t timeout_seconds);
std::string revoke_authorization(uint8_t major, uint32_t id);

// A set-up reply's status and the bytes that follow its head (for a refusal, the first
// `reason_length` of them say why). `head` holds kSetupHeadSize bytes.
struct SetupHead {
    uint8_t status = kSetupFailed;
    std::size_t reason_length = 0;
    std::size_t rest = 0;
};
SetupHead read_setup_head(const uint8_t *head);

// One answer's kind (error, reply, or an event's type), sequence number, error code, and the
// bytes that follow its 32 (replies only). `head` holds kAnswerSize bytes.
struct Answer {
    uint8_t type = kErrorType;
    uint16_t sequence = 0;
    uint8_t error_code = 0;
    std::size_t rest = 0;
};
Answer read_answer(const uint8_t *head);

// From a QueryExtension reply's head: the extension's major opcode, or nothing when absent.
std::optional<uint8_t> extension_opcode(const uint8_t *head);

// From a whole GenerateAuthorization reply (its 32 bytes and what follows): the
// authorization's id and cookie; nothing when the reply is too short for the cookie it names.
struct Granted {
    uint32_t id = 0;
    std::string cookie;
};
std::optional<Granted> read_granted(std::string_view reply);

}  // namespace telvane::consent::xsecurity
