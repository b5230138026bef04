#pragma once
// A growable FIFO of bytes waiting to be written to a socket, with the file descriptors that
// travel with them.

#include "fd.h"

#include <algorithm>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

namespace telvane::server {

// Owns its bytes and the descriptors queued with them; appends at the back, consumes from the
// front without moving data on every write. A descriptor is tied to a place in the stream: it
// must leave with the first byte at or after that place, never after it, because the peer
// (an X server, or xcb in a client) takes descriptors in order as requests and replies ask for
// them, and one that arrives late leaves a request without its descriptor.
class ByteQueue {
public:
    void append(const uint8_t *p, size_t n) {
        if (n == 0) return;
        settle();
        if (head_ > 0 && head_ == buf_.size()) compact_all();
        buf_.insert(buf_.end(), p, p + n);
        appended_ += n;
    }
    template <typename Container>
    void append(const Container &c) { append(c.data(), c.size()); }

    // Queues `n` bytes without copying them: they stay where they are until written or until
    // settle(), which the lender calls before it reuses that memory. Bytes that only pass
    // through a relay are so written straight from its read buffer.
    void lend(const uint8_t *p, size_t n) {
        if (n == 0) return;
        if (lent_len_ > 0 && p != lent_ + lent_len_) settle();
        if (lent_len_ == 0) lent_ = p;
        lent_len_ += n;
        appended_ += n;
    }
    // Copies what is still lent into the queue's own storage.
    void settle() {
        if (lent_len_ == 0) return;
        if (head_ > 0 && head_ == buf_.size()) compact_all();
        buf_.insert(buf_.end(), lent_, lent_ + lent_len_);
        lent_len_ = 0;
    }

    // The queued bytes in at most two pieces: the queue's own (data(), owned_size()), then the
    // lent ones (lent_data(), size() - owned_size()).
    const uint8_t *data() const { return buf_.data() + head_; }
    size_t owned_size() const { return buf_.size() - head_; }
    const uint8_t *lent_data() const { return lent_; }
    size_t size() const { return owned_size() + lent_len_; }
    bool empty() const { return size() == 0; }

    // Drops `n` bytes from the front (n <= size()).
    void consume(size_t n) {
        taken_ += n;
        const size_t own = std::min(n, owned_size());
        lent_ += n - own;
        lent_len_ -= n - own;
        head_ += own;
        if (head_ == buf_.size()) compact_all();
        else if (head_ > (1u << 20) && head_ * 2 > buf_.size()) {
            buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }
    // Drops every byte and every descriptor (closing them).
    void clear() {
        taken_ += size();
        buf_.clear();
        head_ = 0;
        lent_len_ = 0;
        fds_.clear();
    }

    // Queues `fd` to leave with the next byte appended (or with a later write, when bytes
    // before that are still queued: never with an earlier byte than that).
    void attach(Fd fd) { fds_.push_back({appended_, std::move(fd)}); }
    size_t fds_queued() const { return fds_.size(); }

    // What the next write may carry: how many of the queued bytes may go (at most `limit`), and
    // in `fds` the descriptors due with its first byte (at most `max_fds`). Descriptors tied to a
    // later byte cut the write short there, so that they go with their own byte.
    size_t next_write(size_t limit, std::vector<int> &fds, size_t max_fds) const {
        fds.clear();
        size_t len = std::min(limit, size());
        size_t i = 0;
        for (; i < fds_.size() && fds_[i].at <= taken_ && fds.size() < max_fds; ++i) fds.push_back(fds_[i].fd.get());
        if (i < fds_.size()) {
            // The next descriptor not taken now needs a write of its own starting at its byte
            // (or, when more were due than one write carries, at the next byte).
            const uint64_t at = std::max(fds_[i].at, taken_ + (fds.empty() ? 0 : 1));
            if (at > taken_) len = std::min<uint64_t>(len, at - taken_);
        }
        return len;
    }
    // After a write of `bytes` (> 0) that carried the first `sent_fds` due descriptors: closes
    // our copies of those and drops the bytes.
    void written(size_t bytes, size_t sent_fds) {
        for (size_t k = 0; k < sent_fds && !fds_.empty(); ++k) fds_.pop_front();
        consume(bytes);
    }
    // Descriptors that cannot travel on this connection (a TCP peer): closes the ones due now.
    size_t drop_due_fds() {
        size_t n = 0;
        while (!fds_.empty() && fds_.front().at <= taken_ + size()) { fds_.pop_front(); ++n; }
        return n;
    }

    // Bytes ever appended, and ever consumed or cleared: a byte appended when appended() was N
    // has left the queue once taken() reaches N.
    uint64_t appended() const { return appended_; }
    uint64_t taken() const { return taken_; }

private:
    struct TiedFd {
        uint64_t at;   // the stream position of the byte it travels with
        Fd fd;
    };
    void compact_all() {
        buf_.clear();
        head_ = 0;
    }

    std::vector<uint8_t> buf_;
    size_t head_ = 0;
    uint64_t appended_ = 0;
    uint64_t taken_ = 0;
    std::deque<TiedFd> fds_;
    const uint8_t *lent_ = nullptr;
    size_t lent_len_ = 0;
};

}  // namespace telvane::server
