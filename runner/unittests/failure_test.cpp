#include "runner/failure.hpp"

#include <gtest/gtest.h>

namespace {

TEST(EqualityFailureText, WithAndWithoutMessage) {
    EXPECT_EQ(runner::equality_failure_text("1", "2"),
              "assertion `left == right` failed\n  left: 1\n right: 2");
    EXPECT_EQ(runner::equality_failure_text("Misc", "Action", "why"),
              "assertion `left == right` failed: why\n  left: Misc\n right: Action");
}

TEST(AssertEq, ThrowsWithTheCallersLine) {
    try {
        runner::assert_eq(1, 2);
        FAIL() << "assert_eq did not throw";
    } catch (const runner::CaseFailure& failure) {
        EXPECT_EQ(failure.location().line, static_cast<std::uint32_t>(__LINE__ - 3));
        EXPECT_EQ(failure.message(), "assertion `left == right` failed\n  left: 1\n right: 2");
    }
    EXPECT_NO_THROW(runner::assert_eq(3, 3));
}

}  // namespace
