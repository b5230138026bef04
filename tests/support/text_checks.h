#pragma once
// Checks on texts (logs, a program's output, dialog texts) that quote the whole text when they
// fail, so that a test need not repeat it after every check.

#include <gtest/gtest.h>

#include <string>

namespace telvane::testing {

// Whether `text` holds `what`: for EXPECT_TRUE, and EXPECT_FALSE for a text that must be absent.
inline ::testing::AssertionResult contains(const std::string &text, const std::string &what) {
    auto result = text.find(what) != std::string::npos ? ::testing::AssertionSuccess() : ::testing::AssertionFailure();
    return result << "looked for \"" << what << "\" in:\n" << text;
}

}  // namespace telvane::testing
