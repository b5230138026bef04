#pragma once
// What a sender may do on this host's display through a display link: the requests its mirrors
// need, on windows, pixmaps and graphics contexts it made itself, and nothing else. Sits in the
// link's relay between the decompressed X stream and the display; a refused request never
// reaches the display, and the sender gets the error in its place, in sequence. Pure byte work,
// fuzzed and tested without a display.

#include "byte_order.h"
#include "link_relay.h"
#include "picture_decoder.h"
#include "x11_framing.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace telvane::consent {

// What one link may hold on the display at once. Beyond a count or the pixels, a request that
// would make more is answered BadAlloc.
struct LinkLimits {
    std::size_t windows = 1024;
    std::size_t pixmaps = 256;
    std::size_t gcs = 64;
    // Width times height of its windows and pixmaps together: 64 screens of 1920x1080.
    std::uint64_t pixels = std::uint64_t{1920} * 1080 * 64;
    // Whether the picture request is offered at all: without it the sender sends exact pixels.
    bool pictures = true;
};

// The most pixels one encoded picture may have, told to senders in the answer to QueryCodecs: a
// large screen's worth, whose PutImage at 32 bits a pixel still fits the 16 MB an X.Org server
// takes in one request with BIG-REQUESTS.
inline constexpr std::uint32_t kMaxPicturePixels = 2560 * 1600;
// The most encoded bytes one picture may have: its pixels' raw size, beyond which encoding is of
// no use. A longer picture request is answered BadLength.
inline constexpr std::size_t kMaxPictureBytes = std::size_t{3} * kMaxPicturePixels;

// Requests one link's filter kept from the display, for the link's last log line.
struct FilterCounts {
    std::uint64_t passed = 0, refused = 0;
    std::vector<std::string> refused_names;   // each kind once, in the order first refused
};

// What a link's last log line says of its refusals: "; 3 requests refused: GetImage, SendEvent",
// or nothing when there were none. Called by the link service.
std::string refusals_text(const FilterCounts &counts);

// The receiver's end of one link: the X set-up with this host's credentials put in, then every
// request judged against the rows of what mirrors need.
class LinkFilter final : public tlslink::StreamGuard {
public:
    // `auth` goes into the sender's set-up in place of what it offers; the receiver's cookie (or
    // an untrusted one made for this link) never leaves the host.
    explicit LinkFilter(tlslink::SetupAuth auth, LinkLimits limits = {});

    bool from_link(tlslink::ByteQueue &in, tlslink::ByteQueue &out, std::string &why) override;
    std::size_t pass_through() const override { return pass_; }
    void passed(std::size_t n) override { pass_ -= n; }
    std::optional<std::size_t> from_plain(char *bytes, std::size_t n, std::string &why) override;
    bool holds_output() const override { return drawing_ || (phase_ == Phase::Requests && !early_.empty()); }

    const FilterCounts &counts() const { return counts_; }

    // A value-list bit that names a resource, and what it may name besides the link's own or none.
    struct IdBit {
        enum Also : std::uint8_t { AlsoNothing, AlsoParentRelative, AlsoDefaultColormap };
        int bit;
        Also also = AlsoNothing;
    };

private:
    // What a reply of the display to one of our requests is to become, or teach us.
    // Pictures and Codecs are answers of the filter's own; BigLength teaches the display's longest
    // request with BIG-REQUESTS.
    enum class Watch : std::uint8_t { Refused, Absent, Extension, Tree, Atom, Pictures, Codecs, BigLength };
    struct Watched {
        Watched(std::uint64_t s, Watch k) : sequence(s), kind(k) {}
        std::uint64_t sequence;
        Watch kind;
        std::uint8_t error = 0, major = 0;
        std::uint16_t minor = 0;
        std::uint32_t value = 0;   // Refused: the bad value; Tree: the window asked about
        std::string name;          // Extension: which one; Atom: whether it is an identity
    };
    // A drawable's depth and visual (none for a pixmap), as the display's set-up answer names them.
    struct Looks {
        std::uint8_t depth = 0;
        std::uint32_t visual = 0;
    };
    struct Window {
        std::uint32_t parent = 0;
        std::uint32_t width = 0, height = 0;
        Looks looks;
    };
    struct Pixmap {
        std::uint64_t pixels = 0;
        std::uint8_t depth = 0;
    };
    struct Visual {
        std::uint8_t depth = 0, visual_class = 0;
        std::uint32_t red = 0, green = 0, blue = 0;
    };
    struct Format {
        std::uint8_t bits_per_pixel = 0, scanline_pad = 0;
    };
    // A decoded picture on its way to the display as one PutImage, a slice of rows at a time.
    struct Drawing {
        std::vector<std::uint8_t> head;   // the PutImage's fields, sent first
        std::vector<std::uint8_t> rgb;
        std::uint32_t width = 0, height = 0, row = 0;
        std::size_t stride = 0, tail = 0;   // bytes a row; zeros after the last row
        PixelLayout layout;
    };

