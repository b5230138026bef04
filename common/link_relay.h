#pragma once
// The X stream of a display link: bytes from a plain socket are compressed with zstd, flushed at
// the end of every batch read, and written into the TLS connection as one record where they fit;
// what comes out of TLS is decompressed and written to the plain socket. A large batch that zstd
// could not shrink (raw pixels) goes as it is, in a skippable frame, and the decompressing side
// passes that frame's contents on. Both sides of a link
// (telvane-server's end and the receiver's telvane-consent) run the same relay.

#include <openssl/ssl.h>
#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace telvane::tlslink {

// The compression level of the link, chosen by measurement (docs/benchmarks.md): -1, zstd's
// first fast level. The X stream gets small from its repeats (glyphs, fills, the same requests
// again), which -1 finds as well as levels 1 and 3 do; what it leaves out is their entropy
// coding of the rest, which took a seventh off a frame of raw pixels for about 4 ms of the
// sender's time (1.9 MB at 500 MB/s).
inline constexpr int kCompressionLevel = -1;

// Bytes either direction may hold back (read but not yet written on) before the relay stops
// reading from that direction's source.
inline constexpr std::size_t kMaxBuffered = 4u << 20;

// The compressor's window, as a power of two: the size zstd's fast levels pick for a long stream.
// A decompressor takes windows up to one step larger and no more, so a peer cannot make it keep
// megabytes for each link.
inline constexpr int kWindowLog = 19;
inline constexpr int kMaxWindowLog = kWindowLog + 1;

// What one relay may keep in memory. Each end picks what its traffic needs: the sender's end
// carries pictures out, so it reads and queues in large pieces; the receiver's end carries them
// to a display on the same host, which drains them at once (a queue that holds one large picture
// whole is enough: 1 MB showed in the latency of 800x600 pictures), and sends back only replies
// and events, which need a small window.
struct RelayLimits {
    std::size_t hold = kMaxBuffered;      // bytes queued per direction before reading stops
    std::size_t read_size = 1u << 20;     // the most one read from the plain side takes
    int wire_buffer = 512 << 10;          // TLS records on their way to and from the socket
    int window_log = kWindowLog;          // the compressor's window
};
inline constexpr RelayLimits kReceiverLimits{2u << 20, 64u << 10, 128 << 10, 17};

// A byte buffer written at its back and read from its front. Making room never fills bytes that
// are about to be overwritten, and the contents move to the front only when the back is full, so
// a batch costs no more passes over its bytes than the compressor and the socket make.
class ByteQueue {
public:
    const char *data() const { return buf_.get() + head_; }
    std::size_t size() const { return tail_ - head_; }
    bool empty() const { return head_ == tail_; }
    std::string_view view() const { return {data(), size()}; }
    // Drops `n` bytes from the front.
    void consume(std::size_t n) {
        head_ += n;
        if (head_ == tail_) head_ = tail_ = 0;
    }
    void clear() { head_ = tail_ = 0; }
    // Makes room for at least `n` bytes at the back and returns where they go; commit() then
    // says how many were written.
    char *room(std::size_t n);
    void commit(std::size_t n) { tail_ += n; }
    void append(std::string_view bytes);

private:
    std::unique_ptr<char[]> buf_;
    std::size_t capacity_ = 0, head_ = 0, tail_ = 0;
};

struct CCtxFree { void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); } };
struct DCtxFree { void operator()(ZSTD_DCtx *d) const { ZSTD_freeDCtx(d); } };

// Batches from this size on are tried for whether compressing them is worth a pass over them.
inline constexpr std::size_t kRawTrySize = 64u << 10;

// One direction's compressor and the other's decompressor.
class LinkCodec {
public:
    explicit LinkCodec(int window_log = kWindowLog);
    bool ok() const { return cctx_ && dctx_ && probe_; }

    // Appends to `out` the compressed form of `in`, flushed so that the peer can decompress all
    // of it at once; or, for a large batch whose samples do not shrink, the batch itself in a
    // skippable frame behind the end of the open zstd frame. False on a compressor error.
    bool compress(std::string_view in, ByteQueue &out);
    // Whether compress() or pack() sent its last batch as it was.
    bool sent_raw() const { return sent_raw_; }
    // As compress(), except that a batch sent as it is stays with the caller: `out` gets what
    // goes before it (the open frame's end, the skippable frame's head), and the caller writes
    // the batch's own bytes right behind, from where they are. The relay's sending side uses it.
    bool pack(std::string_view in, ByteQueue &out);

