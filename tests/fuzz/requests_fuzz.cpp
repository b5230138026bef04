// libFuzzer target for the words of external requests and telepointer requests. Requests go
// through the program's gate, with a handler that runs a nested loop for some commands, taking
// the next messages inside it, as a pick or a dialog does; telepointer words go to the
// placement and distance rules. Handlers never nest beyond one level, a pick inside a pick is
// the only one let through at once, and a telepointer stays inside a parent it fits in.
#include "external/request_gate.h"
#include "telepointer/tele_rules.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const uint8_t *data_at = nullptr, *data_end = nullptr;
long clock_ms = 0;
int depth = 0, in_pick = 0;
// Each record: a control byte, then five 32-bit words.
constexpr size_t kRecord = 1 + 5 * 4;

void take_next();

void obey(const RequestWords &r) {
    if (in_pick) {
        // A pick asked for during a pick is answered at once and runs no loop of its own.
        if (r.w[0] != 11) std::abort();
        return;
    }
    if (++depth > 1) std::abort();
    // Picks, and every third command, wait in a nested loop that takes what comes meanwhile.
    if (r.w[0] == 11 || r.w[1] % 3 == 0) {
        in_pick = r.w[0] == 11;
        for (long n = r.w[2] & 15; n > 0 && data_end - data_at >= static_cast<long>(kRecord); --n) take_next();
        in_pick = 0;
    }
    --depth;
}

void take_next() {
    const uint8_t control = data_at[0];
    long w[5];
    for (int i = 0; i < 5; ++i) {
        int32_t v;
        memcpy(&v, data_at + 1 + 4 * i, 4);
        w[i] = v;
    }
    data_at += kRecord;
    clock_ms += control >> 5 == 7 ? 5000 : control >> 5;
    if (control & 0x10) {
        // Telepointer words: window (its size in the halves of word 1), x, y; origin picks the keep.
        const int width = static_cast<int>(w[1] & 0xffff), height = static_cast<int>((w[1] >> 16) & 0xffff);
        const int direction = control & 7;
        const TelePlace p = tele_place(direction, width, height, static_cast<int>(w[2]), static_cast<int>(w[3]), w[4] & 1);
        if (p.direction / 4 != direction / 4 || p.direction < 0 || p.direction > 7) std::abort();
        if (width >= TELE_SIZE && (p.left < 0 || p.left > width - TELE_SIZE)) std::abort();
        if (height >= TELE_SIZE && (p.top < 0 || p.top > height - TELE_SIZE)) std::abort();
        const long d = tele_distance(static_cast<int>(w[2]), static_cast<int>(w[3]), static_cast<int>(w[4]), 0);
        if (d < -1 || d >= 999999) std::abort();
        return;
    }
    const int format = (control & 0x0c) == 0 ? 8 : (control & 0x0c) == 4 ? 16 : 32;
    static const RequestGate gate{obey, [] { return in_pick != 0; }, [](const char *) {},
                                  [] { return clock_ms; }};
    take_request(format, RequestWords{{w[0] % 32, w[1], w[2], w[3], w[4]}}, gate);
    if (waiting_requests() > kWaitingRequests) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    data_at = data;
    data_end = data + size;
    while (data_end - data_at >= static_cast<long>(kRecord)) {
        take_next();
        // Back in the main loop, nothing waits.
        if (depth != 0 || waiting_requests() != 0) std::abort();
    }
    return 0;
}
