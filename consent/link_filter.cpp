// Judges each request of a display link against what a sender's mirrors need.
#include "link_filter.h"

#include "link_protocol.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string_view>
#include <utility>

namespace telvane::consent {

using namespace wire;

namespace {

// Where a request names a resource, and which it may name.
enum class Slot : std::uint8_t {
    New,         // one it makes: within the link's own ids
    Own,         // one the link made
    OwnOrRoot,   // or the root window of a screen
    Tree,        // or a window found above one the link made (a window manager's frame)
};

struct IdAt {
    std::uint8_t offset;
    Slot slot;
};

// One kind of request a link may send. `need` is how much of it is looked at: its fixed part,
// or 0 for all of it (requests with value lists or names, which are small).
struct Row {
    std::uint8_t major;
    std::uint16_t need;
    std::uint16_t least;   // the shortest such request the display would take
    std::array<IdAt, 3> ids;
    std::uint8_t count;
};

// What telvane-server sends a receiver, and nothing more: creating, changing and removing its
// mirror windows, their properties and pictures, the atoms it names, the window manager's frames
// around its mirrors (for their stacking), the keyboard's map (for receivers' keys), and a
// request now and then that shows the receiver is still there.
constexpr Row kRows[] = {
    {kOpCreateWindow, 0, 32, {{{4, Slot::New}, {8, Slot::OwnOrRoot}}}, 2},
    {kOpChangeWindowAttributes, 0, 12, {{{4, Slot::Own}}}, 1},
    {kOpDestroyWindow, 8, 8, {{{4, Slot::Own}}}, 1},
    {kOpMapWindow, 8, 8, {{{4, Slot::Own}}}, 1},
    {kOpUnmapWindow, 8, 8, {{{4, Slot::Own}}}, 1},
    {kOpConfigureWindow, 0, 12, {{{4, Slot::Own}}}, 1},
    {kOpQueryTree, 8, 8, {{{4, Slot::Tree}}}, 1},
    {kOpInternAtom, 0, 8, {}, 0},
    {kOpChangeProperty, 24, 24, {{{4, Slot::Own}}}, 1},
    {kOpDeleteProperty, 12, 12, {{{4, Slot::Own}}}, 1},
    {kOpGetProperty, 24, 24, {}, 0},   // its own window, or the root for one atom: judged below
    {kOpTranslateCoordinates, 16, 16, {{{4, Slot::Own}, {8, Slot::OwnOrRoot}}}, 2},
    {kOpGetInputFocus, 4, 4, {}, 0},
    {kOpCreatePixmap, 16, 16, {{{4, Slot::New}, {8, Slot::OwnOrRoot}}}, 2},
    {kOpFreePixmap, 8, 8, {{{4, Slot::Own}}}, 1},
    {kOpCreateGC, 0, 16, {{{4, Slot::New}, {8, Slot::OwnOrRoot}}}, 2},
    {kOpChangeGC, 0, 12, {{{4, Slot::Own}}}, 1},
    {kOpFreeGC, 8, 8, {{{4, Slot::Own}}}, 1},
    {kOpCopyArea, 28, 28, {{{4, Slot::Own}, {8, Slot::Own}, {12, Slot::Own}}}, 3},
    {kOpPolyFillRectangle, 12, 12, {{{4, Slot::Own}, {8, Slot::Own}}}, 2},
    {kOpPutImage, 24, 24, {{{4, Slot::Own}, {8, Slot::Own}}}, 2},
    {kOpQueryExtension, 0, 8, {}, 0},
    {kOpGetKeyboardMapping, 8, 8, {}, 0},
    {kOpNoOperation, 4, 4, {}, 0},
};

const Row *row_of(std::uint8_t major) {
    for (const Row &r : kRows)
        if (r.major == major) return &r;
    return nullptr;
}

// The extensions a link may use, both harmless (the SECURITY extension grants them even to
// untrusted clients): longer requests for large pictures, and more ids when the first run out.
constexpr std::string_view kBigRequests = "BIG-REQUESTS";
constexpr std::string_view kXcMisc = "XC-MISC";
constexpr std::uint8_t kBigRequestsEnable = 0;
constexpr std::uint8_t kXcMiscLastMinor = 2;   // GetVersion, GetXIDRange, GetXIDList

// The longest request read whole: a name of 65535 bytes behind an 8-byte head, with room over.
constexpr std::size_t kMaxWhole = (64u << 10) + 16;
// Requests sent before the display answered the set-up, and replies awaited: a sender that
// needs more is not a sender of mirrors.
constexpr std::size_t kMaxEarly = 1u << 20;
constexpr std::size_t kMaxWatched = 1u << 16;
// Frames learned above the link's windows, and identity atoms learned: a sender has a few.
constexpr std::size_t kMaxLearned = 256;
// A decoded picture goes to the display this many bytes of rows at a time (a row at least), so
// that the relay's queue holds a slice of it, not the whole.
constexpr std::size_t kDrawSlice = 64u << 10;
constexpr std::uint8_t kPutPicture = static_cast<std::uint8_t>(PictureMinor::PutPicture);
constexpr std::uint8_t kQueryCodecs = static_cast<std::uint8_t>(PictureMinor::QueryCodecs);

std::size_t pad4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// Value-list bits that carry ids, and what else they may hold besides one of the link's own: a
// window's background and border pixmaps, colormap and cursor; a graphics context's tile,
// stipple, font and clip mask; the sibling a window is stacked against.
using IdBit = LinkFilter::IdBit;
constexpr std::uint32_t kParentRelative = 1;
constexpr IdBit kWindowIds[] = {{0, IdBit::AlsoParentRelative}, {2}, {13, IdBit::AlsoDefaultColormap}, {14}};
constexpr IdBit kGcIds[] = {{10}, {11}, {14}, {19}};
constexpr int kCfgWidth = 2, kCfgHeight = 3;
constexpr IdBit kConfigureIds[] = {{5}};

// Core request names, for the log of what a link was refused.
constexpr std::array<std::string_view, 128> kCoreNames = {
    "", "CreateWindow", "ChangeWindowAttributes", "GetWindowAttributes", "DestroyWindow", "DestroySubwindows",
    "ChangeSaveSet", "ReparentWindow", "MapWindow", "MapSubwindows", "UnmapWindow", "UnmapSubwindows",
    "ConfigureWindow", "CirculateWindow", "GetGeometry", "QueryTree", "InternAtom", "GetAtomName",
    "ChangeProperty", "DeleteProperty", "GetProperty", "ListProperties", "SetSelectionOwner",
    "GetSelectionOwner", "ConvertSelection", "SendEvent", "GrabPointer", "UngrabPointer", "GrabButton",
    "UngrabButton", "ChangeActivePointerGrab", "GrabKeyboard", "UngrabKeyboard", "GrabKey", "UngrabKey",
    "AllowEvents", "GrabServer", "UngrabServer", "QueryPointer", "GetMotionEvents", "TranslateCoordinates",
    "WarpPointer", "SetInputFocus", "GetInputFocus", "QueryKeymap", "OpenFont", "CloseFont", "QueryFont",
    "QueryTextExtents", "ListFonts", "ListFontsWithInfo", "SetFontPath", "GetFontPath", "CreatePixmap",
    "FreePixmap", "CreateGC", "ChangeGC", "CopyGC", "SetDashes", "SetClipRectangles", "FreeGC", "ClearArea",
    "CopyArea", "CopyPlane", "PolyPoint", "PolyLine", "PolySegment", "PolyRectangle", "PolyArc", "FillPoly",
    "PolyFillRectangle", "PolyFillArc", "PutImage", "GetImage", "PolyText8", "PolyText16", "ImageText8",
    "ImageText16", "CreateColormap", "FreeColormap", "CopyColormapAndFree", "InstallColormap",
    "UninstallColormap", "ListInstalledColormaps", "AllocColor", "AllocNamedColor", "AllocColorCells",
    "AllocColorPlanes", "FreeColors", "StoreColors", "StoreNamedColor", "QueryColors", "LookupColor",
    "CreateCursor", "CreateGlyphCursor", "FreeCursor", "RecolorCursor", "QueryBestSize", "QueryExtension",
    "ListExtensions", "ChangeKeyboardMapping", "GetKeyboardMapping", "ChangeKeyboardControl",
    "GetKeyboardControl", "Bell", "ChangePointerControl", "GetPointerControl", "SetScreenSaver",
    "GetScreenSaver", "ChangeHosts", "ListHosts", "SetAccessControl", "SetCloseDownMode", "KillClient",
    "RotateProperties", "ForceScreenSaver", "SetPointerMapping", "GetPointerMapping", "SetModifierMapping",
    "GetModifierMapping", "", "", "", "", "", "", "", "NoOperation"};

std::string request_name(std::uint8_t major, std::uint8_t minor) {
    if (major < kCoreNames.size() && !kCoreNames[major].empty()) return std::string(kCoreNames[major]);
    if (major >= 128) return "extension request " + std::to_string(major) + "." + std::to_string(minor);
    return "request " + std::to_string(major);
}

}  // namespace

std::string refusals_text(const FilterCounts &counts) {
    if (counts.refused == 0) return {};
    std::string text = "; " + std::to_string(counts.refused) + (counts.refused == 1 ? " request" : " requests") + " refused:";
    for (std::size_t i = 0; i < counts.refused_names.size(); ++i) text += (i ? ", " : " ") + counts.refused_names[i];
    return text;
}

LinkFilter::LinkFilter(tlslink::SetupAuth auth, LinkLimits limits) : auth_(std::move(auth)), limits_(limits) {}

std::uint32_t LinkFilter::word(std::size_t at) const {
    // A BIG-REQUESTS length stands after the first word and moves the rest along by four.
    return get32(req_.data() + at + (at >= 4 ? head_.header - 4 : 0), order_);
}

std::uint16_t LinkFilter::half(std::size_t at) const {
    return get16(req_.data() + at + (at >= 4 ? head_.header - 4 : 0), order_);
}

bool LinkFilter::from_link(tlslink::ByteQueue &in, tlslink::ByteQueue &out, std::string &why) {
    if (!drawing_ && phase_ == Phase::Requests && !early_.empty()) {
        const std::vector<std::uint8_t> early = std::exchange(early_, {});
        if (!take(early.data(), early.size(), out, why)) return false;
    }
    if (!take(reinterpret_cast<const std::uint8_t *>(in.data()), in.size(), out, why)) return false;
    draw(out);
    return true;
}

bool LinkFilter::take(const std::uint8_t *data, std::size_t n, tlslink::ByteQueue &out, std::string &why) {
    while (n > 0) {
        if (phase_ == Phase::SetupAnswer || drawing_) {
            // The display's ids and roots are not known yet, and a sender of mirrors waits for
            // them; or a picture is still on its way, and what follows it must wait its turn.
            if (early_.size() + n > kMaxEarly) {
                why = drawing_ ? "the sender sent too much behind a picture"
                               : "the sender sent too much before the display answered its set-up";
                return false;
            }
            early_.insert(early_.end(), data, data + n);
            return true;
        }
        if (pass_ > 0) {
            const std::size_t k = std::min(n, pass_);
            out.append(std::string_view(reinterpret_cast<const char *>(data), k));
            pass_ -= k, data += k, n -= k;
            continue;
        }
        if (drop_ > 0) {
            const std::size_t k = std::min(n, drop_);
            drop_ -= k, data += k, n -= k;
            continue;
        }
        // Gathers what the current step needs: the head, then the part to be judged.
        std::size_t target = want_;
        if (phase_ == Phase::Setup) {
            const std::size_t len = tlslink::setup_request_length(
                std::string_view(reinterpret_cast<const char *>(req_.data()), req_.size()));
            if (len == tlslink::kNotSetup) {
                why = "the link does not start with an X set-up";
                return false;
            }
            target = len ? len : 12;
        } else if (target == 0) {
            target = req_.size() < 4 || get16(req_.data() + 2, order_) != 0 ? 4 : 8;
        }
        if (req_.size() < target) {
            const std::size_t k = std::min(n, target - req_.size());
            req_.insert(req_.end(), data, data + k);
            data += k, n -= k;
            if (req_.size() < target) return true;
        }
        if (phase_ == Phase::Setup) {
            if (!setup_request(out, why)) return false;
            continue;
        }
        if (!judge(out, why)) return false;
    }
    return true;
}

bool LinkFilter::setup_request(tlslink::ByteQueue &out, std::string &why) {
    const std::string_view request(reinterpret_cast<const char *>(req_.data()), req_.size());
    const std::size_t len = tlslink::setup_request_length(request);
    if (len == 0 || req_.size() < len) return true;
    if (!order_from_setup_byte(req_[0], order_)) {
        why = "the link does not start with an X set-up";
        return false;
    }
    out.append(tlslink::replace_setup_auth(request, auth_.name, auth_.data));
    req_.clear();
    phase_ = Phase::SetupAnswer;
    return true;
}

// With the request's head read: gathers what its row looks at, then passes it, or stands a
// carrier in for it. Leaves req_ empty once the request is decided.
bool LinkFilter::judge(tlslink::ByteQueue &out, std::string &why) {
    if (want_ == 0) {
        const HeadRead head = read_request_head(req_.data(), req_.size(), order_, big_, head_);
        if (head == HeadRead::NeedMore) return true;   // a 32-bit length follows
        if (head == HeadRead::Broken) {
            why = "the sender's request stream cannot be read";
            return false;
        }
        const std::size_t shift = head_.header - 4;
        const Row *row = row_of(head_.major);
        std::size_t need = head_.header;
        if (row) need = row->need ? std::min<std::size_t>(row->need + shift, head_.total) : head_.total;
        if (row && (head_.total < row->least + shift || (!row->need && head_.total > kMaxWhole))) {
            refuse(kBadLength, 0, out);
            return true;
        }
        if (head_.major == kPictureMajor && pictures_ && head_.minor == kPutPicture) {
            // A picture is judged whole: its encoded bytes are what is drawn.
            if (head_.total < kPictureHeadBytes + shift || head_.total > kPictureHeadBytes + kMaxPictureBytes + 3 + shift) {
                refuse(kBadLength, 0, out);
                return true;
            }
            need = head_.total;
        }
        want_ = std::max(need, head_.header);
        if (req_.size() < want_) return true;
    }
    std::uint32_t bad = 0;
    std::optional<Watch> answer;
    const std::uint8_t error = check(bad, answer);
    if ((error || answer) && watched_.size() >= kMaxWatched) {
        // Refusals the sender never reads the answers of: a sender of mirrors reads them.
        why = "the sender sent too many refused requests without reading their answers";
        return false;
    }
    if (error) {
        refuse(error, bad, out);
    } else if (answer) {
        ++counts_.passed;
        stand_in({sent_ + 1, *answer}, out);
    } else if (drawing_) {
        ++sent_;
        ++counts_.passed;
        req_.clear();
        want_ = 0;
    } else {
        forward(out);
    }
    // A picture's encoded bytes are not kept once it is decided.
    if (req_.capacity() > kMaxWhole) req_.shrink_to_fit();
    return true;
}

// The next slice of the picture being drawn: the PutImage's fields first, then rows converted
// into the display's pixels as they go, then the padding; drawing_ goes when all is out.
void LinkFilter::draw(tlslink::ByteQueue &out) {
    if (!drawing_) return;
    Drawing &d = *drawing_;
    if (!d.head.empty()) {
        out.append(std::string_view(reinterpret_cast<const char *>(d.head.data()), d.head.size()));
        d.head = {};
    }
    for (std::size_t sent = 0; d.row < d.height && sent < kDrawSlice; ++d.row, sent += d.stride) {
        auto *row = reinterpret_cast<std::uint8_t *>(out.room(d.stride));
        const std::size_t bytes = std::size_t{d.width} * d.layout.bytes;
        write_pixels(d.layout, d.rgb.data() + std::size_t{d.row} * d.width * 3, d.width, row);
        std::fill(row + bytes, row + d.stride, 0);
        out.commit(d.stride);
    }
    if (d.row < d.height) return;
    out.append(std::string(d.tail, '\0'));
    drawing_.reset();
}

void LinkFilter::forward(tlslink::ByteQueue &out) {
    ++sent_;
    ++counts_.passed;
    out.append(std::string_view(reinterpret_cast<const char *>(req_.data()), req_.size()));
    pass_ = head_.total - req_.size();
    req_.clear();
    want_ = 0;
}

void LinkFilter::refuse(std::uint8_t error, std::uint32_t value, tlslink::ByteQueue &out) {
    ++counts_.refused;
    const std::string name = request_name(head_.major, head_.minor);
    if (std::find(counts_.refused_names.begin(), counts_.refused_names.end(), name) == counts_.refused_names.end())
        counts_.refused_names.push_back(name);
    Watched w{sent_ + 1, Watch::Refused};
    w.error = error;
    w.major = head_.major;
    w.minor = head_.major >= 128 ? head_.minor : 0;
    w.value = value;
    stand_in(std::move(w), out);
}

// The carrier goes to the display in the request's place; its reply becomes what `w` says.
void LinkFilter::stand_in(Watched w, tlslink::ByteQueue &out) {
    ++sent_;
    const auto carrier = carrier_request(order_);
    out.append(std::string_view(reinterpret_cast<const char *>(carrier.data()), carrier.size()));
    watched_.push_back(std::move(w));
    drop_ = head_.total - std::min(head_.total, req_.size());
    req_.clear();
    want_ = 0;
}

std::uint8_t LinkFilter::check_values(std::size_t mask_at, std::size_t mask_bytes, std::size_t values_at,
                                      std::span<const IdBit> ids, std::uint32_t &bad) const {
    const std::uint32_t mask = mask_bytes == 2 ? half(mask_at) : word(mask_at);
    const std::size_t count = static_cast<std::size_t>(std::popcount(mask));
    if (values_at + 4 * count + (head_.header - 4) > req_.size()) return kBadLength;
    std::size_t i = 0;
    for (int bit = 0; bit < 32; ++bit) {
        if (!(mask & (1u << bit))) continue;
        const std::uint32_t v = word(values_at + 4 * i++);
        const auto id = std::find_if(ids.begin(), ids.end(), [&](const IdBit &b) { return b.bit == bit; });
        if (id == ids.end()) continue;
        // The value may be none (0), one of the link's own, or what the bit also allows.
        const bool also = (id->also == IdBit::AlsoParentRelative && v == kParentRelative) ||
                          (id->also == IdBit::AlsoDefaultColormap && colormaps_.count(v));
        if (v != 0 && !own(v) && !also) {
            bad = v;
            return kBadAccess;
        }
    }
    return 0;
}

std::uint8_t LinkFilter::check_configure(std::uint32_t &bad) {
    if (std::uint8_t e = check_values(8, 2, 12, kConfigureIds, bad)) return e;
    auto it = windows_.find(word(4));
    const std::uint16_t mask = half(8);
    if (it == windows_.end() || !(mask & ((1u << kCfgWidth) | (1u << kCfgHeight)))) return 0;
    // A new size counts against the pixels the link may hold; a side not named keeps its length.
    Window &w = it->second;
    std::uint32_t width = w.width, height = w.height;
    std::size_t i = 0;
    for (int bit = 0; bit < 7; ++bit) {
        if (!(mask & (1u << bit))) continue;
        const std::uint32_t value = word(12 + 4 * i++);
        if (bit == kCfgWidth) width = value & 0xffff;
        if (bit == kCfgHeight) height = value & 0xffff;
    }
    const std::uint64_t old = std::uint64_t{w.width} * w.height, now = std::uint64_t{width} * height;
    if (pixels_ - old + now > limits_.pixels) return kBadAlloc;
    pixels_ = pixels_ - old + now;
    w.width = width;
    w.height = height;
    return 0;
}

std::uint8_t LinkFilter::admit_window() {
    const std::uint32_t id = word(4);
    const std::uint64_t pixels = std::uint64_t{half(16)} * half(18);   // its width and height
    if (windows_.count(id)) return 0;   // the display says BadIDChoice
    if (windows_.size() >= limits_.windows || pixels_ + pixels > limits_.pixels) return kBadAlloc;
    // Depth and visual 0 are the parent's.
    Looks looks{head_.minor, word(24)};
    if (const auto parent = looks_of(word(8))) {
        if (!looks.depth) looks.depth = parent->depth;
        if (!looks.visual) looks.visual = parent->visual;
    }
    windows_[id] = {word(8), half(16), half(18), looks};
    pixels_ += pixels;
    return 0;
}

std::uint8_t LinkFilter::admit_pixmap() {
    const std::uint32_t id = word(4);
    const std::uint64_t pixels = std::uint64_t{half(12)} * half(14);
    if (pixmaps_.count(id)) return 0;
    if (pixmaps_.size() >= limits_.pixmaps || pixels_ + pixels > limits_.pixels) return kBadAlloc;
    pixmaps_[id] = {pixels, head_.minor};
    pixels_ += pixels;
    return 0;
}

std::uint8_t LinkFilter::admit_gc() {
    if (gcs_.count(word(4))) return 0;
    if (gcs_.size() >= limits_.gcs) return kBadAlloc;
    gcs_.insert(word(4));
    return 0;
}

void LinkFilter::forget_window(std::uint32_t id) {
    // Its windows inside go with it.
    std::vector<std::uint32_t> gone{id};
    for (std::size_t i = 0; i < gone.size(); ++i) {
        auto it = windows_.find(gone[i]);
        if (it == windows_.end()) continue;
        pixels_ -= std::uint64_t{it->second.width} * it->second.height;
        windows_.erase(it);
        for (const auto &[child, w] : windows_)
            if (w.parent == gone[i]) gone.push_back(child);
    }
}

// The error a request gets instead of passing, 0 when it passes. Records what passing makes.
// `answer` is set for a request the filter answers itself.
std::uint8_t LinkFilter::check(std::uint32_t &bad, std::optional<Watch> &answer) {
    const std::uint8_t major = head_.major;
    if (major >= 128) {
        if (major == big_major_ && head_.minor == kBigRequestsEnable) {
            if (watched_.size() >= kMaxWatched) return kBadAlloc;
            big_ = true;
            watched_.push_back({sent_ + 1, Watch::BigLength});
            return 0;
        }
        if (major == xc_misc_major_ && head_.minor <= kXcMiscLastMinor) return 0;
        if (major == kPictureMajor && pictures_) return check_picture(bad, answer);
        return kBadRequest;   // an extension the link was told is absent
    }
    const Row *row = row_of(major);
    if (!row) return kBadAccess;
    for (std::size_t i = 0; i < row->count; ++i) {
        const IdAt at = row->ids[i];
        const std::uint32_t id = word(at.offset);
        bool ok = own(id);
        if (at.slot == Slot::OwnOrRoot || at.slot == Slot::Tree) ok = ok || is_root(id);
        if (at.slot == Slot::Tree) ok = ok || frames_.count(id);
        if (!ok) {
            bad = id;
            return kBadAccess;
        }
    }
    switch (major) {
    case kOpCreateWindow:
        if (std::uint8_t e = check_values(28, 4, 32, kWindowIds, bad)) return e;
        return admit_window();
    case kOpChangeWindowAttributes: return check_values(8, 4, 12, kWindowIds, bad);
    case kOpConfigureWindow: return check_configure(bad);
    case kOpDestroyWindow: forget_window(word(4)); return 0;
    case kOpCreatePixmap: return admit_pixmap();
    case kOpFreePixmap:
        if (auto it = pixmaps_.find(word(4)); it != pixmaps_.end()) {
            pixels_ -= it->second.pixels;
            pixmaps_.erase(it);
        }
        return 0;
    case kOpCreateGC:
        if (std::uint8_t e = check_values(12, 4, 16, kGcIds, bad)) return e;
        return admit_gc();
    case kOpChangeGC: return check_values(8, 4, 12, kGcIds, bad);
    case kOpFreeGC: gcs_.erase(word(4)); return 0;
    case kOpGetProperty: {
        // Its own windows' properties; of the root only the one that tells whether this display
        // is the sender's own, and without deleting it.
        const std::uint32_t window = word(4);
        if (own(window)) return 0;
        if (is_root(window) && head_.minor == 0 && identity_atoms_.count(word(8))) return 0;
        bad = window;
        return kBadAccess;
    }
    case kOpQueryTree: {
            if (watched_.size() >= kMaxWatched) return kBadAlloc;
        Watched w{sent_ + 1, Watch::Tree};
        w.value = word(4);
        watched_.push_back(std::move(w));
        return 0;
    }
    case kOpInternAtom: {
        const std::size_t len = half(4);
        if (8 + len + (head_.header - 4) > req_.size()) return kBadLength;
        const std::string_view name(reinterpret_cast<const char *>(req_.data()) + 8 + (head_.header - 4), len);
        if (name.substr(0, tlslink::kServerIdentityPrefix.size()) == tlslink::kServerIdentityPrefix) {
            if (watched_.size() >= kMaxWatched) return kBadAlloc;
            watched_.push_back({sent_ + 1, Watch::Atom});
        }
        return 0;
    }
    case kOpQueryExtension: {
        // The question goes to the display; its answer is "absent" for all but the two the
        // link may use.
        const std::size_t len = half(4);
        if (8 + len + (head_.header - 4) > req_.size()) return kBadLength;
        const std::string_view name(reinterpret_cast<const char *>(req_.data()) + 8 + (head_.header - 4), len);
        if (name == kPictureExtensionName) {
            answer = Watch::Pictures;   // the link's own: the display never hears of it
            return 0;
        }
        if (watched_.size() >= kMaxWatched) return kBadAlloc;
        Watched w{sent_ + 1, name == kBigRequests || name == kXcMisc ? Watch::Extension : Watch::Absent};
        w.name = std::string(name);
        watched_.push_back(std::move(w));
        return 0;
    }
    default: return 0;
    }
}

// A picture request of a link that was told of them: QueryCodecs is answered by the filter
// itself; PutPicture is checked as PutImage is, then decoded into drawing_, which draw() sends on
// as one PutImage of the drawable's depth in the request's place.
std::uint8_t LinkFilter::check_picture(std::uint32_t &bad, std::optional<Watch> &answer) {
    if (head_.minor == kQueryCodecs) {
        answer = Watch::Codecs;
        return 0;
    }
    if (head_.minor != kPutPicture) return kBadRequest;
    const std::size_t shift = head_.header - 4;
    const std::uint32_t drawable = word(4), gc = word(8), length = word(24);
    const std::uint16_t width = half(16), height = half(18);
    const std::uint8_t codec = req_[20 + shift];
    for (const std::uint32_t id : {drawable, gc}) {
        if (own(id)) continue;
        bad = id;
        return kBadAccess;
    }
    if (length > kMaxPictureBytes || head_.total != shift + pad4(kPictureHeadBytes + length)) return kBadLength;
    const std::uint32_t pixels = std::uint32_t{width} * height;
    if (pixels == 0 || pixels > kMaxPicturePixels) {
        bad = pixels;
        return kBadValue;
    }
    if (codec >= 32 || !(decodable_codecs() & codec_bit(PictureCodec{codec}))) {
        bad = codec;
        return kBadValue;
    }
    const std::optional<Looks> looks = looks_of(drawable);
    if (!looks) {
        bad = drawable;
        return kBadDrawable;
    }
    std::optional<PixelLayout> layout = layout_of(*looks);
    if (!layout) {
        bad = drawable;
        return kBadMatch;
    }
    // One PutImage, in the display's own length when it fits, else in a BIG-REQUESTS length;
    // never split, since one request in must be one out.
    const Format format = formats_.at(looks->depth);
    const std::size_t pad = format.scanline_pad / 8;
    const std::size_t stride = (std::size_t{width} * layout->bytes + pad - 1) / pad * pad;
    const std::size_t data = stride * height, units = pad4(24 + data) / 4;
    const bool long_form = units > max_units_;
    if (long_form && (!big_ || units + 1 > big_max_units_)) return kBadLength;
    DecodedPicture picture = decode_picture(PictureCodec{codec}, {req_.data() + kPictureHeadBytes + shift, length},
                                            width, height);
    if (picture.status != DecodeStatus::Ok) {
        bad = codec;
        return kBadValue;
    }
    auto d = std::make_unique<Drawing>();
    d->head.assign(long_form ? 28 : 24, 0);
    std::uint8_t *h = d->head.data();
    h[0] = kOpPutImage;
    h[1] = kImageZPixmap;
    std::size_t at = 4;
    if (long_form) put32(h + 4, static_cast<std::uint32_t>(units + 1), order_), at = 8;
    else put16(h + 2, static_cast<std::uint16_t>(units), order_);
    put32(h + at, drawable, order_);
    put32(h + at + 4, gc, order_);
    put16(h + at + 8, width, order_);
    put16(h + at + 10, height, order_);
    put16(h + at + 12, half(12), order_);   // x, y
    put16(h + at + 14, half(14), order_);
    h[at + 17] = looks->depth;                // after a left pad of 0
    d->rgb = std::move(picture.rgb);
    d->width = width;
    d->height = height;
    d->stride = stride;
    d->tail = pad4(24 + data) - 24 - data;
    d->layout = *layout;
    drawing_ = std::move(d);
    return 0;
}

// The depth and visual of a root, a window or a pixmap of the link's; nothing for any other.
std::optional<LinkFilter::Looks> LinkFilter::looks_of(std::uint32_t drawable) const {
    if (auto w = windows_.find(drawable); w != windows_.end()) return w->second.looks;
    if (auto p = pixmaps_.find(drawable); p != pixmaps_.end()) return Looks{p->second.depth, 0};
    if (auto r = root_looks_.find(drawable); r != root_looks_.end()) return r->second;
    return std::nullopt;
}

// How a picture's pixels are stored on a drawable that `looks` so: TrueColor of 24 or 32 bits
// (a pixmap takes the first TrueColor visual of its depth); nothing for anything else.
std::optional<PixelLayout> LinkFilter::layout_of(Looks looks) const {
    const auto format = formats_.find(looks.depth);
    if ((looks.depth != 24 && looks.depth != 32) || format == formats_.end()) return std::nullopt;
    if (format->second.bits_per_pixel != 24 && format->second.bits_per_pixel != 32) return std::nullopt;
    if (format->second.scanline_pad < 8 || format->second.scanline_pad % 8) return std::nullopt;
    const Visual *visual = nullptr;
    if (auto v = visuals_.find(looks.visual); v != visuals_.end()) visual = &v->second;
    for (const auto &[id, v] : visuals_)
        if (!visual && looks.visual == 0 && v.depth == looks.depth && v.visual_class == kVisualTrueColor) visual = &v;
    if (!visual || visual->visual_class != kVisualTrueColor || visual->depth != looks.depth) return std::nullopt;
    return pixel_layout(visual->red, visual->green, visual->blue, looks.depth, format->second.bits_per_pixel,
                        image_order_);
}

std::optional<std::size_t> LinkFilter::from_plain(char *bytes, std::size_t n, std::string &why) {
    auto *p = reinterpret_cast<std::uint8_t *>(bytes);
    std::size_t pos = 0;
    while (!answered_) {
        // The set-up answer passes as it is; the filter reads the link's ids and the roots in it.
        const std::size_t have = setup_answer_.size();
        const std::size_t size = have < 8 ? 8 : setup_reply_size(setup_answer_.data(), order_);
        if (have >= 8 && have == size) {
            answered_ = true;
            if (!setup_answer(setup_answer_.data(), setup_answer_.size())) {
                why = "the display's answer to the set-up cannot be read";
                return std::nullopt;
            }
            setup_answer_ = {};
            break;
        }
        if (pos == n) return pos;
        const std::size_t k = std::min(n - pos, size - have);
        setup_answer_.insert(setup_answer_.end(), p + pos, p + pos + k);
        pos += k;
    }
    while (pos < n) {
        if (skip_) {
            const std::size_t k = std::min(skip_, n - pos);
            skip_ -= k, pos += k;
            continue;
        }
        if (n - pos < kPacketBytes) break;
        std::uint8_t *packet = p + pos;
        const std::uint8_t type = packet[0] & 0x7f;
        const std::size_t size = packet_size(packet, order_);
        if (type != kKeymapNotify) seen_ = full_sequence(get16(packet + 2, order_), sent_, seen_);
        if (type == kPacketReply || type == kPacketError) {
            while (!watched_.empty() && watched_.front().sequence < seen_) watched_.pop_front();
            if (!watched_.empty() && watched_.front().sequence == seen_) {
                const Watched w = std::move(watched_.front());
                watched_.pop_front();
                if (type == kPacketReply) rewrite(packet, w);
            }
        }
        const std::size_t k = std::min(size, n - pos);
        pos += k;
        skip_ = size - k;
    }
    return pos;
}

bool LinkFilter::setup_answer(const std::uint8_t *p, std::size_t n) {
    // Refused or asking for more: the display closes the connection, and nothing is judged.
    if (p[0] != 1) return true;
    if (n < 40) return false;
    id_base_ = get32(p + 12, order_);
    id_mask_ = get32(p + 16, order_);
    if (id_mask_ == 0 || (id_base_ & id_mask_) != 0) return false;
    max_units_ = get16(p + 26, order_);
    image_order_ = p[30] ? ByteOrder::Msb : ByteOrder::Lsb;
    const std::size_t vendor = get16(p + 24, order_);
    const std::size_t screens = p[28], formats = p[29];
    std::size_t at = 40 + pad4(vendor);
    if (at + 8 * formats > n) return false;
    for (std::size_t f = 0; f < formats; ++f, at += 8) formats_[p[at]] = {p[at + 1], p[at + 2]};
    for (std::size_t s = 0; s < screens; ++s) {
        if (at + 40 > n) return false;
        roots_.insert(get32(p + at, order_));
        colormaps_.insert(get32(p + at + 4, order_));
        root_looks_[get32(p + at, order_)] = {p[at + 38], get32(p + at + 32, order_)};
        const std::size_t depths = p[at + 39];
        at += 40;
        for (std::size_t d = 0; d < depths; ++d) {
            if (at + 8 > n) return false;
            const std::uint8_t depth = p[at];
            const std::size_t count = get16(p + at + 2, order_);
            at += 8;
            for (std::size_t v = 0; v < count && at + 24 <= n; ++v, at += 24)
                visuals_[get32(p + at, order_)] = {depth, p[at + 4], get32(p + at + 8, order_),
                                                   get32(p + at + 12, order_), get32(p + at + 16, order_)};
            if (at > n) return false;
        }
    }
    phase_ = Phase::Requests;
    return at <= n && !roots_.empty();
}

// The carrier's reply becomes the refusal's error or the filter's own answer, or an extension's
// answer becomes "absent": all are 32 bytes, as the carrier's reply is. Other replies teach.
void LinkFilter::rewrite(std::uint8_t *packet, const Watched &w) {
    const std::uint16_t sequence = get16(packet + 2, order_);
    switch (w.kind) {
    case Watch::Refused: {
        const auto e = error_packet(w.error, sequence, w.value, w.minor, w.major, order_);
        std::memcpy(packet, e.data(), e.size());
        return;
    }
    case Watch::Pictures:
        // Present at its own major opcode, unless the service was told not to offer it or the
        // display uses that one for an extension the link may use; no events, no errors of its own.
        pictures_ = limits_.pictures && big_major_ != kPictureMajor && xc_misc_major_ != kPictureMajor;
        std::fill(packet + 8, packet + kPacketBytes, 0);
        packet[1] = 0;
        packet[8] = pictures_;
        packet[9] = pictures_ ? kPictureMajor : 0;
        return;
    case Watch::Codecs:
        std::fill(packet + 8, packet + kPacketBytes, 0);
        packet[1] = 0;
        put32(packet + kCodecMaskAt, decodable_codecs(), order_);
        put32(packet + kMaxPixelsAt, kMaxPicturePixels, order_);
        return;
    case Watch::Extension:
        // One the link may use, but at the pictures' major opcode, which the link was told of first.
        if (packet[8] && packet[9] == kPictureMajor && pictures_) break;
        learn(packet, w);
        return;
    case Watch::Absent: break;
    default: learn(packet, w); return;
    }
    // present, major opcode, first event, first error
    packet[8] = packet[9] = packet[10] = packet[11] = 0;
}

void LinkFilter::learn(const std::uint8_t *packet, const Watched &w) {
    switch (w.kind) {
    case Watch::Extension:
        if (!packet[8]) break;
        if (w.name == kBigRequests) big_major_ = packet[9];
        else xc_misc_major_ = packet[9];
        break;
    case Watch::BigLength: big_max_units_ = get32(packet + 8, order_); break;
    case Watch::Tree: {
        // The parent of one of the link's windows, or of a frame above one, is a frame too
        // (or the root, which needs no learning).
        const std::uint32_t parent = get32(packet + 12, order_);
        if ((own(w.value) || frames_.count(w.value)) && parent && !is_root(parent) && frames_.size() < kMaxLearned)
            frames_.insert(parent);
        break;
    }
    case Watch::Atom:
        if (identity_atoms_.size() < kMaxLearned) identity_atoms_.insert(get32(packet + 8, order_));
        break;
    default: break;
    }
}

}  // namespace telvane::consent
