// Coverage builds only, linked into every program: a program ended by SIGTERM or SIGINT writes
// its gcov counts first, so that what it ran before a test stopped it is counted.
#include <csignal>

extern "C" void __gcov_dump();

namespace {

void dump_and_end(int number) {
    __gcov_dump();
    std::signal(number, SIG_DFL);
    std::raise(number);
}

// A program that handles these signals itself replaces this and ends through exit(), which
// writes the counts anyway.
__attribute__((constructor)) void watch_for_the_end() {
    std::signal(SIGTERM, dump_and_end);
    std::signal(SIGINT, dump_and_end);
}

}  // namespace
