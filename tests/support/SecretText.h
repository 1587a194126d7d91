#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quillo::testing {

// Compares a secret without ever writing it into a failure message: only lengths are shown.
inline ::testing::AssertionResult sameSecret(const std::optional<std::string>& actual,
                                             const std::optional<std::string>& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    auto describe = [](const std::optional<std::string>& value) {
        return value ? "a secret of " + std::to_string(value->size()) + " bytes"
                     : std::string("no secret");
    };
    return ::testing::AssertionFailure()
           << "found " << describe(actual) << ", expected " << describe(expected);
}

}  // namespace quillo::testing
