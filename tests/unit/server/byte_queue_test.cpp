// The queue of relayed bytes: lent and copied bytes keep their order, and each descriptor leaves
// with its own byte or an earlier one and is closed exactly once, also when the queue goes unsent.
#include "byte_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

using telvane::server::ByteQueue;
using telvane::server::Fd;

namespace {

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

// Runs a script on a queue, then writes out the rest at most `per_write` bytes and `max_fds`
// descriptors a time. Script: "3" appends 3 copied bytes ('x'), "l3" lends 3 of "ABC...", "f"
// attaches a descriptor, "w3" writes 3, "s" settles and scribbles over the source, "c" clears,
// "d" drops the descriptors due. Returns "bytes/descriptors" words ("dN" dropped, "+N waiting"
// left) and the bytes written. Descriptors sent, dropped or cleared must be closed at once.
using Writes = std::pair<std::string, std::string>;
Writes run(const std::string &script, size_t per_write, size_t max_fds) {
    std::vector<uint8_t> source(32);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>('A' + i);
    size_t next = 0;
    std::optional<ByteQueue> q(std::in_place);
    std::string words, text;
    std::vector<int> fds;
    std::deque<int> held;   // attached, in order, and not yet sent, dropped or cleared
    const auto closed = [&](size_t n) {
        for (; n > 0 && !held.empty(); --n, held.pop_front()) EXPECT_FALSE(is_open(held.front())) << script;
        for (int fd : held) EXPECT_TRUE(is_open(fd)) << script;
    };
    const auto write = [&](size_t offer, size_t most) {
        const size_t len = q->next_write(offer, fds, max_fds), sent = std::min(len, most);
        const size_t own = std::min(sent, q->owned_size());
        text.append(reinterpret_cast<const char *>(q->data()), own);
        text.append(reinterpret_cast<const char *>(q->lent_data()), sent - own);
        words += (words.empty() ? "" : " ") + std::to_string(sent) + "/" + std::to_string(fds.size());
        // Whatever part of the write goes, its descriptors, the oldest held, went with its first byte.
        EXPECT_TRUE(std::equal(fds.begin(), fds.end(), held.begin())) << script;
        for (int fd : fds) EXPECT_TRUE(is_open(fd)) << script;
        q->written(sent, fds.size());
        closed(fds.size());
        return len;
    };
    for (size_t i = 0; i < script.size(); ++i) {
        const char op = script[i];
        if (op >= '0' && op <= '9') {
            q->append(std::vector<uint8_t>(static_cast<size_t>(op - '0'), 'x'));
        } else if (op == 'f') {
            Fd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
            held.push_back(fd.get());
            q->attach(std::move(fd));
        } else if (op == 's') {
            q->settle();
            std::fill(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(next), '?');
        } else if (op == 'c') {
            q->clear();
            closed(held.size());
        } else if (op == 'd') {
            const size_t n = q->drop_due_fds();
            words += " d" + std::to_string(n);
            closed(n);
        } else {
            const auto k = static_cast<size_t>(script[++i] - '0');
            if (op == 'l') q->lend(source.data() + next, k), next += k;
            else write(k, k);
        }
    }
    for (int guard = 0; guard < 100 && !q->empty() && write(q->size(), per_write) > 0; ++guard) {}
    if (q->fds_queued() > 0) words += " +" + std::to_string(q->fds_queued()) + " waiting";
    q.reset();
    closed(held.size());
    return {words, text};
}

}  // namespace

TEST(ByteQueue, BytesKeepTheirOrderAndDescriptorsLeaveWithTheirOwnByteOrEarlier) {
    struct Case { const char *script; size_t per_write, max_fds; const char *writes, *text; };
    const Case cases[] = {
        {"3", 100, 8, "3/0", "xxx"},
        {"f3", 100, 8, "3/1", "xxx"},          // with the first byte after it
        {"3f3", 100, 8, "3/0 3/1", "xxxxxx"},  // the write stops before the descriptor's byte
        {"ff3", 100, 8, "3/2", "xxx"},         // several on one byte go together
        {"f9", 4, 8, "4/1 4/0 1/0", "xxxxxxxxx"},   // a short write still carried it
        {"fff4", 100, 2, "1/2 3/1", "xxxx"},   // more than one message carries: the rest on the next byte
        {"3f", 100, 8, "3/0 +1 waiting", "xxx"},    // waits for a byte of its own
        {"f4f4f4w4cfdf", 100, 8, "4/1 d1 +1 waiting", "xxxx"},   // sent, cleared, dropped, left behind
        {"2l3", 100, 8, "5/0", "xxABC"},
        {"l32", 100, 8, "5/0", "ABCxx"},
        {"l2l2w1sl1", 100, 8, "1/0 4/0", "ABCDE"},
        {"1l2w2s1", 100, 8, "2/0 2/0", "xABx"},
    };
    for (const Case &c : cases) EXPECT_EQ(run(c.script, c.per_write, c.max_fds), Writes(c.writes, c.text)) << c.script;
}
