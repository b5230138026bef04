#pragma once
// A check that lines stand in a text (a log) in a given order, quoting the text when not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace telvane::testing {

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