    enum class Phase { Setup, SetupAnswer, Requests };

    bool take(const std::uint8_t *data, std::size_t n, tlslink::ByteQueue &out, std::string &why);
    bool setup_request(tlslink::ByteQueue &out, std::string &why);
    bool judge(tlslink::ByteQueue &out, std::string &why);
    void refuse(std::uint8_t error, std::uint32_t value, tlslink::ByteQueue &out);
    void stand_in(Watched w, tlslink::ByteQueue &out);
    void forward(tlslink::ByteQueue &out);
    void draw(tlslink::ByteQueue &out);

    // The rules, over the gathered request `req_` (`head_` its head).
    bool own(std::uint32_t id) const { return id != 0 && (id & ~id_mask_) == id_base_; }
    bool is_root(std::uint32_t id) const { return roots_.count(id) != 0; }
    std::uint8_t check(std::uint32_t &bad, std::optional<Watch> &answer);
    std::uint8_t check_picture(std::uint32_t &bad, std::optional<Watch> &answer);
    std::optional<Looks> looks_of(std::uint32_t drawable) const;
    std::optional<PixelLayout> layout_of(Looks looks) const;
    std::uint8_t check_values(std::size_t mask_at, std::size_t mask_bytes, std::size_t values_at,
                              std::span<const IdBit> ids, std::uint32_t &bad) const;
    std::uint8_t check_configure(std::uint32_t &bad);
    std::uint8_t admit_window();
    std::uint8_t admit_pixmap();
    std::uint8_t admit_gc();
    void forget_window(std::uint32_t id);
    std::uint32_t word(std::size_t at) const;
    std::uint16_t half(std::size_t at) const;

    bool setup_answer(const std::uint8_t *p, std::size_t n);
    void rewrite(std::uint8_t *packet, const Watched &w);
    void learn(const std::uint8_t *packet, const Watched &w);

    tlslink::SetupAuth auth_;
    LinkLimits limits_;
    wire::ByteOrder order_ = wire::ByteOrder::Lsb;
    FilterCounts counts_;

    // Sender to display.
    Phase phase_ = Phase::Setup;
    std::vector<std::uint8_t> req_;      // the request being judged, as far as it is needed
    std::size_t want_ = 0;               // how much of it is needed; 0 before its head is read
    wire::RequestHead head_;
    std::vector<std::uint8_t> early_;    // requests sent before the display's set-up answer, or
                                         // behind a picture still being drawn
    std::size_t pass_ = 0, drop_ = 0;    // of the current request, still to pass or to drop
    std::uint64_t sent_ = 0;             // requests counted, the display's numbering
    bool big_ = false;                   // BIG-REQUESTS lengths allowed
    bool pictures_ = false;              // the sender was told of the picture requests
    std::unique_ptr<Drawing> drawing_;
    std::deque<Watched> watched_;

    // What the display's set-up answer told.
    std::uint32_t id_base_ = 0, id_mask_ = 0;
    std::set<std::uint32_t> roots_, colormaps_;
    std::unordered_map<std::uint32_t, Looks> root_looks_;
    std::unordered_map<std::uint32_t, Visual> visuals_;
    std::map<std::uint8_t, Format> formats_;   // by depth
    wire::ByteOrder image_order_ = wire::ByteOrder::Lsb;
    std::uint32_t max_units_ = 0;        // the longest request, in 4-byte units; then with BIG-REQUESTS
    std::uint32_t big_max_units_ = 0;

    // What the link holds, and what it learned.
    std::unordered_map<std::uint32_t, Window> windows_;
    std::unordered_map<std::uint32_t, Pixmap> pixmaps_;
    std::set<std::uint32_t> gcs_;
    std::uint64_t pixels_ = 0;
    std::set<std::uint32_t> frames_;     // windows found above its own (a window manager's frames)
    std::set<std::uint32_t> identity_atoms_;
    std::uint8_t big_major_ = 0, xc_misc_major_ = 0;

    // Display to sender.
    bool answered_ = false;                  // the set-up answer has gone by
    std::vector<std::uint8_t> setup_answer_;
    std::size_t skip_ = 0;                   // rest of a packet passing as it is
    std::uint64_t seen_ = 0;                 // the last sequence number the display sent
};

}  // namespace telvane::consent
