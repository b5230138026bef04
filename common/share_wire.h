#pragma once
// Wire layouts of the ShareExtension protocol: request, reply and event, their opcodes and the
// status and detail codes. Shared by the server and the client; free of Xlib and xcb on purpose.

#include "byte_order.h"
#include "x11_framing.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace telvane::wire {

inline constexpr std::string_view kShareExtensionName = "ShareExtension";

// Every share request is 16 bytes: major, minor, length 4 (in 4-byte units), three words.
inline constexpr size_t kShareRequestBytes = 16;
inline constexpr uint16_t kShareRequestLength = 4;

enum class ShareMinor : uint8_t {
    ShareApplication = 0,
    ShareWindow = 1,
    UnshareWindow = 3,
    SetInputState = 4,
    SetInputDelay = 5,
    Notify = 6,
    AllowInput = 7,
    DisallowInput = 8,
    GetVersion = 9,
    CheckAccess = 10,
    SendFocusNotify = 11,
    DhaClient = 32,
};

// Whether `minor` names a request the extension knows; others are answered with BadRequest.
constexpr bool is_known_minor(uint8_t minor) {
    return minor <= 11 ? minor != 2 : minor == 32;
}

// Whether a request with `minor` is answered with a reply (all others are answered by events).
constexpr bool minor_has_reply(uint8_t minor) {
    return minor == static_cast<uint8_t>(ShareMinor::GetVersion) ||
           minor == static_cast<uint8_t>(ShareMinor::CheckAccess);
}

// Human-readable request name, for traces and logs; "Unknown" for unassigned minors.
constexpr std::string_view minor_name(uint8_t minor) {
    switch (minor) {
    case 0: return "ShareApplication";
    case 1: return "ShareWindow";
    case 3: return "UnshareWindow";
    case 4: return "SetInputState";
    case 5: return "SetInputDelay";
    case 6: return "Notify";
    case 7: return "AllowInput";
    case 8: return "DisallowInput";
    case 9: return "GetVersion";
    case 10: return "CheckAccess";
    case 11: return "SendFocusNotify";
    case 32: return "DHAclient";
    default: return "Unknown";
    }
}

// Status byte of a share event.
enum class ShareStatus : uint8_t {
    ConnectionMade = 0,
    ConnectionFailed = 1,
    ConnectionClosed = 2,
    WindowShared = 3,
    WindowUnshared = 4,
    WindowUnsharable = 5,
    FontMissing = 6,  // not BadFont: Xlib defines that name as a macro
    InputAllowed = 7,
    InputDisallowed = 8,
    PropertyChanged = 9,
    ServerTimeout = 10,
    ColorsUnmatched = 11,  // not BadColor: an Xlib macro too
    IoError = 12,
    BadGcFunction = 13,
    DirectAccessClient = 14,
    ColormapTooSmall = 15,
    NoColormap = 16,
    AlreadySharedLocal = 100,
    OutOfMemory = 101,
    DirectColorReceiver = 102,
};

// `detail` of a ConnectionFailed event: why the receiver could not be reached.
enum class ConnectFailure : uint32_t {
    RefusedByHostAccess = 0,
    NoIpAddress = 1,
    NoRoute = 2,
    NoXServer = 3,
    AuthorizationRejected = 4,
    // Two reasons of our own, beyond the five the extension began with: a receiver met through an
    // encrypted link must never look like one that merely said no or is switched off, so the
    // client gives each its own report (after the others) and its own text.
    ReceiverKeyChanged = 5,  // the receiver shows another key than the one remembered for it
    LinkServiceDown = 6,     // a receiver remembered by its key has no link service answering now
    // The sender's own display could not make room for the connection. Our server never says
    // so, but the client still reads it as a local shortage.
    LocalShortage = 101,
};

// `detail` of a ConnectionMade event: the road the receiver was reached by.
enum class ConnectRoad : uint32_t {
    Encrypted = 0,  // through the receiver's link service
    Plain = 1,      // X11 over TCP: not encrypted
};

// A ConnectionFailed event for ReceiverKeyChanged carries, in bytes the event leaves unused, the
// first bytes of the fingerprint of the key the receiver shows now: the 16 hex digits people
// compare with what the receiver's service prints.
inline constexpr size_t kKeyPrefixOffset = 24;
inline constexpr size_t kKeyPrefixBytes = 8;
using KeyPrefix = std::array<uint8_t, kKeyPrefixBytes>;

// The first kKeyPrefixBytes bytes of a fingerprint given in hex (either case); bytes for which
// `hex` has no two hex digits stay zero. Called by the server for a changed key and by the
// client for the key remembered.
inline KeyPrefix key_prefix(std::string_view hex) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    KeyPrefix out{};
    for (size_t i = 0; i < out.size() && 2 * i + 1 < hex.size(); ++i) {
        const int hi = digit(hex[2 * i]), lo = digit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) break;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return out;
}