    // Appends to `out` what `in` decompresses to, stopping once `out` holds `limit` bytes.
    // Returns how much of `in` was used (the rest is for a later call), or kCorrupt.
    static constexpr std::size_t kCorrupt = static_cast<std::size_t>(-1);
    std::size_t decompress(std::string_view in, ByteQueue &out, std::size_t limit);
    // Whether the decompressor may hold output that did not fit the last call's limit.
    bool holds_output() const { return holds_output_; }

private:
    bool shrinks(std::string_view in);
    bool zstd_stream(std::string_view in, ZSTD_EndDirective end, ByteQueue &out);

    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx_, probe_;
    std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx_;
    bool frame_open_ = false;    // the compressor has begun a frame it has not ended
    bool sent_raw_ = false;
    bool holds_output_ = false;
    // Where the decompressing side is: between frames, reading a skippable frame's 8-byte head
    // (`head_`), passing `raw_left_` bytes of its contents on, or inside a zstd frame.
    enum class In { Between, RawHead, Raw, Zstd } in_ = In::Between;
    std::string head_;
    std::uint32_t raw_left_ = 0;
};

// Why a relay ended.
enum class RelayEnd { PlainClosed, PeerClosed, Stopped, Failed };

// Byte counts of one relay, for logs and benchmarks.
struct RelayCounts {
    std::uint64_t plain_in = 0, plain_out = 0;   // X bytes read from and written to the plain side
    std::uint64_t wire_in = 0, wire_out = 0;     // compressed bytes read from and written into TLS
};

// Credentials put into the X set-up that comes out of the link, in place of the sender's.
struct SetupAuth {
    std::string name, data;
};

// Looks at the X stream where it is plain, on its way through a relay. Each end of a link plugs
// one in: the sender's end hands xcb whole packets only, so that a receiver that stops halfway
// through one cannot stall the sender; the receiver's end lets through only the requests a
// sender's mirrors need. The relay calls it on its own thread.
class StreamGuard {
public:
    virtual ~StreamGuard() = default;
    // Bytes that came out of the link, decompressed: takes all of `in` (the relay clears it) and
    // appends to `out` what goes on to the plain side now, as it came or changed; keeps what it
    // cannot judge yet. May be called with `in` empty, to let go what waited for the other
    // direction. False ends the relay, `why` saying why.
    virtual bool from_link(ByteQueue &in, ByteQueue &out, std::string &why) = 0;
    // How many of the next bytes out of the link may go to the plain side unseen (the rest of a
    // request being passed on); the relay opens them straight into its queue for the plain side
    // and reports them with passed().
    virtual std::size_t pass_through() const { return 0; }
    virtual void passed(std::size_t) {}
    // Whether the guard has bytes of its own making still to hand on (a decoded picture's rows),
    // or bytes it kept behind them: the relay then opens nothing more out of the link, and calls
    // from_link with `in` empty whenever the queue to the plain side has room, so what the guard
    // makes is held to that queue's limit however large it is in all.
    virtual bool holds_output() const { return false; }
    // Bytes read from the plain side, about to go into the link: may change them in place, and
    // returns how many from the front go now. The rest (a packet's head cut short, fewer than 32
    // bytes) comes back at the front of the next call. Nothing ends the relay, `why` saying why.
    virtual std::optional<std::size_t> from_plain(char *bytes, std::size_t n, std::string &why) = 0;
};

// How a relay begins, where its link's first bytes are special.
struct RelayStart {
    // Sees the X stream both ways (none: bytes pass as they are). Must outlive the relay.
    StreamGuard *guard = nullptr;
    RelayLimits limits;
    // The receiver's end: link bytes already read together with the opening words.
    std::string early;
    // The sender's end: the first byte out of the link is the service's answer, which the
    // sender's X set-up did not wait for; handed here, the relay goes on only when this returns
    // true.
    std::function<bool(char)> answer;
};

// Relays between the plain socket `plain_fd` and the TLS connection `ssl` (its socket set
// non-blocking here) until either side ends, an error occurs, or `stop_fd` becomes readable
// (-1: none), beginning as `start` says. Leaves both descriptors open; the caller closes them.
// `why` says what failed. Runs on the calling thread: a thread of its own per link.
RelayEnd relay_link(int plain_fd, SSL *ssl, int stop_fd, RelayCounts &counts, std::string &why,
                    const RelayStart &start = {});

// Writes all of `data` into `ssl` (blocking socket), as few records as OpenSSL allows. False
// on failure. Used for the link's opening words.
bool write_all(SSL *ssl, std::string_view data);

}  // namespace telvane::tlslink
