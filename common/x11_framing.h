#pragma once
// How an X11 byte stream is cut into requests and server packets, and how a request that must not
// reach the X server is stood in for, so that both sides keep counting the same sequence numbers.
// telvane-server's proxy frames its clients with it, the receiver's service frames a display
// link's requests, and the sender's end of a link hands xcb whole packets only. Pure byte work.

#include "byte_order.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace telvane::wire {

// Core request opcodes that Telvane's programs look at by name.
enum CoreOp : uint8_t {
    kOpCreateWindow = 1,
    kOpChangeWindowAttributes = 2,
    kOpGetWindowAttributes = 3,
    kOpDestroyWindow = 4,
    kOpMapWindow = 8,
    kOpUnmapWindow = 10,
    kOpConfigureWindow = 12,
    kOpGetGeometry = 14,
    kOpQueryTree = 15,
    kOpInternAtom = 16,
    kOpChangeProperty = 18,
    kOpDeleteProperty = 19,
    kOpGetProperty = 20,
    kOpGrabServer = 36,
    kOpUngrabServer = 37,
    kOpTranslateCoordinates = 40,
    kOpGetInputFocus = 43,
    kOpCreatePixmap = 53,
    kOpFreePixmap = 54,
    kOpCreateGC = 55,
    kOpChangeGC = 56,
    kOpFreeGC = 60,
    kOpCopyArea = 62,
    kOpPolyFillRectangle = 70,
    kOpPutImage = 72,
    kOpQueryExtension = 98,
    kOpListExtensions = 99,
    kOpGetKeyboardMapping = 101,
    kOpNoOperation = 127,
};

// Core error codes.
enum CoreError : uint8_t {
    kBadRequest = 1,
    kBadValue = 2,
    kBadWindow = 3,
    kBadMatch = 8,
    kBadDrawable = 9,
    kBadAccess = 10,
    kBadAlloc = 11,
    kBadLength = 16,
};

// PutImage's format for pixels stored whole, and the visual class whose pixels carry their colour
// in three masks.
inline constexpr uint8_t kImageZPixmap = 2;
inline constexpr uint8_t kVisualTrueColor = 4;

// The first byte of a server packet: 0 an error, 1 a reply, anything else an event.
inline constexpr uint8_t kPacketError = 0;
inline constexpr uint8_t kPacketReply = 1;
// The one event without a sequence number, and the one whose length field counts like a reply's.
inline constexpr uint8_t kKeymapNotify = 11;
inline constexpr uint8_t kGenericEvent = 35;
// Set in an event's code when a client sent it (SendEvent) rather than the X server.
inline constexpr uint8_t kSentEventBit = 0x80;

// Replies, errors and events are 32 bytes; replies and generic events may carry more.
inline constexpr std::size_t kPacketBytes = 32;

// The request that stands in for one kept from the X server: GetInputFocus, four bytes, always
// answered with a 32-byte reply, so the server counts the request and tells us when it got there.
inline std::array<uint8_t, 4> carrier_request(ByteOrder order) {
    std::array<uint8_t, 4> r{kOpGetInputFocus, 0, 0, 0};
    put16(r.data() + 2, 1, order);
    return r;
}

// An error packet as the X server would send it for request `sequence` (major, minor) about
// `bad_value`.
inline std::array<uint8_t, kPacketBytes> error_packet(uint8_t code, uint16_t sequence, uint32_t bad_value,
                                                      uint16_t minor, uint8_t major, ByteOrder order) {
    std::array<uint8_t, kPacketBytes> e{};
    e[0] = kPacketError;
    e[1] = code;
    put16(e.data() + 2, sequence, order);
    put32(e.data() + 4, bad_value, order);
    put16(e.data() + 8, minor, order);
    e[10] = major;
    return e;
}

// The head of one request: its major and minor opcode (the second byte, which core requests
// use for data), how many bytes its header took (4, or 8 with a BIG-REQUESTS length) and its
// whole size in bytes.
struct RequestHead {
    uint8_t major = 0, minor = 0;
    std::size_t header = 4;
    std::size_t total = 0;
};

enum class HeadRead { NeedMore, Ready, Broken };

// Reads the head of the request at the start of `p` (`n` bytes there). Broken for a zero length
// without BIG-REQUESTS enabled (`big`), and for a BIG-REQUESTS length below two units.
inline HeadRead read_request_head(const uint8_t *p, std::size_t n, ByteOrder order, bool big, RequestHead &out) {
    if (n < 4) return HeadRead::NeedMore;
    out.major = p[0];
    out.minor = p[1];
    uint64_t units = get16(p + 2, order);
    out.header = 4;
    if (units == 0) {
        if (!big) return HeadRead::Broken;
        if (n < 8) return HeadRead::NeedMore;
        units = get32(p + 4, order);
        out.header = 8;
        if (units < 2) return HeadRead::Broken;
    }
    out.total = static_cast<std::size_t>(units) * 4;
    return HeadRead::Ready;
}

// The size of the server packet whose first 32 bytes are at `head`: replies and generic events
// carry their extra length in 4-byte units at offset 4. Read as xcb and Xlib read it: a reply's
// first byte is exactly 1 (with the top bit set it is a sent event of 32 bytes), while a generic
// event may carry the sent bit.
inline std::size_t packet_size(const uint8_t *head, ByteOrder order) {
    if (head[0] != kPacketReply && (head[0] & 0x7f) != kGenericEvent) return kPacketBytes;
    return kPacketBytes + 4 * std::size_t{get32(head + 4, order)};
}

// The size of the set-up reply whose first 8 bytes are at `head`.
inline std::size_t setup_reply_size(const uint8_t *head, ByteOrder order) {
    return 8 + 4 * std::size_t{get16(head + 6, order)};
}

// The full sequence number behind the 16 bits `low` of a server packet, given the last request
// sent (`sent`) and the last sequence number seen (`seen`): the latest request with those low
// bits. Clients never let more than 65535 requests go unanswered (Xlib and xcb insert a round
// trip first), so this is exact even across long stretches without replies.
inline uint64_t full_sequence(uint16_t low, uint64_t sent, uint64_t seen) {
    uint64_t seq = (sent & ~uint64_t{0xffff}) | low;
    if (seq > sent) seq = seq >= 0x10000 ? seq - 0x10000 : low;
    return seq > seen ? seq : seen;
}

}  // namespace telvane::wire
