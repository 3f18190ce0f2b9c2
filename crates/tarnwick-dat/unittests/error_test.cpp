#include "tarnwick_dat/error.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>

#include "internal/record_fields.hpp"
#include "tarnwick_dat/record_reader.hpp"

namespace {

using tarnwick_dat::ByteReader;
using tarnwick_dat::DatError;
using tarnwick_dat::DatErrorKind;
using tarnwick_dat::FieldSite;
using tarnwick_dat::IoError;
using tarnwick_dat::RecordReadError;

TEST(DatErrorDisplay, NotFoundShowsEightHexDigits) {
    EXPECT_EQ(DatError::not_found(0x1F).display(), "File ID 0000001F not found in provider");
    EXPECT_EQ(DatError::not_found(0).display(), "File ID 00000000 not found in provider");
    EXPECT_EQ(DatError::not_found(0x1F).debug(), "NotFound(31)");
}

TEST(DatErrorDisplay, IoWrapsTheUnexpectedEndText) {
    EXPECT_EQ(DatError::io(IoError::unexpected_eof()).display(),
              "IO error: failed to fill whole buffer");
}

struct Row {
    DatError error;
    DatErrorKind kind;
    std::string display;
    std::string debug;
};

TEST(DatErrorForms, EveryVariantDisplaysAndDebugs) {
    Row rows[] = {
        {DatError::io(IoError::unexpected_eof()), DatErrorKind::Io,
         "IO error: failed to fill whole buffer",
         R"(Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }))"},
        {DatError::io(IoError::from_os(EACCES)), DatErrorKind::Io,
         "IO error: Permission denied (os error 13)",
         R"(Io(Os { code: 13, kind: PermissionDenied, message: "Permission denied" }))"},
        {DatError::not_found(0xFFFFFFFF), DatErrorKind::NotFound,
         "File ID FFFFFFFF not found in provider", "NotFound(4294967295)"},
        {DatError::duplicate_id(0xAB), DatErrorKind::DuplicateId,
         "Duplicate File ID 000000AB detected", "DuplicateId(171)"},
        {DatError::duplicate_namespaced_id("portal", 0x40000012),
         DatErrorKind::DuplicateNamespacedId, "Duplicate namespaced file portal:40000012 detected",
         R"(DuplicateNamespacedId { namespace: "portal", file_id: 1073741842 })"},
        {DatError::invalid_magic("Font"), DatErrorKind::InvalidMagic,
         "Invalid magic for format: Font", R"(InvalidMagic("Font"))"},
        {DatError::unsupported_version(7), DatErrorKind::UnsupportedVersion,
         "Unsupported version: 7", "UnsupportedVersion(7)"},
        {DatError::invalid_namespace("cell\"x"), DatErrorKind::InvalidNamespace,
         "Invalid namespace: cell\"x", R"(InvalidNamespace("cell\"x"))"},
        {DatError::corruption("block size 4 is too small"), DatErrorKind::Corruption,
         "Corruption detected: block size 4 is too small",
         R"(Corruption("block size 4 is too small"))"},
        {DatError::decompression_failed(0x1F), DatErrorKind::DecompressionFailed,
         "Failed to recover compressed file 0000001F", "DecompressionFailed(31)"},
        {DatError::path_error("/no/such/portal.dat", IoError::from_os(ENOENT)),
         DatErrorKind::PathError,
         "Failed to open file at /no/such/portal.dat: No such file or directory (os error 2)",
         R"(PathError { path: "/no/such/portal.dat", source: Os { code: 2, kind: NotFound, )"
         R"(message: "No such file or directory" } })"},
        {DatError::other("line\nbreak"), DatErrorKind::Other, "Other error: line\nbreak",
         R"(Other("line\nbreak"))"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.display);
        EXPECT_EQ(row.error.kind(), row.kind);
        EXPECT_EQ(row.error.display(), row.display);
        EXPECT_EQ(fmt::format("{}", row.error), row.display);
        EXPECT_EQ(row.error.debug(), row.debug);
    }
}

TEST(DatErrorForms, BinReadShowsCauseAndFrames) {
    // A header source that ends right after its magic.
    const std::uint8_t bytes[] = {0x42, 0x54, 0, 0};
    ByteReader reader(bytes);
    const FieldSite magic{"DatHeader", "magic", "crates/tarnwick-dat/src/lib.hpp", 10};
    const FieldSite block{"DatHeader", "block_size", "crates/tarnwick-dat/src/lib.hpp", 11};
    ASSERT_TRUE(tarnwick_dat::read_field<std::uint32_t>(reader, magic).has_value());
    auto failed = tarnwick_dat::read_field<std::uint32_t>(reader, block);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(reader.position(), 4u);
    const DatError error = DatError::bin_read(std::move(failed).error());
    EXPECT_EQ(error.kind(), DatErrorKind::BinRead);
    ASSERT_EQ(error.record_error()->frames().size(), 1u);
    EXPECT_EQ(error.display(),
              "Binary read error: failed to fill whole buffer\n"
              " 0: While parsing field 'block_size' in DatHeader\n"
              "     at crates/tarnwick-dat/src/lib.hpp:11");
    EXPECT_EQ(error.debug(),
              R"(BinRead(RecordReadError { cause: Io(Error { kind: UnexpectedEof, message: )"
              R"("failed to fill whole buffer" }), context: ["While parsing field 'block_size' )"
              R"(in DatHeader at crates/tarnwick-dat/src/lib.hpp:11"] }))");
}

TEST(DatErrorForms, FramesStackInnermostFirst) {
    RecordReadError error = RecordReadError::custom("bad glyph");
    error.push_frame({"While parsing field 'x' in Inner", "a.hpp", 1});
    error.push_frame({"While parsing field 'inner' in Outer", "b.hpp", 2});
    EXPECT_EQ(error.io_cause(), nullptr);
    EXPECT_EQ(error.display(),
              "bad glyph\n 0: While parsing field 'x' in Inner\n     at a.hpp:1\n"
              " 1: While parsing field 'inner' in Outer\n     at b.hpp:2");
}

TEST(DatErrorForms, MovingKeepsEverything) {
    DatError original = DatError::path_error("x.dat", IoError::from_os(ENOENT));
    const DatError moved = std::move(original);
    EXPECT_EQ(moved.kind(), DatErrorKind::PathError);
    EXPECT_EQ(moved.path(), "x.dat");
    ASSERT_NE(moved.io_error(), nullptr);
    EXPECT_EQ(moved.io_error()->os_code(), 2);
}

TEST(DebugQuote, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(tarnwick_dat::debug_quote("a\"b\\c\td\r\n"), R"("a\"b\\c\td\r\n")");
    EXPECT_EQ(tarnwick_dat::debug_quote(std::string("\0\x01\x7f", 3)), R"("\0\u{1}\u{7f}")");
}

}  // namespace
