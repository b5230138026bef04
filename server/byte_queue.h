#pragma once
// A growable FIFO of bytes waiting to be written to a socket.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace telvane::server {

// Owns its bytes; appends at the back, consumes from the front without moving data on every write.
class ByteQueue {
public:
    void append(const uint8_t *p, size_t n) {
        if (n == 0) return;
        if (head_ > 0 && head_ == buf_.size()) clear();
        buf_.insert(buf_.end(), p, p + n);
        appended_ += n;
    }
    template <typename Container>
    void append(const Container &c) { append(c.data(), c.size()); }

    const uint8_t *data() const { return buf_.data() + head_; }
    size_t size() const { return buf_.size() - head_; }
    bool empty() const { return size() == 0; }

    // Drops `n` bytes from the front (n <= size()).
    void consume(size_t n) {
        head_ += n;
        taken_ += n;
        if (head_ == buf_.size()) clear();
        else if (head_ > (1u << 20) && head_ * 2 > buf_.size()) {
            buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }
    void clear() {
        taken_ += buf_.size() - head_;
        buf_.clear();
        head_ = 0;
    }

    // Bytes ever appended, and ever consumed or cleared: a byte appended when appended() was N
    // has left the queue once taken() reaches N.
    uint64_t appended() const { return appended_; }
    uint64_t taken() const { return taken_; }

private:
    std::vector<uint8_t> buf_;
    size_t head_ = 0;
    uint64_t appended_ = 0;
    uint64_t taken_ = 0;
};

}  // namespace telvane::server
