// Pumps an X stream between a plain socket and a TLS connection, compressed on the TLS side.
#include "link_relay.h"

#include "link_protocol.h"

#include <openssl/err.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace telvane::tlslink {

char *ByteQueue::room(std::size_t n) {
    if (capacity_ - tail_ >= n) return buf_.get() + tail_;
    const std::size_t used = size();
    if (capacity_ - used >= n && head_ >= used) {
        // Moving what is left costs less than the space it frees.
        std::memmove(buf_.get(), data(), used);
    } else {
        const std::size_t capacity = std::max({2 * capacity_, used + n, std::size_t{64} << 10});
        auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
        if (used) std::memcpy(bigger.get(), data(), used);
        buf_ = std::move(bigger);
        capacity_ = capacity;
    }
    head_ = 0;
    tail_ = used;
    return buf_.get() + tail_;
}

void ByteQueue::append(std::string_view bytes) {
    if (bytes.empty()) return;
    std::memcpy(room(bytes.size()), bytes.data(), bytes.size());
    commit(bytes.size());
}

namespace {

// zstd's skippable frames begin with one of sixteen magic numbers, from this one on, then the
// length of their contents; both little-endian. Decompressors pass over them, so the link's
// stream stays a zstd stream, but its own decompressing side hands their contents on.
constexpr std::uint32_t kSkippableMagic = 0x184D2A50;
constexpr std::size_t kSkippableHead = 8;

// The samples a large batch is judged by, and what they must shrink to for it to be compressed.
constexpr std::size_t kSampleSize = 4096;
constexpr std::size_t kSampleShrunk = kSampleSize * 15 / 16;

void put_le32(char *at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<char>(v >> (8 * i));
}

std::uint32_t get_le32(const char *at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(at[i])) << (8 * i);
    return v;
}

}  // namespace

LinkCodec::LinkCodec(int window_log) : cctx_(ZSTD_createCCtx()), probe_(ZSTD_createCCtx()), dctx_(ZSTD_createDCtx()) {
    if (cctx_) {
        ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_compressionLevel, kCompressionLevel);
        ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_windowLog, std::min(window_log, kMaxWindowLog));
    }
    if (probe_) ZSTD_CCtx_setParameter(probe_.get(), ZSTD_c_compressionLevel, kCompressionLevel);
    // The peer's window is bounded, so that its stream cannot make us keep more than a megabyte.
    if (dctx_) ZSTD_DCtx_setParameter(dctx_.get(), ZSTD_d_windowLogMax, kMaxWindowLog);
}

// Three samples from inside a large batch, each compressed alone at the link's level: raw
// pixels come out no smaller, and then the whole batch is not worth zstd's pass over it.
bool LinkCodec::shrinks(std::string_view in) {
    if (in.size() < kRawTrySize || in.size() > UINT32_MAX) return true;
    char out[ZSTD_COMPRESSBOUND(kSampleSize)];
    int shrank = 0;
    for (std::size_t i = 1; i <= 3; ++i) {
        const std::size_t n = ZSTD_compress2(probe_.get(), out, sizeof out,
                                             in.data() + in.size() * i / 4 - kSampleSize / 2, kSampleSize);
        if (ZSTD_isError(n) || n <= kSampleShrunk) ++shrank;
    }
    return shrank >= 2;
}

bool LinkCodec::zstd_stream(std::string_view in, ZSTD_EndDirective end, ByteQueue &out) {
    ZSTD_inBuffer input{in.data(), in.size(), 0};
    for (;;) {
        const std::size_t room = ZSTD_compressBound(in.size() - input.pos) + 64;
        ZSTD_outBuffer output{out.room(room), room, 0};
        const std::size_t left = ZSTD_compressStream2(cctx_.get(), &output, &input, end);
        out.commit(output.pos);
        if (ZSTD_isError(left)) return false;
        if (left == 0) return true;
    }
}

bool LinkCodec::pack(std::string_view in, ByteQueue &out) {
    sent_raw_ = !shrinks(in);
    if (!sent_raw_) {
        frame_open_ = true;
        return zstd_stream(in, ZSTD_e_flush, out);
    }
    // A skippable frame may only stand between frames: the open one ends first (3 bytes), and
    // the next compressed batch begins a new one.
    if (frame_open_ && !zstd_stream({}, ZSTD_e_end, out)) return false;
    frame_open_ = false;
    char *at = out.room(kSkippableHead);
    put_le32(at, kSkippableMagic);
    put_le32(at + 4, static_cast<std::uint32_t>(in.size()));
    out.commit(kSkippableHead);
    return true;
}

