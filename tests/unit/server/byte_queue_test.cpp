// The descriptors that travel with relayed bytes: each leaves with its own byte or an earlier
// one, never later, and each is closed exactly once, also when the queue goes away unsent.
#include "byte_queue.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using telvane::server::ByteQueue;
using telvane::server::Fd;

namespace {

// Attaches a new descriptor to `q` and returns its number.
int attach_one(ByteQueue &q) {
    Fd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int number = fd.get();
    q.attach(std::move(fd));
    return number;
}
bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

// Builds a queue from a script ("3" appends three bytes, "f" attaches a descriptor), then writes
// it out as a socket would take it, at most `per_write` bytes a time, and with at most
// `max_fds` descriptors a message. Returns the writes as "bytes/descriptors" words.
std::string writes(const std::string &script, size_t per_write, size_t max_fds) {
    ByteQueue q;
    for (char ch : script) {
        if (ch == 'f') attach_one(q);
        else q.append(std::vector<uint8_t>(static_cast<size_t>(ch - '0'), 0x5a));
    }
    std::string out;
    std::vector<int> fds;
    for (int guard = 0; guard < 100 && !q.empty(); ++guard) {
        size_t len = q.next_write(q.size(), fds, max_fds);
        if (len == 0) break;
        size_t sent = std::min(len, per_write);
        // Whatever part of the write goes, its descriptors went with its first byte.
        for (int fd : fds) EXPECT_TRUE(is_open(fd));
        out += (out.empty() ? "" : " ") + std::to_string(sent) + "/" + std::to_string(fds.size());
        q.written(sent, fds.size());
    }
    if (q.fds_queued() > 0) out += " +" + std::to_string(q.fds_queued()) + " waiting";
    return out;
}

}  // namespace

TEST(PassedDescriptors, LeaveWithTheirOwnByteOrEarlier) {
    struct Case { const char *script; size_t per_write, max_fds; const char *expected; };
    const Case cases[] = {
        {"3", 100, 8, "3/0"},
        {"f3", 100, 8, "3/1"},                 // with the first byte after it
        {"3f3", 100, 8, "3/0 3/1"},            // the write stops before the descriptor's byte
        {"ff3", 100, 8, "3/2"},                // several on one byte go together
        {"2f2f2", 100, 8, "2/0 2/1 2/1"},
        {"f9", 4, 8, "4/1 4/0 1/0"},           // a short write still carried it
        {"fff4", 100, 2, "1/2 3/1"},           // more than one message carries: the rest on the next byte
        {"3f", 100, 8, "3/0 +1 waiting"},      // waits for a byte of its own
        {"f", 100, 8, " +1 waiting"},
    };
    for (const Case &c : cases) EXPECT_EQ(writes(c.script, c.per_write, c.max_fds), c.expected) << c.script;
}

TEST(PassedDescriptors, AreClosedOnceWhenSentDroppedOrLeftBehind) {
    std::vector<int> fds;
    {
        ByteQueue q;
        for (int i = 0; i < 3; ++i) {
            fds.push_back(attach_one(q));
            q.append(std::vector<uint8_t>(4, 1));
        }
        std::vector<int> due;
        ASSERT_EQ(q.next_write(q.size(), due, 8), 4u);
        q.written(4, due.size());
        EXPECT_FALSE(is_open(fds[0]));   // sent: the peer has its own copy now
        EXPECT_TRUE(is_open(fds[1]));
        q.clear();                      // the peer went away mid-request
        EXPECT_FALSE(is_open(fds[1]));
        EXPECT_FALSE(is_open(fds[2]));
        fds.push_back(attach_one(q));
        EXPECT_EQ(q.drop_due_fds(), 1u);   // a peer on TCP cannot take it
        EXPECT_FALSE(is_open(fds[3]));
        fds.push_back(attach_one(q));
    }
    // The queue went away with one still queued; closing it again would be an error now.
    EXPECT_FALSE(is_open(fds[4]));
}

// Lent bytes keep their place among copied ones through partial writes, and settling copies
// exactly what was not yet written, so that the lender may reuse its buffer.
TEST(ByteQueue, LentBytesKeepTheirOrder) {
    struct Case {
        const char *script;   // "a3": append 3; "l3": lend 3 (next bytes of the source);
                              // "w2": write 2; "s": settle and scribble over the source
        const char *expect;   // every byte written, in order
    };
    const Case cases[] = {
        {"l4w4", "ABCD"},
        {"a2l3w5", "xxABC"},
        {"l3a2w5", "ABCxx"},
        {"l3w1sw2", "ABC"},
        {"l2l2w1sl1w4", "ABCDE"},
        {"a1l2w2sa1w2", "xABx"},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> source(32);
        for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>('A' + i);
        size_t next = 0;
        ByteQueue q;
        std::string out;
        for (const char *p = c.script; *p; ++p) {
            const size_t k = p[1] >= '0' && p[1] <= '9' ? static_cast<size_t>(p[1] - '0') : 0;
            if (*p == 'a') {
                q.append(std::vector<uint8_t>(k, 'x'));
            } else if (*p == 'l') {
                q.lend(source.data() + next, k);
                next += k;
            } else if (*p == 'w') {
                const size_t own = std::min(k, q.owned_size());
                out.append(reinterpret_cast<const char *>(q.data()), own);
                out.append(reinterpret_cast<const char *>(q.lent_data()), k - own);
                q.written(k, 0);
            } else if (*p == 's') {
                q.settle();
                std::fill(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(next), '?');
            }
            if (k) ++p;
        }
        EXPECT_EQ(out, c.expect) << c.script;
        EXPECT_TRUE(q.empty()) << c.script;
    }
}
