#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "internal/record_fields.hpp"
#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat_testing/bytes.hpp"
#include "tarnwick_dat_writer/archive_writer.hpp"

namespace {

using tarnwick_dat::ByteReader;
using tarnwick_dat::Bytes;
using tarnwick_dat::DatDatabase;
using tarnwick_dat::DatErrorKind;
using tarnwick_dat::DatFileEntry;
using tarnwick_dat::DatHeader;
using tarnwick_dat::DatKind;
using tarnwick_dat::FieldSite;
using tarnwick_dat::IoErrorKind;
using tarnwick_dat_writer::RawArchive;
using tarnwick_dat_writer::TempArchiveFile;

const char* const kHeaderFields[] = {
    "magic",          "block_size",   "file_size",     "dataset",        "subset",
    "free_head",      "free_tail",    "free_count",    "root_offset",    "new_lru",
    "old_lru",        "use_lru",      "master_map_id", "engine_version", "game_version",
    "version_string", "version_minor"};
const char* const kEntryFields[] = {"bit_flags", "id", "offset", "size", "timestamp", "version"};

using tarnwick_dat_testing::put_u32;

// An 80-byte header whose u32 fields are 0x01010101 * (index + 1) and whose
// version string is the bytes 0xA0..0xAF.
Bytes patterned_header() {
    Bytes bytes;
    for (std::uint32_t i = 0; i < 15; ++i) {
        put_u32(bytes, 0x01010101u * (i + 1));
    }
    for (std::uint8_t i = 0; i < 16; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(0xA0 + i));
    }
    put_u32(bytes, 0x11223344);
    return bytes;
}

// Index of the header field that holds byte `at`.
std::size_t header_field_at(std::size_t at) {
    if (at < 60) {
        return at / 4;
    }
    return at < 76 ? 15 : 16;
}

void expect_single_frame(const tarnwick_dat::RecordReadError& error, const char* record,
                         const char* field, const FieldSite& site) {
    ASSERT_NE(error.io_cause(), nullptr);
    EXPECT_EQ(error.io_cause()->kind(), IoErrorKind::UnexpectedEof);
    ASSERT_EQ(error.frames().size(), 1u);
    EXPECT_EQ(error.frames()[0].message,
              fmt::format("While parsing field '{}' in {}", field, record));
    EXPECT_EQ(error.frames()[0].file, "crates/tarnwick-dat/src/lib.hpp");
    EXPECT_EQ(error.frames()[0].line, site.line);
}

TEST(DatHeaderRead, DecodesEveryFieldLittleEndian) {
    const Bytes bytes = patterned_header();
    ByteReader reader(bytes);
    const auto header = DatHeader::read(reader);
    ASSERT_TRUE(header.has_value());
    const std::uint32_t fields[] = {
        header->magic,         header->block_size,     header->file_size,    header->dataset,
        header->subset,        header->free_head,      header->free_tail,    header->free_count,
        header->root_offset,   header->new_lru,        header->old_lru,      header->use_lru,
        header->master_map_id, header->engine_version, header->game_version,
    };
    for (std::uint32_t i = 0; i < 15; ++i) {
        EXPECT_EQ(fields[i], 0x01010101u * (i + 1)) << kHeaderFields[i];
    }
    ASSERT_EQ(header->version_string.size(), 16u);
    for (std::uint8_t i = 0; i < 16; ++i) {
        EXPECT_EQ(header->version_string[i], 0xA0 + i);
    }
    EXPECT_EQ(header->version_minor, 0x11223344u);
    EXPECT_EQ(reader.position(), 80u);
}

TEST(DatHeaderRead, EveryCutNamesTheFirstIncompleteField) {
    const Bytes full = patterned_header();
    const auto sites = tarnwick_dat::field_sites_of<tarnwick_dat::DatHeader>();
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        SCOPED_TRACE(fmt::format("header cut to {} bytes", cut));
        // Some bytes before the header show that the reader returns to the
        // header's start, not to 0.
        Bytes bytes(3 + cut, 0xCC);
        std::copy(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut), bytes.begin() + 3);
        ByteReader reader(bytes, 3);
        const auto header = DatHeader::read(reader);
        ASSERT_FALSE(header.has_value());
        const std::size_t field = header_field_at(cut);
        expect_single_frame(header.error(), "DatHeader", kHeaderFields[field], sites[field]);
        EXPECT_EQ(reader.position(), 3u);
    }
}