bool LinkCodec::compress(std::string_view in, ByteQueue &out) {
    if (!pack(in, out)) return false;
    if (sent_raw_) out.append(in);
    return true;
}

std::size_t LinkCodec::decompress(std::string_view in, ByteQueue &out, std::size_t limit) {
    std::size_t used = 0;
    // Collects a frame's first bytes into head_, across calls; true once it holds `want`.
    auto take_head = [&](std::size_t want) {
        const std::size_t n = std::min(want - head_.size(), in.size() - used);
        head_.append(in.data() + used, n);
        used += n;
        return head_.size() == want;
    };
    while (out.size() < limit) {
        if (in_ == In::Between) {
            if (!take_head(4)) return used;
            // Anything but a skippable frame is zstd's to judge, its first bytes included.
            in_ = (get_le32(head_.data()) & ~0xFu) == kSkippableMagic ? In::RawHead : In::Zstd;
        }
        if (in_ == In::RawHead) {
            if (!take_head(kSkippableHead)) return used;
            raw_left_ = get_le32(head_.data() + 4);
            head_.clear();
            in_ = raw_left_ ? In::Raw : In::Between;
            continue;
        }
        if (in_ == In::Raw) {
            const std::size_t n = std::min({std::size_t{raw_left_}, in.size() - used, limit - out.size()});
            if (n == 0) return used;
            out.append(in.substr(used, n));
            used += n;
            raw_left_ -= static_cast<std::uint32_t>(n);
            if (raw_left_ == 0) in_ = In::Between;
            continue;
        }
        // Inside a zstd frame: the first bytes kept in head_ go in before the caller's.
        const std::string_view src = head_.empty() ? in.substr(used) : std::string_view(head_);
        if (src.empty() && !holds_output_) return used;
        ZSTD_inBuffer input{src.data(), src.size(), 0};
        const std::size_t room = std::min<std::size_t>(ZSTD_DStreamOutSize(), limit - out.size());
        ZSTD_outBuffer output{out.room(room), room, 0};
        const std::size_t r = ZSTD_decompressStream(dctx_.get(), &output, &input);
        out.commit(output.pos);
        if (ZSTD_isError(r)) return kCorrupt;
        // A full output buffer may leave more inside the decoder even when all input is taken.
        holds_output_ = output.pos == room;
        if (head_.empty()) used += input.pos;
        else head_.erase(0, input.pos);
        if (r == 0) {   // the frame has ended and all of it is out
            in_ = In::Between;
            holds_output_ = false;
        } else if (input.pos == 0 && output.pos == 0) {
            return used;
        }
    }
    return used;
}

