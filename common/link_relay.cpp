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

LinkCodec::LinkCodec() : cctx_(ZSTD_createCCtx()), dctx_(ZSTD_createDCtx()) {
    if (cctx_) ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_compressionLevel, kCompressionLevel);
    // The peer's window is bounded, so that its stream cannot make us keep more than 8 MB.
    if (dctx_) ZSTD_DCtx_setParameter(dctx_.get(), ZSTD_d_windowLogMax, 23);
}

bool LinkCodec::compress(std::string_view in, std::string &out) {
    ZSTD_inBuffer input{in.data(), in.size(), 0};
    for (;;) {
        const std::size_t start = out.size();
        out.resize(start + ZSTD_compressBound(in.size()) + 64);
        ZSTD_outBuffer output{out.data() + start, out.size() - start, 0};
        const std::size_t left = ZSTD_compressStream2(cctx_.get(), &output, &input, ZSTD_e_flush);
        out.resize(start + output.pos);
        if (ZSTD_isError(left)) return false;
        if (left == 0) return true;
    }
}

std::size_t LinkCodec::decompress(std::string_view in, std::string &out, std::size_t limit) {
    ZSTD_inBuffer input{in.data(), in.size(), 0};
    // A full output buffer may leave more inside the decoder even when all input is taken.
    while ((input.pos < input.size || holds_output_) && out.size() < limit) {
        const std::size_t start = out.size();
        const std::size_t room = std::min<std::size_t>(ZSTD_DStreamOutSize(), limit - start);
        out.resize(start + room);
        ZSTD_outBuffer output{out.data() + start, room, 0};
        const std::size_t r = ZSTD_decompressStream(dctx_.get(), &output, &input);
        out.resize(start + output.pos);
        if (ZSTD_isError(r)) return kCorrupt;
        holds_output_ = output.pos == room;
    }
    return input.pos;
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

// The state of one relay; run() is the loop.
class Relay {
public:
    Relay(int plain, SSL *ssl, int stop, RelayCounts &counts, std::string &why, const RelayStart &start)
        : plain_(plain), ssl_(ssl), tls_(SSL_get_fd(ssl)), stop_(stop), counts_(counts), why_(why), buf_(256 * 1024),
          auth_(start.setup_auth), answer_(start.answer), from_tls_(start.early) {}

    RelayEnd run() {
        if (!codec_.ok()) return fail("no compressor");
        set_nonblocking(plain_);
        set_nonblocking(tls_);
        set_nodelay(tls_);
        for (;;) {
            if (!flush_tls() || !flush_plain()) return RelayEnd::Failed;
            if (plain_eof_ && to_tls_.size() == tls_off_) {
                SSL_shutdown(ssl_);
                return RelayEnd::PlainClosed;
            }
            if (tls_eof_ && from_tls_.empty() && to_plain_.size() == plain_off_) {
                shutdown(plain_, SHUT_WR);
                return RelayEnd::PeerClosed;
            }
            // Bytes OpenSSL holds already, or compressed input still to be opened, make no
            // descriptor readable: go round without waiting.
            const bool room = to_plain_.size() - plain_off_ < kMaxBuffered;
            const bool ready_inside = room && (!from_tls_.empty() || codec_.holds_output() || SSL_has_pending(ssl_));
            pollfd p[3] = {};
            p[0].fd = plain_;
            if (!plain_eof_ && to_tls_.size() - tls_off_ < kMaxBuffered) p[0].events |= POLLIN;
            if (to_plain_.size() > plain_off_) p[0].events |= POLLOUT;
            p[1].fd = tls_;
            if ((!tls_eof_ && room) || write_wants_read_) p[1].events |= POLLIN;
            if ((to_tls_.size() > tls_off_ && !write_wants_read_) || read_wants_write_) p[1].events |= POLLOUT;
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
        const ssize_t n = read(plain_, buf_.data(), buf_.size());
        if (n == 0) { plain_eof_ = true; return true; }
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return true;
            // A local end that resets counts as closed: the X server or client is gone.
            plain_eof_ = true;
            return true;
        }
        counts_.plain_in += static_cast<std::uint64_t>(n);
        compact(to_tls_, tls_off_);
        const std::size_t before = to_tls_.size();
        if (!codec_.compress(std::string_view(buf_.data(), static_cast<std::size_t>(n)), to_tls_)) {
            fail("compression failed");
            return false;
        }
        counts_.wire_out += to_tls_.size() - before;
        return true;
    }

    bool read_tls() {
        for (;;) {
            if (answer_ && !from_tls_.empty()) {
                const char answer = from_tls_[0];
                from_tls_.erase(0, 1);
                if (!std::exchange(answer_, nullptr)(answer)) {
                    fail("the receiver's service said no");
                    return false;
                }
            }
            if (!answer_ && (!from_tls_.empty() || codec_.holds_output())) {
                compact(to_plain_, plain_off_);
                std::string &into = auth_ ? setup_ : to_plain_;
                const std::size_t used = codec_.decompress(from_tls_, into, plain_off_ + kMaxBuffered);
                if (used == LinkCodec::kCorrupt) {
                    fail("the peer's stream does not decompress");
                    return false;
                }
                from_tls_.erase(0, used);
                if (auth_ && !take_setup()) return false;
                // No room: the plain side must drain first.
                if (!from_tls_.empty() || codec_.holds_output()) return true;
            }
            if (tls_eof_ || to_plain_.size() - plain_off_ >= kMaxBuffered) return true;
            const int n = SSL_read(ssl_, buf_.data(), static_cast<int>(buf_.size()));
            if (n > 0) {
                counts_.wire_in += static_cast<std::uint64_t>(n);
                from_tls_.assign(buf_.data(), static_cast<std::size_t>(n));
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

    // Once the sender's set-up request is whole, it goes on with our credentials, and so does
    // whatever followed it.
    bool take_setup() {
        const std::size_t len = setup_request_length(setup_);
        if (len == kNotSetup) {
            fail("the link does not start with an X set-up");
            return false;
        }
        if (len == 0 || setup_.size() < len) return true;
        to_plain_ += replace_setup_auth(std::string_view(setup_).substr(0, len), auth_->name, auth_->data);
        to_plain_.append(setup_, len);
        setup_.clear();
        auth_ = nullptr;
        return true;
    }

    bool flush_tls() {
        while (to_tls_.size() > tls_off_) {
            const std::size_t len = std::min<std::size_t>(to_tls_.size() - tls_off_, 1 << 14);
            const int n = SSL_write(ssl_, to_tls_.data() + tls_off_, static_cast<int>(len));
            if (n > 0) { tls_off_ += static_cast<std::size_t>(n); continue; }
            const int err = SSL_get_error(ssl_, n);
            if (err == SSL_ERROR_WANT_WRITE) return true;
            if (err == SSL_ERROR_WANT_READ) { write_wants_read_ = true; return true; }
            fail("TLS: " + last_error());
            return false;
        }
        return true;
    }

    bool flush_plain() {
        while (to_plain_.size() > plain_off_) {
            const ssize_t n = write(plain_, to_plain_.data() + plain_off_, to_plain_.size() - plain_off_);
            if (n > 0) {
                plain_off_ += static_cast<std::size_t>(n);
                counts_.plain_out += static_cast<std::uint64_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
            fail("the local end went away");
            return false;
        }
        return true;
    }

    static void compact(std::string &s, std::size_t &off) {
        if (off == 0) return;
        s.erase(0, off);
        off = 0;
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
    std::vector<char> buf_;
    const SetupAuth *auth_;   // until the set-up has gone on
    std::function<bool(char)> answer_;   // until the answer has come
    std::string from_tls_;
    LinkCodec codec_;
    std::string to_tls_, to_plain_, setup_;
    std::size_t tls_off_ = 0, plain_off_ = 0;
    bool plain_eof_ = false, tls_eof_ = false;
    bool write_wants_read_ = false, read_wants_write_ = false;
};

}  // namespace

RelayEnd relay_link(int plain_fd, SSL *ssl, int stop_fd, RelayCounts &counts, std::string &why,
                    const RelayStart &start) {
    return Relay(plain_fd, ssl, stop_fd, counts, why, start).run();
}

}  // namespace telvane::tlslink
