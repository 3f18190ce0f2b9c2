#include <gtest/gtest.h>

#include "tarnwick_dat/error.hpp"

namespace {

using tarnwick_dat::DatError;
using tarnwick_dat::IoError;

TEST(DatErrorDisplay, NotFoundShowsEightHexDigits) {
    EXPECT_EQ(DatError::not_found(0x1F).display(), "File ID 0000001F not found in provider");
    EXPECT_EQ(DatError::not_found(0).display(), "File ID 00000000 not found in provider");
    EXPECT_EQ(DatError::not_found(0x1F).debug(), "NotFound(31)");
}

TEST(DatErrorDisplay, IoWrapsTheUnexpectedEndText) {
    EXPECT_EQ(DatError::io(IoError::unexpected_eof()).display(),
              "IO error: failed to fill whole buffer");
}

}  // namespace