TEST(DatFileEntryRead, DecodesFieldsAndNamesTheFailingOne) {
    Bytes bytes;
    for (std::uint32_t value : {3u, 0x40000012u, 0x1000u, 77u, 0xDEADBEEFu, 9u}) {
        put_u32(bytes, value);
    }
    ByteReader reader(bytes);
    const auto entry = DatFileEntry::read(reader);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry.value(), (DatFileEntry{3, 0x40000012, 0x1000, 77, 0xDEADBEEF, 9}));
    EXPECT_TRUE(entry->is_compressed());

    const auto sites = tarnwick_dat::field_sites_of<tarnwick_dat::DatFileEntry>();
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        SCOPED_TRACE(fmt::format("entry cut to {} bytes", cut));
        ByteReader short_reader(std::span<const std::uint8_t>(bytes).first(cut));
        const auto failed = DatFileEntry::read(short_reader);
        ASSERT_FALSE(failed.has_value());
        expect_single_frame(failed.error(), "DatFileEntry", kEntryFields[cut / 4], sites[cut / 4]);
        EXPECT_EQ(short_reader.position(), 0u);
    }
}

TEST(DatFileEntry, CompressedIsBitZeroOnly) {
    const std::pair<std::uint32_t, bool> cases[] = {
        {0, false}, {1, true}, {2, false}, {3, true}, {0xFFFFFFFE, false}, {0xFFFFFFFF, true}};
    for (const auto& [flags, compressed] : cases) {
        DatFileEntry entry;
        entry.bit_flags = flags;
        EXPECT_EQ(entry.is_compressed(), compressed) << flags;
    }
}

// The field macro takes the name and the line of the declaration it stands in.
constexpr std::uint32_t kProbeLine = __LINE__ + 2;
struct Probe {
    TARNWICK_DAT_FIELD(std::uint32_t, value) = 0;
    TARNWICK_DAT_ENCODED_FIELD(count);
};
static_assert(Probe::value_field.line == kProbeLine && Probe::count_field.line == kProbeLine + 1);
static_assert(Probe::value_field.name == "value" && Probe::count_field.name == "count");

// Each record's description lists its fields in on-disk order, which is their
// declaration order: the sites name the record and its header, one per
// field, on lines that rise strictly.
TEST(FieldSites, FollowTheDeclarations) {
    const auto check = [](std::span<const FieldSite> sites, const char* record,
                          std::span<const char* const> fields) {
        ASSERT_EQ(sites.size(), fields.size());
        for (std::size_t i = 0; i < sites.size(); ++i) {
            EXPECT_EQ(sites[i].record, record);
            EXPECT_EQ(sites[i].field, fields[i]);
            EXPECT_EQ(sites[i].file, "crates/tarnwick-dat/src/lib.hpp");
            if (i > 0) {
                EXPECT_GT(sites[i].line, sites[i - 1].line) << sites[i].field;
            }
        }
    };
    check(tarnwick_dat::field_sites_of<tarnwick_dat::DatHeader>(), "DatHeader", kHeaderFields);
    check(tarnwick_dat::field_sites_of<tarnwick_dat::DatFileEntry>(), "DatFileEntry", kEntryFields);
    // The entry is declared before the header.
    EXPECT_LT(tarnwick_dat::field_sites_of<tarnwick_dat::DatFileEntry>().back().line,
              tarnwick_dat::field_sites_of<tarnwick_dat::DatHeader>().front().line);
}

TEST(DatKindOfHeader, FromMagicBlockSizeAndDataset) {
    struct Case {
        std::uint32_t magic, block_size, dataset;
        DatKind kind;
    };
    const Case cases[] = {
        {0x5442, 1024, 1, DatKind::Portal}, {0x5442, 1024, 2, DatKind::Local},
        {0x5442, 256, 2, DatKind::Cell},    {0x5442, 256, 1, DatKind::Local},
        {0x5442, 512, 1, DatKind::Local},   {0x5442, 512, 2, DatKind::Local},
        {0x5442, 1024, 0, DatKind::Local},  {0, 1024, 1, DatKind::Unknown},
        {0x4254, 256, 2, DatKind::Unknown}, {0x15442, 1024, 1, DatKind::Unknown},
    };
    for (const Case& c : cases) {
        DatHeader header;
        header.magic = c.magic;
        header.block_size = c.block_size;
        header.dataset = c.dataset;
        EXPECT_EQ(header.dat_kind(), c.kind)
            << fmt::format("magic {:#x} block {} dataset {}", c.magic, c.block_size, c.dataset);
    }
}

TEST(DatDatabaseOpen, BareHeaderWithNoDirectoryOpensEmpty) {
    RawArchive archive;
    archive.header.engine_version = 0x77;
    archive.header.version_string[0] = 'v';
    archive.header.version_minor = 5;
    const Bytes bytes = archive.build();
    ASSERT_EQ(bytes.size(), 400u);
    const TempArchiveFile file(bytes);
    auto db = DatDatabase::open(file.path());
    ASSERT_TRUE(db.has_value()) << db.error().display();
    EXPECT_TRUE(db->files().empty());
    EXPECT_EQ(db->header().magic, 0x5442u);
    EXPECT_EQ(db->header().block_size, 1024u);
    EXPECT_EQ(db->header().file_size, 400u);
    EXPECT_EQ(db->header().engine_version, 0x77u);
    EXPECT_EQ(db->header().version_string.size(), 16u);
    EXPECT_EQ(db->header().version_string[0], 'v');
    EXPECT_EQ(db->header().version_minor, 5u);
    EXPECT_EQ(db->dat_kind(), DatKind::Portal);
}

