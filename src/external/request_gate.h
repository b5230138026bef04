#pragma once
// The way in for external requests, without X: only client messages of format 32 count, one
// request is carried out at a time, and those that come meanwhile wait their turn in a bounded
// queue, so that no request runs inside another's nested loop.

// The five data words of a request: command, requester window, three arguments.
struct RequestWords {
    long w[5];
};

// What the gate needs of the program. The program passes its real handlers; the fuzz target
// passes its own.
struct RequestGate {
    // Carries one request out; may run nested event loops that bring more requests. A pick
    // asked for while another runs must be answered at once as not picked.
    void (*obey)(const RequestWords &words);
    // Whether a pick holds the pointer now.
    bool (*picking)();
    int (*log)(const char *line);
    // A clock in milliseconds that never goes back.
    long (*now_ms)();
};

// Requests that may wait while one is carried out; more are dropped, with one log line until
// the queue has emptied again.
constexpr int kWaitingRequests = 256;

enum class RequestFate { Ignored, Obeyed, Waiting, Dropped, NotPicked };

// Takes one client message of the request type with its `format`. Called by the main loop
// (through take_external_request) for every request it is to obey.
RequestFate take_request(int format, const RequestWords &words, const RequestGate &gate);

// True when a message of one of the program's protocols has format 32, the only one they use;
// otherwise logs the first of a burst of such messages and returns false. A burst ends with a
// message of format 32 or after two seconds without another of the wrong format, so a flood
// costs one line however long it lasts. Called for requests and telepointer messages alike.
bool protocol_format_ok(int format, long now_ms, int (*log)(const char *line));

// The monotonic clock the program passes as `now_ms`.
long monotonic_ms();
