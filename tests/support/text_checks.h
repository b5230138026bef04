#pragma once
// Checks on texts (logs, a program's output, dialog texts) that quote the whole text when they
// fail, so that a test need not repeat it after every check.

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace telvane::testing {

// Whether `text` holds `what`: for EXPECT_TRUE, and EXPECT_FALSE for a text that must be absent.
inline ::testing::AssertionResult contains(const std::string &text, const std::string &what) {
    auto result = text.find(what) != std::string::npos ? ::testing::AssertionSuccess() : ::testing::AssertionFailure();
    return result << "looked for \"" << what << "\" in:\n" << text;
}

// Whether each of `lines` is found in `text` after the one before it.
inline ::testing::AssertionResult in_order(const std::string &text, const std::vector<std::string> &lines) {
    size_t at = 0;
    for (const auto &line : lines) {
        size_t found = text.find(line, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "missing or out of order: " << line << "\nin:\n" << text;
        at = found + line.size();
    }
    return ::testing::AssertionSuccess();
}

}  // namespace telvane::testing
