// The command line: defaults, both value forms, bad values, and what is left for the toolkit.
#include <gtest/gtest.h>

#include "options.h"

using namespace telvane::consent;

TEST(Options, DefaultsAndBothValueForms) {
    auto p = parse_options({});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.listen_host, "");
    EXPECT_EQ(p.options.listen_port, 34590);
    EXPECT_EQ(p.options.mode, AnswerMode::Ask);

    p = parse_options({"--listen", "127.0.0.1:0", "--timeout=5", "--read-timeout", "2", "--refuse-all"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.listen_host, "127.0.0.1");
    EXPECT_EQ(p.options.listen_port, 0);
    EXPECT_EQ(p.options.answer_timeout_seconds, 5);
    EXPECT_EQ(p.options.read_timeout_seconds, 2);
    EXPECT_EQ(p.options.mode, AnswerMode::RefuseAll);

    p = parse_options({"--listen=*:5000", "--accept-all"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.listen_host, "");
    EXPECT_EQ(p.options.listen_port, 5000);
    EXPECT_EQ(p.options.mode, AnswerMode::AcceptAll);
}

TEST(Options, MistakesAreErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {"--timeout"},          {"--timeout", "0"},     {"--timeout", "-3"},     {"--timeout", "1.5"},
        {"--timeout", "86401"}, {"--read-timeout=x"},   {"--listen", "1.2.3.4"}, {"--listen", "host:"},
        {"--listen", "h:65536"}, {"--listen", "h:12a"}, {"--frobnicate"},        {"--accept-all=yes"},
        {"--accept-all", "--refuse-all"},               {"stray"},
    };
    for (const auto &args : bad) {
        auto p = parse_options(args);
        EXPECT_FALSE(p.ok) << args.front() << (args.size() > 1 ? " " + args[1] : "");
        EXPECT_FALSE(p.error.empty());
    }
}

TEST(Options, ToolkitOptionsPassThroughInOrder) {
    auto p = parse_options({"-display", ":5", "--timeout", "3", "-xrm", "*background: grey", "-iconic"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.answer_timeout_seconds, 3);
    EXPECT_EQ(p.options.toolkit_args,
              (std::vector<std::string>{"-display", ":5", "-xrm", "*background: grey", "-iconic"}));
}
