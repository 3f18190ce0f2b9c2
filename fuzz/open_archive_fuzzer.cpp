// Opens arbitrary bytes as an archive, then fetches every file in it, both
// leniently and strictly and into a reused buffer, and decodes every one as
// a font record: everything must end in a value or a clean error, the errors
// must be the ones an archive can cause, the fetches must agree, and stored
// files must equal what following the chain's links block by block gives.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat/record_reader.hpp>

#include "internal/record_fields.hpp"
#include "memory_file.hpp"

namespace {

using tarnwick_dat::DatErrorKind;

// An in-memory file reachable by path, so the archive is opened the way a
// user's file is.
void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

// Damage in an archive shows as an I/O failure, an unreadable record or
// detected corruption; nothing else may come out of opening or fetching.
void check_archive_error(const tarnwick_dat::DatError& error) {
    const DatErrorKind kind = error.kind();
    if (kind != DatErrorKind::Io && kind != DatErrorKind::BinRead &&
        kind != DatErrorKind::Corruption) {
        std::abort();
    }
    if (error.display().empty() || error.debug().empty()) {
        std::abort();
    }
}

// True when `frame` is the frame of one of `sites`.
bool is_declared_field(const tarnwick_dat::ContextFrame& frame,
                       std::span<const tarnwick_dat::FieldSite> sites) {
    return std::any_of(sites.begin(), sites.end(), [&](const tarnwick_dat::FieldSite& site) {
        const tarnwick_dat::ContextFrame expected = tarnwick_dat::frame_for(site);
        return frame.message == expected.message && frame.file == expected.file &&
               frame.line == expected.line;
    });
}

// The bytes of a chain as the format describes it, one block at a time over
// the image: a link, then the payload (everything still missing from a block
// whose link is 0), until the length is gathered. Nothing when a block runs
// past the image. A length beyond the image cannot come from distinct bytes
// of it, so that is refused too. Left out of the fuzzer's coverage: its
// branches say nothing about the library, and with 5-byte blocks it walks
// thousands of blocks per file.
__attribute__((no_sanitize("coverage"))) std::optional<tarnwick_dat::Bytes> follow_links(
    std::span<const std::uint8_t> image, std::uint64_t block_size, std::uint64_t offset,
    std::uint64_t length) {
    if (length > image.size()) {
        return std::nullopt;
    }
    tarnwick_dat::Bytes out(length);
    std::uint64_t filled = 0;
    std::uint64_t block = offset;
    while (filled < length) {
        if (block + 4 > image.size()) {
            return std::nullopt;
        }
        const std::uint8_t* at = image.data() + block;
        const std::uint32_t link =
            static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
            static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
        const std::uint64_t missing = length - filled;
        const std::uint64_t take = link != 0 ? std::min(missing, block_size - 4) : missing;
        if (block + 4 + take > image.size()) {
            return std::nullopt;
        }
        std::memcpy(out.data() + filled, image.data() + block + 4, take);
        filled += take;
        block = link;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const tarnwick_fuzz::MemoryFile file;
    auto opened = tarnwick_dat::DatDatabase::open(file.path_with(data, size));
    if (!opened) {
        check_archive_error(opened.error());
        // An unreadable header or entry names the field, where it is declared.
        if (const auto* record = opened.error().record_error()) {
            check(!record->frames().empty());
            for (const tarnwick_dat::ContextFrame& frame : record->frames()) {
                check(is_declared_field(frame,
                                        tarnwick_dat::field_sites_of<tarnwick_dat::DatHeader>()) ||
                      is_declared_field(
                          frame, tarnwick_dat::field_sites_of<tarnwick_dat::DatFileEntry>()));
            }
        }
        return 0;
    }
    const tarnwick_dat::DatDatabase& database = opened.value();
    // Every entry that lost to a later one with its id is listed by id, the
    // id still having its winner in the table.
    const auto shadowed = database.shadowed_entries();
    for (std::size_t i = 0; i < shadowed.size(); ++i) {
        check(database.files().contains(shadowed[i].id));
        check(i == 0 || shadowed[i - 1].id <= shadowed[i].id);
    }
    std::uint32_t previous_id = 0;
    bool first = true;
    tarnwick_dat::Bytes reused;
    for (const tarnwick_dat::DatFileEntry& entry : database.files()) {
        // The table is in ascending id order, one entry per id.
        check(first || entry.id > previous_id);
        check(database.files().find(entry.id) == &entry);
        first = false;
        previous_id = entry.id;

        auto lenient = database.get_file(entry.id);
        auto strict = database.get_file(entry.id, tarnwick_dat::FetchOptions{true});
        if (!entry.is_compressed()) {
            // Stored files are exactly what following the links gives,
            // however the reader batches its reads or completes a loop.
            const auto expected = follow_links(std::span(data, size), database.header().block_size,
                                               entry.offset, entry.size);
            check(expected ? lenient && lenient.value() == *expected : !lenient);

            // A traced read gives the same bytes and meets each block once.
            tarnwick_dat::ChainTrace trace;
            auto traced = database.read_file_data(entry.offset, entry.size, &trace);
            check(traced.has_value() == lenient.has_value());
            if (traced) {
                check(traced.value() == lenient.value());
                check(trace.reads <= trace.blocks.size() + 1 + entry.size / (1u << 20));
                std::sort(trace.blocks.begin(), trace.blocks.end());
                check(std::adjacent_find(trace.blocks.begin(), trace.blocks.end()) ==
                      trace.blocks.end());
                check(entry.size == 0 || !trace.blocks.empty());
            }
        }
        if (!lenient) {
            check_archive_error(lenient.error());
            // The decoded size needs only the chain's first bytes: it may
            // still be known, or fail as the chain does.
            if (auto decoded = database.decoded_size(entry.id); !decoded) {
                check_archive_error(decoded.error());
            }
            // A chain that cannot be read fails the same way however the
            // stream would be judged.
            check(!strict && strict.error().display() == lenient.error().display());
            continue;
        }
        // The strict fetch refuses a chain that comes back to a block it has
        // read; the lenient one completes it from what the loop holds.
        tarnwick_dat::ChainTrace chain;
        const bool looped =
            database.read_file_data(entry.offset, entry.size, &chain).has_value() && chain.looped;
        if (looped) {
            check(!strict && strict.error().kind() == DatErrorKind::Corruption);
        } else if (!entry.is_compressed()) {
            // Stored files come back as stored, and strictness changes nothing.
            check(lenient.value().size() == entry.size);
            check(strict && strict.value() == lenient.value());
        } else if (strict) {
            check(strict.value() == lenient.value());
        } else {
            check(strict.error().kind() == DatErrorKind::DecompressionFailed);
        }
        // A caller's buffer gets the same bytes.
        check(database.read_file_into(entry.id, reused) && reused == lenient.value());

        auto decoded = database.decoded_size(entry.id);
        check(decoded.has_value());
        if (!entry.is_compressed() || strict) {
            check(decoded.value() == lenient.value().size());
        }
        (void)tarnwick_dat::decode_font(lenient.value());
    }
    return 0;
}
