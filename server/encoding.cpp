// Choosing how a damaged rectangle travels to a receiver, on the pixels alone.
#include "encoding.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace telvane::server {

uint32_t PixelBlock::pixel(int32_t x, int32_t y) const {
    const uint8_t *p = row(y) + static_cast<size_t>(x) * static_cast<size_t>(bytes_per_pixel);
    if (bytes_per_pixel == 4 && !msb_first) {   // the common case, read at once
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
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
    const size_t n = b.row_length();
    std::vector<uint8_t> solid_row(n);
    for (int32_t x = 0; x < b.width; ++x) std::memcpy(solid_row.data() + static_cast<size_t>(x) * b.bytes_per_pixel, b.row(0), b.bytes_per_pixel);
    for (int32_t y = 0; y < b.height; ++y) {
        // Rows of the first colour alone, as most of a solid or text area is, at memcmp speed.
        if (std::memcmp(b.row(y), solid_row.data(), n) == 0) continue;
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

uint64_t hash_bytes(const uint8_t *p, size_t n) {
    // Eight bytes at a time: rows are long, and only equality matters.
    uint64_t h = 1469598103934665603ull;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 1099511628211ull;
        h ^= h >> 29;
    }
    for (; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
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
    // Columns are told apart by a few rows spread over the block; a shift they agree on is
    // checked again by the rows that still differ afterwards, which are sent anyway.
    const int32_t step = std::max<int32_t>(1, now.height / 16);
    for (int32_t x = 0; x < now.width; ++x) {
        uint64_t ha = 1469598103934665603ull, hb = ha;
        for (int32_t y = 0; y < now.height; y += step) {
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
    const size_t bpp = static_cast<size_t>(now.bytes_per_pixel);
    int32_t left = 0, right = 0;   // of the run being gathered
    for (int32_t y = 0; y < now.height; ++y) {
        const uint8_t *a = before.row(y), *b = now.row(y);
        if (std::memcmp(a, b, n) == 0) continue;
        // The first and last pixel of the row that differ.
        size_t first = 0, last = n;
        while (first < n && a[first] == b[first]) ++first;
        while (last > first && a[last - 1] == b[last - 1]) --last;
        const int32_t l = static_cast<int32_t>(first / bpp), r = static_cast<int32_t>((last + bpp - 1) / bpp);
        if (!out.empty() && y - (out.back().y + out.back().height) < join) {
            left = std::min(left, l);
            right = std::max(right, r);
            out.back() = {left, out.back().y, right - left, y - out.back().y + 1};
        } else {
            left = l;
            right = r;
            out.push_back({l, y, r - l, 1});
        }
    }
    return out;
}

}  // namespace telvane::server
