// The gate of external requests: format check, one request at a time, a bounded queue.
#include "request_gate.h"

#include "request_codes.h"

#include <cstdio>
#include <ctime>

namespace {

// Two seconds without a message of the wrong format end its burst.
constexpr long kBurstGapMs = 2000;

RequestWords waiting[kWaitingRequests];
int first_waiting = 0, waiting_count = 0;
bool obeying = false;
bool dropping = false;
bool in_bad_burst = false;
long last_bad_ms = 0;

}  // namespace

bool protocol_format_ok(int format, long now_ms, int (*log)(const char *line)) {
    if (format == 32) {
        in_bad_burst = false;
        return true;
    }
    if (!in_bad_burst || now_ms - last_bad_ms > kBurstGapMs) {
        char line[96];
        snprintf(line, sizeof line, "Client message of format %d ignored (and any like it that follow at once)",
                 format);
        log(line);
    }
    in_bad_burst = true;
    last_bad_ms = now_ms;
    return false;
}

RequestFate take_request(int format, const RequestWords &words, const RequestGate &gate) {
    if (!protocol_format_ok(format, gate.now_ms(), gate.log)) return RequestFate::Ignored;
    if (obeying) {
        // A pick refuses at once while another runs; waiting instead would hold the pointer
        // again for every pick asked for meanwhile.
        if (words.w[0] == telvane::request_codes::kPick && gate.picking()) {
            gate.obey(words);
            return RequestFate::NotPicked;
        }
        if (waiting_count == kWaitingRequests) {
            if (!dropping) gate.log("External requests dropped: too many waiting for the one in progress");
            dropping = true;
            return RequestFate::Dropped;
        }
        waiting[(first_waiting + waiting_count++) % kWaitingRequests] = words;
        return RequestFate::Waiting;
    }
    obeying = true;
    gate.obey(words);
    while (waiting_count > 0) {
        const RequestWords next = waiting[first_waiting];
        first_waiting = (first_waiting + 1) % kWaitingRequests;
        --waiting_count;
        gate.obey(next);
    }
    dropping = false;
    obeying = false;
    return RequestFate::Obeyed;
}

long monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}
