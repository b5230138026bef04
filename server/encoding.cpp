// Choosing how a damaged rectangle travels to a receiver, on the pixels alone.
#include "encoding.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace telvane::server {

uint32_t PixelBlock::pixel(int32_t x, int32_t y) const {
    const uint8_t *p = row(y) + static_cast<size_t>(x) * static_cast<size_t>(bytes_per_pixel);
    uint32_t v = 0;
    for (int i = 0; i < bytes_per_pixel; ++i) {
        const int shift = msb_first ? 8 * (bytes_per_pixel - 1 - i) : 8 * i;
        v |= static_cast<uint32_t>(p[i]) << shift;
    }
    return v;
}

EncodingChoice choose_encoding(const PixelBlock &b) {
    EncodingChoice c;
    if (b.width <= 0 || b.height <= 0) return c;
    const uint32_t first = b.pixel(0, 0);
    std::optional<uint32_t> second;
    for (int32_t y = 0; y < b.height; ++y) {
        for (int32_t x = 0; x < b.width; ++x) {
            const uint32_t p = b.pixel(x, y);
            if (p == first) continue;
            if (!second) {
                second = p;
            } else if (p != *second) {
                return c;   // a third colour: raw
            }
        }
    }
    if (!second) return {Encoding::Solid, first, first};
    return {Encoding::TwoColour, *second, first};
}

std::vector<uint8_t> bitmap_rows(const PixelBlock &b, uint32_t foreground, int scanline_pad, bool msb_first) {
    const size_t pad_bytes = static_cast<size_t>(std::max(scanline_pad, 8) / 8);
    const size_t row = (static_cast<size_t>(b.width) + 7) / 8;
    const size_t stride = (row + pad_bytes - 1) / pad_bytes * pad_bytes;
    std::vector<uint8_t> out(stride * static_cast<size_t>(std::max(b.height, 0)), 0);
    for (int32_t y = 0; y < b.height; ++y) {
        uint8_t *dst = out.data() + static_cast<size_t>(y) * stride;
        for (int32_t x = 0; x < b.width; ++x) {
            if (b.pixel(x, y) != foreground) continue;
            const int bit = x % 8;
            dst[x / 8] |= static_cast<uint8_t>(msb_first ? 0x80 >> bit : 1 << bit);
        }
    }
    return out;
}

namespace {

uint64_t hash_bytes(const uint8_t *p, size_t n, size_t step = 1) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i * step];
        h *= 1099511628211ull;
    }
    return h;
}

// The shift that maps most entries of `now` onto equal entries of `before`; nothing unless at
// least half of them match, or when the best is no shift at all.
std::optional<int32_t> best_shift(const std::vector<uint64_t> &before, const std::vector<uint64_t> &now) {
    const int32_t n = static_cast<int32_t>(now.size());
    if (n < 2 || before.size() != now.size()) return std::nullopt;
    // Where each hash of `before` lies, so that only shifts some row supports are counted.
    std::unordered_map<uint64_t, std::vector<int32_t>> at;
    for (int32_t i = 0; i < n; ++i) at[before[static_cast<size_t>(i)]].push_back(i);
    std::unordered_map<int32_t, int32_t> votes;
    for (int32_t i = 0; i < n; ++i) {
        auto it = at.find(now[static_cast<size_t>(i)]);
        if (it == at.end()) continue;
        // Blank rows match everywhere and say nothing about the shift.
        if (it->second.size() > 8) continue;
        for (int32_t j : it->second) ++votes[j - i];
    }
    int32_t best = 0, best_votes = 0;
    for (auto [shift, count] : votes)
        if (count > best_votes || (count == best_votes && std::abs(shift) < std::abs(best))) {
            best = shift;
            best_votes = count;
        }
    if (best == 0) return std::nullopt;
    // Counted again with every row: the blank ones count where they match too.
    int32_t matching = 0;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t j = i + best;
        if (j >= 0 && j < n && before[static_cast<size_t>(j)] == now[static_cast<size_t>(i)]) ++matching;
    }
    if (matching * 2 < n) return std::nullopt;
    return best;
}

}  // namespace

std::optional<int32_t> vertical_scroll(const PixelBlock &before, const PixelBlock &now) {
    if (before.width != now.width || before.height != now.height) return std::nullopt;
    std::vector<uint64_t> a, b;
    for (int32_t y = 0; y < now.height; ++y) {
        a.push_back(hash_bytes(before.row(y), before.row_length()));
        b.push_back(hash_bytes(now.row(y), now.row_length()));
    }
    return best_shift(a, b);
}

std::optional<int32_t> horizontal_scroll(const PixelBlock &before, const PixelBlock &now) {
    if (before.width != now.width || before.height != now.height) return std::nullopt;
    std::vector<uint64_t> a, b;
    for (int32_t x = 0; x < now.width; ++x) {
        uint64_t ha = 1469598103934665603ull, hb = ha;
        for (int32_t y = 0; y < now.height; ++y) {
            ha = (ha ^ before.pixel(x, y)) * 1099511628211ull;
            hb = (hb ^ now.pixel(x, y)) * 1099511628211ull;
        }
        a.push_back(ha);
        b.push_back(hb);
    }
    return best_shift(a, b);
}

std::vector<Rect> changed_rows(const PixelBlock &before, const PixelBlock &now, int32_t join) {
    std::vector<Rect> out;
    const size_t n = now.row_length();
    for (int32_t y = 0; y < now.height; ++y) {
        if (std::memcmp(before.row(y), now.row(y), n) == 0) continue;
        if (!out.empty() && y - (out.back().y + out.back().height) < join) {
            out.back().height = y - out.back().y + 1;
        } else {
            out.push_back({0, y, now.width, 1});
        }
    }
    return out;
}

}  // namespace telvane::server