TEST(DatDatabaseOpen, HeaderValuesAreNotValidated) {
    struct Case {
        std::uint32_t magic, block_size, dataset;
        DatKind kind;
    };
    const Case cases[] = {{0, 1024, 1, DatKind::Unknown},
                          {0x5442, 256, 2, DatKind::Cell},
                          {0x5442, 5, 9, DatKind::Local},
                          {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, DatKind::Unknown}};
    for (const Case& c : cases) {
        RawArchive archive;
        archive.header.magic = c.magic;
        archive.header.block_size = c.block_size;
        archive.header.dataset = c.dataset;
        const TempArchiveFile file(archive.build());
        auto db = DatDatabase::open(file.path());
        ASSERT_TRUE(db.has_value()) << db.error().display();
        EXPECT_EQ(db->dat_kind(), c.kind);
    }
}

TEST(DatDatabaseOpen, MagicZeroWithADirectoryStillOpens) {
    tarnwick_dat_writer::ArchiveBuilder builder;
    builder.header().magic = 0;
    const std::uint8_t data[] = {1, 2, 3};
    builder.add_file(0x40000001, data);
    const TempArchiveFile file(builder.build());
    auto db = DatDatabase::open(file.path());
    ASSERT_TRUE(db.has_value()) << db.error().display();
    EXPECT_EQ(db->dat_kind(), DatKind::Unknown);
    EXPECT_EQ(db->files().size(), 1u);
}

TEST(DatDatabaseOpen, ShortFilesNameTheFirstIncompleteField) {
    const auto sites = tarnwick_dat::field_sites_of<tarnwick_dat::DatHeader>();
    struct Case {
        std::size_t length;
        std::size_t field;
    };
    const Case cases[] = {{0, 0},   {320, 0},  {323, 0},  {324, 1},  {330, 2},  {335, 3},
                          {352, 8}, {379, 14}, {380, 15}, {395, 15}, {396, 16}, {399, 16}};
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("file of {} bytes", c.length));
        RawArchive archive;
        archive.truncate(c.length);
        const TempArchiveFile file(archive.build());
        auto db = DatDatabase::open(file.path());
        ASSERT_FALSE(db.has_value());
        ASSERT_EQ(db.error().kind(), DatErrorKind::BinRead);
        expect_single_frame(*db.error().record_error(), "DatHeader", kHeaderFields[c.field],
                            sites[c.field]);
        EXPECT_TRUE(
            db.error().display().starts_with("Binary read error: failed to fill whole buffer"))
            << db.error().display();
    }
}

TEST(DatDatabaseOpen, MissingFileIsAPathError) {
    const std::filesystem::path path = "/nonexistent-tarnwick-dir/portal.dat";
    auto db = DatDatabase::open(path);
    ASSERT_FALSE(db.has_value());
    EXPECT_EQ(db.error().kind(), DatErrorKind::PathError);
    EXPECT_EQ(db.error().path(), path);
    ASSERT_NE(db.error().io_error(), nullptr);
    EXPECT_EQ(db.error().io_error()->kind(), IoErrorKind::NotFound);
    EXPECT_EQ(db.error().display(),
              "Failed to open file at /nonexistent-tarnwick-dir/portal.dat: No such file or "
              "directory (os error 2)");
}

TEST(DatDatabaseOpen, ADirectoryFailsOnTheHeaderRead) {
    // Opening a directory read-only succeeds; reading it fails, so this is
    // an Io error from the header read, not a crash or a hang.
    auto db = DatDatabase::open(std::filesystem::temp_directory_path());
    ASSERT_FALSE(db.has_value());
    EXPECT_EQ(db.error().kind(), DatErrorKind::BinRead);
}

TEST(DatDatabaseOpen, BlocksOfFourBytesOrLessAreRefused) {
    for (const std::uint32_t block_size : {0u, 1u, 3u, 4u}) {
        RawArchive archive;
        archive.header.block_size = block_size;
        const TempArchiveFile file(archive.build());
        auto db = DatDatabase::open(file.path());
        ASSERT_FALSE(db.has_value());
        EXPECT_EQ(db.error().kind(), DatErrorKind::Corruption);
        EXPECT_EQ(db.error().display(),
                  fmt::format("Corruption detected: block size {} is too small: each block needs "
                              "a 4-byte link and at least one byte of data",
                              block_size));
    }
}

}  // namespace
