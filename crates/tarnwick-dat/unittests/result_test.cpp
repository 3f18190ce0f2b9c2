// The result type behaves as std::expected does, so that callers can move to
// it by changing one alias.
#include "tarnwick_dat/result.hpp"

#include <gtest/gtest.h>

#include <string>

#include "tarnwick_dat/error.hpp"

namespace {

using tarnwick_dat::BadResultAccess;
using tarnwick_dat::DatError;
using tarnwick_dat::Err;
using tarnwick_dat::Result;

Result<int, DatError> found(int value) {
    return value;
}

Result<int, DatError> missing(std::uint32_t id) {
    return Err{DatError::not_found(id)};
}

TEST(Result, ValueOnAnErrorThrowsWithTheErrorsText) {
    auto result = missing(0x1F);
    EXPECT_FALSE(result.has_value());
    EXPECT_FALSE(static_cast<bool>(result));
    try {
        (void)result.value();
        FAIL() << "value() returned";
    } catch (const BadResultAccess& error) {
        EXPECT_STREQ(error.what(), "File ID 0000001F not found in provider");
    }
    const Result<void, DatError> failed = Err{DatError::other("no")};
    EXPECT_THROW(failed.value(), BadResultAccess);
    EXPECT_THROW((Result<int, std::string>(Err{std::string("text")}).value()), BadResultAccess);
}

TEST(Result, ChainsTheWayExpectedDoes) {
    const auto twice = [](int v) { return v * 2; };
    const auto checked = [](int v) -> Result<int, DatError> {
        if (v > 10) {
            return Err{DatError::other("too big")};
        }
        return v + 1;
    };
    EXPECT_EQ(found(3).value_or(-1), 3);
    EXPECT_EQ(missing(1).value_or(-1), -1);
    EXPECT_EQ(*found(3).transform(twice), 6);
    EXPECT_EQ(found(3).and_then(checked).value_or(-1), 4);
    EXPECT_EQ(found(30).and_then(checked).error().display(), "Other error: too big");
    EXPECT_EQ(missing(2).and_then(checked).error().kind(), tarnwick_dat::DatErrorKind::NotFound);
    EXPECT_EQ(missing(2).transform_error([](const DatError& e) { return e.display(); }).error(),
              "File ID 00000002 not found in provider");
    EXPECT_EQ(missing(2).or_else([](DatError&&) -> Result<int, DatError> { return 9; }).value(), 9);
    EXPECT_EQ(found(5).or_else([](DatError&&) -> Result<int, DatError> { return 9; }).value(), 5);
    int calls = 0;
    const Result<void, DatError> done = found(1).transform([&](int) { ++calls; });
    EXPECT_TRUE(done.has_value());
    EXPECT_EQ(calls, 1);
}

}  // namespace
