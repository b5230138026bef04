// libFuzzer target for the consent service's request reader: any bytes, in any pieces, give
// the same verdict, and a complete request always keeps to the identity's limits.
#include "request_parser.h"
#include "fuzz_target.h"

using telvane::consent::RequestParser;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the size of the pieces the rest arrives in.
    const size_t piece = 1 + data[0] % 7;
    const uint8_t *bytes = data + 1;
    const size_t n = size - 1;

    RequestParser whole;
    size_t taken_whole = 0;
    whole.feed(bytes, n, &taken_whole);
    whole.end_of_stream();

    RequestParser pieces;
    size_t at = 0;
    while (at < n && pieces.status() == RequestParser::Progress::NeedMore) {
        size_t len = n - at < piece ? n - at : piece;
        size_t taken = 0;
        pieces.feed(bytes + at, len, &taken);
        if (taken > len) abort();
        at += taken;
        if (taken < len) break;
    }
    pieces.end_of_stream();

    if (whole.status() != pieces.status()) abort();
    if (whole.status() == RequestParser::Progress::NeedMore) abort();  // the stream has ended
    if (whole.status() == RequestParser::Progress::Complete) {
        const std::string &id = whole.request().identity;
        if (id.size() > telvane::consent::kMaxIdentityLength) abort();
        if (id.find('\0') != std::string::npos) abort();
        if (id != pieces.request().identity) abort();
        if (taken_whole != 4 + id.size() + 1) abort();
    }
    return 0;
}