bool write_all(SSL *ssl, std::string_view data) {
    while (!data.empty()) {
        const int n = SSL_write(ssl, data.data(), static_cast<int>(std::min<std::size_t>(data.size(), 1 << 14)));
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

namespace {

void set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Each record goes out as soon as it is written: a small one must not wait for the peer's
// acknowledgement of the one before, as X's replies and input events would.
void set_nodelay(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// The most one SSL_read returns: a TLS record's plaintext.
constexpr std::size_t kRecordRoom = 16 << 10;

// The most opened at a time for a guard to look at; the bodies of large requests it passes go
// past it, so a picture is not copied once more.
constexpr std::size_t kStageSize = 4 << 10;

// TLS records pass through a buffer (RelayLimits::wire_buffer) on their way to and from the
// socket, so that the many records of a large batch go out in a few large writes: each write into
// a TCP socket costs about as much again in the network stack whatever its size. The sender's end
// reads the plain side in pieces of up to a megabyte: a picture of a large window in a few reads.

struct BioFree { void operator()(BIO *b) const { BIO_free(b); } };

// The state of one relay; run() is the loop.
class Relay {
public:
    Relay(int plain, SSL *ssl, int stop, RelayCounts &counts, std::string &why, const RelayStart &start)
        : plain_(plain), ssl_(ssl), tls_(SSL_get_fd(ssl)), stop_(stop), counts_(counts), why_(why),
          limits_(start.limits), buf_(start.limits.read_size), answer_(start.answer), guard_(start.guard),
          codec_(start.limits.window_log) {
        from_tls_.append(start.early);
    }

    RelayEnd run() {
        if (!codec_.ok()) return fail("no compressor");
        // From here on TLS reads and writes a buffer pair, and the loop moves its far end's bytes
        // to and from the socket.
        BIO *inner = nullptr, *outer = nullptr;
        if (BIO_new_bio_pair(&inner, static_cast<std::size_t>(limits_.wire_buffer), &outer,
                             static_cast<std::size_t>(limits_.wire_buffer)) != 1) return fail("no buffer for the link");
        wire_.reset(outer);
        SSL_set_bio(ssl_, inner, inner);
        set_nonblocking(plain_);
        set_nonblocking(tls_);
        set_nodelay(tls_);
        for (;;) {
            if (!flush_tls() || !flush_plain()) return RelayEnd::Failed;
            if (plain_eof_ && to_tls_.empty() && BIO_ctrl_pending(wire_.get()) == 0) {
                SSL_shutdown(ssl_);
                send_wire();   // the closing alert, if the socket takes it
                return RelayEnd::PlainClosed;
            }
            if (tls_eof_ && from_tls_.empty() && to_plain_.empty() && !guard_holds()) {
                shutdown(plain_, SHUT_WR);
                return RelayEnd::PeerClosed;
            }
            // Bytes OpenSSL holds already, records waiting in the buffer pair, or compressed input
            // still to be opened, make no descriptor readable: go round without waiting.
            const bool room = to_plain_.size() < limits_.hold;
            const bool ready_inside = room && (!from_tls_.empty() || codec_.holds_output() || guard_holds() ||
                                               SSL_has_pending(ssl_) || BIO_ctrl_pending(SSL_get_rbio(ssl_)) > 0);
            pollfd p[3] = {};
            p[0].fd = plain_;
            if (!plain_eof_ && to_tls_.size() < limits_.hold) p[0].events |= POLLIN;
            if (!to_plain_.empty()) p[0].events |= POLLOUT;
            p[1].fd = tls_;
            if (!wire_eof_ && BIO_ctrl_get_write_guarantee(wire_.get()) > 0 &&
                ((!tls_eof_ && room) || write_wants_read_))
                p[1].events |= POLLIN;
            if (BIO_ctrl_pending(wire_.get()) > 0) p[1].events |= POLLOUT;
            // A descriptor with nothing to wait for stays out: a hung-up one would wake us for ever.
            if (p[0].events == 0) p[0].fd = -1;
            if (p[1].events == 0) p[1].fd = -1;
            p[2].fd = stop_;
            p[2].events = POLLIN;
            const int n = poll(p, stop_ >= 0 ? 3 : 2, ready_inside ? 0 : -1);
            if (n < 0 && errno != EINTR) return fail(std::string("poll: ") + std::strerror(errno));
            if (stop_ >= 0 && (p[2].revents & (POLLIN | POLLHUP | POLLERR))) return RelayEnd::Stopped;
            if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (!read_plain()) return RelayEnd::Failed;
            }
            if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) receive_wire();
            if (ready_inside || (p[1].revents & (POLLIN | POLLOUT | POLLHUP | POLLERR))) {
                write_wants_read_ = false;
                if (!read_tls()) return RelayEnd::Failed;
            }
        }
    }

private:
    RelayEnd fail(std::string why) {
        why_ = std::move(why);
        return RelayEnd::Failed;
    }

    bool read_plain() {
        // A packet's head the guard could not judge yet waits at the front of the buffer.
        const ssize_t n = read(plain_, buf_.data() + held_, buf_.size() - held_);
        if (n == 0) { plain_eof_ = true; return true; }
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return true;
            // A local end that resets counts as closed: the X server or client is gone.
            plain_eof_ = true;
            return true;
        }
        counts_.plain_in += static_cast<std::uint64_t>(n);
        const std::size_t got = held_ + static_cast<std::size_t>(n);
        std::size_t go = got;
        if (guard_) {
            const std::optional<std::size_t> judged = guard_->from_plain(buf_.data(), got, why_);
            if (!judged || *judged > got) return false;
            go = *judged;
        }
        const std::string_view batch(buf_.data(), go);
        const std::size_t before = to_tls_.size();
        if (!codec_.pack(batch, to_tls_)) {
            fail("compression failed");
            return false;
        }
        counts_.wire_out += to_tls_.size() - before;
        if (codec_.sent_raw() && !send_raw(batch)) return false;
        held_ = got - go;
        if (held_) std::memmove(buf_.data(), buf_.data() + go, held_);
        // What the other direction held back for this answer may go now.
        return !guard_ || guard_pass();
    }

    // Lets the guard judge what came out of the link: the rest of a request it passes goes
    // straight into the queue for the plain side, everything else through a small staging
    // queue it reads. Stops when the queue is full or nothing more comes out.
    bool open_guarded() {
        for (;;) {
            if (to_plain_.size() >= limits_.hold) return true;
            if (guard_->holds_output()) {
                if (!guard_pass()) return false;
                continue;
            }
            const std::size_t before = to_plain_.size();
            const std::size_t pass = std::min(guard_->pass_through(), limits_.hold - before);
            const std::size_t used =
                pass ? codec_.decompress(from_tls_.view(), to_plain_, before + pass)
                     : codec_.decompress(from_tls_.view(), staged_, kStageSize);
            if (used == LinkCodec::kCorrupt) {
                fail("the peer's stream does not decompress");
                return false;
            }
            from_tls_.consume(used);
            const std::size_t opened = pass ? to_plain_.size() - before : staged_.size();
            if (pass) guard_->passed(opened);
            else if (!guard_pass()) return false;
            if (opened == 0 && used == 0) return true;
        }
    }

    bool guard_holds() const { return guard_ && guard_->holds_output(); }

    bool guard_pass() {
        const bool ok = guard_->from_link(staged_, to_plain_, why_);
        staged_.clear();
        return ok;
    }

    // A batch sent as it is goes into TLS from the read buffer once what was queued before it
    // has gone; only what the socket cannot take yet is copied into the queue.
    bool send_raw(std::string_view bytes) {
        counts_.wire_out += bytes.size();
        if (!flush_tls()) return false;
        while (to_tls_.empty() && !bytes.empty() && !write_wants_read_) {
            const int n = SSL_write(ssl_, bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 14)));
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
                continue;
            }
            const int err = SSL_get_error(ssl_, n);
            if (err == SSL_ERROR_WANT_READ) {
                write_wants_read_ = true;
                break;
            }
            if (err != SSL_ERROR_WANT_WRITE) {
                fail("TLS: " + last_error());
                return false;
            }
            const std::size_t pending = BIO_ctrl_pending(wire_.get());
            if (!send_wire()) return false;
            if (BIO_ctrl_pending(wire_.get()) == pending) break;   // the socket is full
        }
        to_tls_.append(bytes);
        return true;
    }

    bool read_tls() {
        for (;;) {
            if (answer_ && !from_tls_.empty()) {
                const char answer = from_tls_.data()[0];
                from_tls_.consume(1);
                if (!std::exchange(answer_, nullptr)(answer)) {
                    fail("the receiver's service said no");
                    return false;
                }
            }
            if (!answer_ && guard_ && (!from_tls_.empty() || codec_.holds_output() || guard_holds())) {
                if (!open_guarded()) return false;
                if (!from_tls_.empty() || codec_.holds_output() || guard_holds()) return true;
            } else if (!answer_ && (!from_tls_.empty() || codec_.holds_output())) {
                const std::size_t used = codec_.decompress(from_tls_.view(), to_plain_, limits_.hold);
                if (used == LinkCodec::kCorrupt) {
                    fail("the peer's stream does not decompress");
                    return false;
                }
                from_tls_.consume(used);
                // No room: the plain side must drain first.
                if (!from_tls_.empty() || codec_.holds_output()) return true;
            }
            if (tls_eof_ || to_plain_.size() >= limits_.hold) return true;
            // Straight into the queue the decompressor reads: a record is at most 16 kB.
            const int n = SSL_read(ssl_, from_tls_.room(kRecordRoom), static_cast<int>(kRecordRoom));
            if (n > 0) {
                counts_.wire_in += static_cast<std::uint64_t>(n);
                from_tls_.commit(static_cast<std::size_t>(n));
                continue;
            }
            const int err = SSL_get_error(ssl_, n);
            read_wants_write_ = err == SSL_ERROR_WANT_WRITE;
            if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return true;
            if (err == SSL_ERROR_ZERO_RETURN) { tls_eof_ = true; return true; }
            // A peer that closes its socket without a closing alert has still ended the link.
            if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) { tls_eof_ = true; return true; }
            fail("TLS: " + last_error());
            return false;
        }
    }

    // Writes what waits for TLS as records into the buffer pair, and the pair's bytes into
    // the socket, until either is done or the socket is full.
    bool flush_tls() {
        for (;;) {
            bool pair_full = false;
            while (!to_tls_.empty() && !write_wants_read_) {
                const std::size_t len = std::min<std::size_t>(to_tls_.size(), 1 << 14);
                const int n = SSL_write(ssl_, to_tls_.data(), static_cast<int>(len));
                if (n > 0) { to_tls_.consume(static_cast<std::size_t>(n)); continue; }
                const int err = SSL_get_error(ssl_, n);
                if (err == SSL_ERROR_WANT_WRITE) { pair_full = true; break; }
                if (err == SSL_ERROR_WANT_READ) { write_wants_read_ = true; break; }
                fail("TLS: " + last_error());
                return false;
            }
            const std::size_t before = BIO_ctrl_pending(wire_.get());
            if (!send_wire()) return false;
            if (!pair_full || BIO_ctrl_pending(wire_.get()) == before) return true;
        }
    }

    // Moves records from the buffer pair into the socket until it is empty or the socket is
    // full. False when the socket broke.
    bool send_wire() {
        for (;;) {
            char *bytes = nullptr;
            const int ready = BIO_nread0(wire_.get(), &bytes);
            if (ready <= 0) return true;
            const ssize_t n = send(tls_, bytes, static_cast<std::size_t>(ready), MSG_NOSIGNAL);
            if (n > 0) {
                BIO_nread(wire_.get(), &bytes, static_cast<int>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
            fail("TLS: the connection broke");
            return false;
        }
    }

    // Moves what the socket has into the buffer pair, as far as it has room. The socket's end
    // (or its failure) is passed on as the pair's end, which TLS then reads as the peer's.
    void receive_wire() {
        while (!wire_eof_) {
            char *room = nullptr;
            const int free = BIO_nwrite0(wire_.get(), &room);
            if (free <= 0) return;
            const ssize_t n = recv(tls_, room, static_cast<std::size_t>(free), 0);
            if (n > 0) {
                BIO_nwrite(wire_.get(), &room, static_cast<int>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
            wire_eof_ = true;
            BIO_shutdown_wr(wire_.get());
        }
    }

    bool flush_plain() {
        while (!to_plain_.empty()) {
            const ssize_t n = write(plain_, to_plain_.data(), to_plain_.size());
            if (n > 0) {
                to_plain_.consume(static_cast<std::size_t>(n));
                counts_.plain_out += static_cast<std::uint64_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
            fail("the local end went away");
            return false;
        }
        return true;
    }

    static std::string last_error() {
        const unsigned long e = ERR_get_error();
        ERR_clear_error();
        if (e == 0) return "the connection broke";
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        return text;
    }

    int plain_;
    SSL *ssl_;
    int tls_;
    int stop_;
    RelayCounts &counts_;
    std::string &why_;
    RelayLimits limits_;
    std::vector<char> buf_;
    std::function<bool(char)> answer_;   // until the answer has come
    StreamGuard *guard_;
    ByteQueue staged_;                   // opened bytes on their way to the guard
    std::size_t held_ = 0;               // bytes at the front of buf_ the guard held back
    ByteQueue from_tls_;
    LinkCodec codec_;
    ByteQueue to_tls_, to_plain_;
    std::unique_ptr<BIO, BioFree> wire_;   // the far end of the pair TLS reads and writes
    bool wire_eof_ = false;
    bool plain_eof_ = false, tls_eof_ = false;
    bool write_wants_read_ = false, read_wants_write_ = false;
};

}  // namespace

RelayEnd relay_link(int plain_fd, SSL *ssl, int stop_fd, RelayCounts &counts, std::string &why,
                    const RelayStart &start) {
    return Relay(plain_fd, ssl, stop_fd, counts, why, start).run();
}

}  // namespace telvane::tlslink