// A key prefix as people read fingerprints: 16 lower-case hex digits in four groups,
// "ab12 cd34 ef56 7890". Called by the client's report of a changed key.
inline std::string key_prefix_text(const KeyPrefix &key) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < key.size(); ++i) {
        if (i && i % 2 == 0) out += ' ';
        out += kHex[key[i] >> 4];
        out += kHex[key[i] & 0xf];
    }
    return out;
}

// `detail` of a WindowShared event.
inline constexpr uint32_t kDetailApplicationWindow = 0;
inline constexpr uint32_t kDetailSingleWindow = 1;

// A share request as decoded from its 16 bytes; words are in host order.
struct ShareRequest {
    uint8_t major = 0;
    uint8_t minor = 0;
    uint16_t length = 0;   // in 4-byte units, as on the wire
    uint32_t arg1 = 0;     // offset 4
    uint32_t arg2 = 0;     // offset 8
    uint32_t arg3 = 0;     // offset 12
    std::array<uint8_t, 4> arg3_bytes{};  // offset 12 as raw bytes (CheckAccess's network-order address)
};

// Decodes the first 16 bytes at `p` in `order`. The caller guarantees 16 readable bytes;
// `length` is taken from the header as it is, so a wrong length can be detected afterwards.
inline ShareRequest decode_share_request(const uint8_t *p, ByteOrder order) {
    ShareRequest r;
    r.major = p[0];
    r.minor = p[1];
    r.length = get16(p + 2, order);
    r.arg1 = get32(p + 4, order);
    r.arg2 = get32(p + 8, order);
    r.arg3 = get32(p + 12, order);
    r.arg3_bytes = {p[12], p[13], p[14], p[15]};
    return r;
}

// Encodes a 16-byte share request in `order`; the inverse of decode_share_request.
inline std::array<uint8_t, kShareRequestBytes> encode_share_request(uint8_t major, uint8_t minor,
                                                                     uint32_t a1, uint32_t a2,
                                                                     uint32_t a3, ByteOrder order) {
    std::array<uint8_t, kShareRequestBytes> b{};
    b[0] = major;
    b[1] = minor;
    put16(b.data() + 2, kShareRequestLength, order);
    put32(b.data() + 4, a1, order);
    put32(b.data() + 8, a2, order);
    put32(b.data() + 12, a3, order);
    return b;
}

// A share event in host form.
struct ShareEvent {
    uint8_t code = 0;          // the extension's first event code (bit 7 is never set by the server)
    uint8_t status = 0;
    uint16_t sequence = 0;
    uint32_t window = 0;
    uint32_t host = 0;
    uint32_t tag = 0;
    uint32_t detail = 0;
    KeyPrefix key{};  // ConnectionFailed for ReceiverKeyChanged; zero otherwise
};

// The 32 bytes of `ev` in `order`; unused words are zero.
inline std::array<uint8_t, kPacketBytes> encode_share_event(const ShareEvent &ev, ByteOrder order) {
    std::array<uint8_t, kPacketBytes> b{};
    b[0] = ev.code;
    b[1] = ev.status;
    put16(b.data() + 2, ev.sequence, order);
    put32(b.data() + 4, ev.window, order);
    put32(b.data() + 8, ev.host, order);
    put32(b.data() + 16, ev.tag, order);
    put32(b.data() + 20, ev.detail, order);
    std::copy(ev.key.begin(), ev.key.end(), b.begin() + kKeyPrefixOffset);
    return b;
}

// Decodes a 32-byte share event at `p`; `code` keeps bit 7 (sent by another client) as it was.
inline ShareEvent decode_share_event(const uint8_t *p, ByteOrder order) {
    ShareEvent ev;
    ev.code = p[0];
    ev.status = p[1];
    ev.sequence = get16(p + 2, order);
    ev.window = get32(p + 4, order);
    ev.host = get32(p + 8, order);
    ev.tag = get32(p + 16, order);
    ev.detail = get32(p + 20, order);
    std::copy(p + kKeyPrefixOffset, p + kKeyPrefixOffset + kKeyPrefixBytes, ev.key.begin());
    return ev;
}

// The 32-byte reply to GetVersion or CheckAccess: type 1, no extra length, `result` at offset 8.
inline std::array<uint8_t, kPacketBytes> encode_share_reply(uint16_t sequence, uint32_t result,
                                                             ByteOrder order) {
    std::array<uint8_t, kPacketBytes> b{};
    b[0] = 1;
    put16(b.data() + 2, sequence, order);
    put32(b.data() + 8, result, order);
    return b;
}

// The result word of a share reply at `p` (32 readable bytes).
inline uint32_t decode_share_reply_result(const uint8_t *p, ByteOrder order) {
    return get32(p + 8, order);
}

}  // namespace telvane::wire
