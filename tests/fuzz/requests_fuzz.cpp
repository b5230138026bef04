// libFuzzer target for request and telepointer words: requests through the gate to a handler that
// takes the next ones inside its own wait (as a pick or a dialog does), never nested but for a
// pick refused during a pick; telepointer words to the placement rules.
#include "external/request_gate.h"
#include "telepointer/tele_rules.h"
#include "fuzz_target.h"

namespace {

// Each record: a control byte, then five 32-bit words.
constexpr long kRecord = 21;
const uint8_t *at = nullptr, *end = nullptr;
long now = 0, obeyed = 0, let_in = 0;
int depth = 0, picking = 0;

void take_next();

void obey(const RequestWords &r) {
    ++obeyed;
    if (picking) {
        if (r.w[0] != 11) std::abort();
        return;
    }
    if (depth++) std::abort();
    picking = r.w[0] == 11;
    if (picking || r.w[1] % 3 == 0)
        for (long n = r.w[2] & 15; n > 0 && end - at >= kRecord; --n) take_next();
    picking = 0;
    --depth;
}

void take_next() {
    const uint8_t control = at[0];
    int32_t w[5];
    memcpy(w, at + 1, sizeof w);
    at += kRecord;
    now += control >> 5 == 7 ? 5000 : control >> 5;
    if (control & 0x10) {
        // The parent's size in the halves of word 1, the point in words 2 and 3.
        const int width = w[1] & 0xffff, height = (w[1] >> 16) & 0xffff, direction = control & 7;
        const TelePlace p = tele_place(direction, width, height, w[2], w[3], w[4] & 1);
        if (p.direction / 4 != direction / 4 || (width >= TELE_SIZE && (p.left < 0 || p.left > width - TELE_SIZE)) ||
            (height >= TELE_SIZE && (p.top < 0 || p.top > height - TELE_SIZE)) || tele_distance(w[2], w[3], w[4], 0) >= 999999)
            std::abort();
        return;
    }
    static const RequestGate gate{obey, [] { return picking != 0; }, [](const char *) { return 1; }, [] { return now; }};
    const int format = (control & 0xc) == 0 ? 8 : (control & 0xc) == 4 ? 16 : 32;
    const RequestFate fate = take_request(format, RequestWords{{w[0] % 32, w[1], w[2], w[3], w[4]}}, gate);
    let_in += fate == RequestFate::Obeyed || fate == RequestFate::Waiting || fate == RequestFate::NotPicked;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (at = data, end = data + size; end - at >= kRecord;) {
        take_next();
        if (depth || obeyed != let_in) std::abort();
    }
    return 0;
}
