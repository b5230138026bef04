// libFuzzer target for the consent service's request reader: any bytes, in any pieces, give
// the same verdict, and a complete request always keeps to the identity's limits.
#include "request_parser.h"
#include "fuzz_target.h"

using telvane::consent::RequestParser;
using Progress = RequestParser::Progress;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the size of the pieces the rest arrives in.
    const size_t piece = 1 + data[0] % 7, n = size - 1;
    RequestParser whole, pieces;
    size_t taken_whole = 0;
    whole.feed(data + 1, n, &taken_whole);
    for (size_t at = 0, taken = 0; at < n && pieces.status() == Progress::NeedMore; at += taken) {
        const size_t len = std::min(piece, n - at);
        pieces.feed(data + 1 + at, len, &taken);
        if (taken > len) abort();
    }
    // The stream has ended: both have their verdict, the same one.
    if (whole.end_of_stream() != pieces.end_of_stream() || whole.status() == Progress::NeedMore) abort();
    if (whole.status() == Progress::Complete) {
        const std::string &id = whole.request().identity;
        if (id.size() > telvane::consent_wire::kMaxIdentity || id.find('\0') != std::string::npos ||
            id != pieces.request().identity || taken_whole != 4 + id.size() + 1)
            abort();
    }
    return 0;
}
