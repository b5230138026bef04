#pragma once
// Every read and write of multi-byte X11 wire fields goes through these helpers, so that a
// connection's byte order is decided in exactly one place.

#include <cstddef>
#include <cstdint>

namespace telvane::wire {

// The two byte orders an X11 client may announce in its connection set-up ('B' or 'l').
enum class ByteOrder : uint8_t { Lsb, Msb };

// The set-up byte that announces `order` ('l' = 0x6c for LSB first, 'B' = 0x42 for MSB first).
constexpr uint8_t setup_byte(ByteOrder order) { return order == ByteOrder::Msb ? 0x42 : 0x6c; }

// The byte order named by a set-up's first byte; false when the byte is neither 'B' nor 'l'.
constexpr bool order_from_setup_byte(uint8_t b, ByteOrder &out) {
    if (b == 0x42) { out = ByteOrder::Msb; return true; }
    if (b == 0x6c) { out = ByteOrder::Lsb; return true; }
    return false;
}

// Reads a 16-bit field at `p` in `order`. The caller guarantees two readable bytes.
inline uint16_t get16(const uint8_t *p, ByteOrder order) {
    return order == ByteOrder::Msb ? static_cast<uint16_t>((p[0] << 8) | p[1])
                                   : static_cast<uint16_t>((p[1] << 8) | p[0]);
}

// Reads a 32-bit field at `p` in `order`. The caller guarantees four readable bytes.
inline uint32_t get32(const uint8_t *p, ByteOrder order) {
    if (order == ByteOrder::Msb)
        return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

// Reads a 24-bit value (a packed pixel) at `p` in `order`. The caller guarantees three readable bytes.
inline uint32_t get24(const uint8_t *p, ByteOrder order) {
    if (order == ByteOrder::Msb) return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
    return (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

// Writes a 16-bit field at `p` in `order`. The caller guarantees two writable bytes.
inline void put16(uint8_t *p, uint16_t v, ByteOrder order) {
    if (order == ByteOrder::Msb) { p[0] = static_cast<uint8_t>(v >> 8); p[1] = static_cast<uint8_t>(v); }
    else { p[0] = static_cast<uint8_t>(v); p[1] = static_cast<uint8_t>(v >> 8); }
}

// Writes a 24-bit value (a packed pixel) at `p` in `order`. The caller guarantees three writable bytes.
inline void put24(uint8_t *p, uint32_t v, ByteOrder order) {
    if (order == ByteOrder::Msb) {
        p[0] = static_cast<uint8_t>(v >> 16); p[1] = static_cast<uint8_t>(v >> 8); p[2] = static_cast<uint8_t>(v);
    } else {
        p[0] = static_cast<uint8_t>(v); p[1] = static_cast<uint8_t>(v >> 8); p[2] = static_cast<uint8_t>(v >> 16);
    }
}

// Writes a 32-bit field at `p` in `order`. The caller guarantees four writable bytes.
inline void put32(uint8_t *p, uint32_t v, ByteOrder order) {
    if (order == ByteOrder::Msb) {
        p[0] = static_cast<uint8_t>(v >> 24); p[1] = static_cast<uint8_t>(v >> 16);
        p[2] = static_cast<uint8_t>(v >> 8);  p[3] = static_cast<uint8_t>(v);
    } else {
        p[0] = static_cast<uint8_t>(v);       p[1] = static_cast<uint8_t>(v >> 8);
        p[2] = static_cast<uint8_t>(v >> 16); p[3] = static_cast<uint8_t>(v >> 24);
    }
}

// Bytes of padding that bring `n` up to a multiple of four, as X11 strings and lists need.
constexpr size_t pad4(size_t n) { return (4 - (n & 3)) & 3; }

}  // namespace telvane::wire
