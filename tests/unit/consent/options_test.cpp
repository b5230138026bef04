// The command line: defaults, both value forms, bad values, and what is left for the toolkit.
#include <gtest/gtest.h>

#include "options.h"

#include <tuple>

using namespace telvane::consent;

TEST(Options, DefaultsBothValueFormsToolkitOptionsInOrderAndMistakes) {
    // What a command line sets: where to listen, the mode and both time limits.
    const auto parsed = [](std::vector<std::string> args) {
        auto p = parse_options(args);
        EXPECT_TRUE(p.ok) << p.error;
        const Options &o = p.options;
        return std::tuple(o.listen_host, o.listen_port, o.mode, o.answer_timeout_seconds, o.read_timeout_seconds,
                          o.toolkit_args);
    };
    using Args = std::vector<std::string>;
    EXPECT_EQ(parsed({}), std::tuple("", 34590, AnswerMode::Ask, 30, 5, Args{}));
    EXPECT_EQ(parsed({"--listen", "127.0.0.1:0", "--timeout=5", "--read-timeout", "2", "--refuse-all"}),
              std::tuple("127.0.0.1", 0, AnswerMode::RefuseAll, 5, 2, Args{}));
    const Args toolkit{"-display", ":5", "-xrm", "*background: grey", "-iconic"};   // passed on in order
    EXPECT_EQ(parsed({"--listen=*:5000", "-display", ":5", "--accept-all", "--timeout", "3", "-xrm", "*background: grey",
                      "-iconic"}),
              std::tuple("", 5000, AnswerMode::AcceptAll, 3, 5, toolkit));
    const std::vector<Args> bad = {{"--timeout"}, {"--timeout", "0"}, {"--timeout", "1.5"}, {"--timeout", "86401"},
                                   {"--read-timeout=x"}, {"--listen", "1.2.3.4"}, {"--listen", "h:65536"},
                                   {"--listen", "h:12a"}, {"--frobnicate"}, {"--accept-all=yes"},
                                   {"--accept-all", "--refuse-all"}, {"stray"}};
    for (const auto &args : bad) {
        auto p = parse_options(args);
        EXPECT_FALSE(p.ok || p.error.empty()) << args.front() << (args.size() > 1 ? " " + args[1] : "");
    }
}
