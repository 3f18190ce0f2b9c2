// Reads the input as a random archive description (archive_description.hpp:
// block size, directory shape, files plain or compressed in contiguous,
// scattered, short or linked-on chains, font records, bare entries, ids
// added again), writes it with the archive writer and opens it: the
// directory must list exactly the entries written, the last one added for an
// id, every file must read back byte for byte under a strict fetch, and
// every font must decode to the record that was encoded.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>

#include "archive_description.hpp"

namespace {

using archive_description::FileDescription;
using archive_description::FileKind;
using tarnwick_dat::DatFileEntry;

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

// An in-memory file reachable by path, so the archive is opened the way a
// user's file is.
class MemoryFile {
  public:
    MemoryFile() : fd_(memfd_create("archive", 0)) { check(fd_ >= 0); }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    std::string path_with(const tarnwick_dat::Bytes& data) const {
        check(::ftruncate(fd_, 0) == 0 &&
              ::pwrite(fd_, data.data(), data.size(), 0) == static_cast<ssize_t>(data.size()));
        return "/proc/self/fd/" + std::to_string(fd_);
    }

  private:
    int fd_;
};

// The entry the directory must list for `file`.
DatFileEntry expected_entry(const FileDescription& file) {
    if (file.kind == FileKind::RawEntry) {
        return file.raw;
    }
    DatFileEntry entry;
    entry.id = file.id;
    entry.bit_flags = file.options.extra_flags | (file.options.compress ? 1u : 0u);
    entry.size = static_cast<std::uint32_t>(
        file.options.compress ? tarnwick_dat_writer::compress_lrs(file.bytes).size()
                              : file.bytes.size());
    entry.timestamp = file.options.timestamp;
    entry.version = file.options.version;
    return entry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const MemoryFile file;
    const auto description = archive_description::decode(std::span(data, size));

    tarnwick_dat_writer::ArchiveBuilder builder(description.block_size);
    builder.directory(description.directory);
    builder.header().magic = description.magic;
    builder.header().dataset = description.dataset;
    builder.header().subset = description.subset;
    builder.header().engine_version = description.engine_version;
    // The last file added under an id is the one the archive holds.
    std::map<std::uint32_t, const FileDescription*> latest;
    for (const FileDescription& wanted : description.files) {
        if (wanted.kind == FileKind::RawEntry) {
            builder.add_entry(wanted.raw);
        } else {
            builder.add_file(wanted.id, wanted.bytes, wanted.options);
        }
        latest[wanted.id] = &wanted;
    }
    const tarnwick_dat_writer::Layout layout = builder.layout();
    const tarnwick_dat::Bytes image = layout.archive.build();

    auto opened = tarnwick_dat::DatDatabase::open(file.path_with(image));
    check(opened.has_value());
    const tarnwick_dat::DatDatabase& database = opened.value();

    const tarnwick_dat::DatHeader& header = database.header();
    check(header.magic == description.magic && header.block_size == description.block_size &&
          header.dataset == description.dataset && header.subset == description.subset &&
          header.engine_version == description.engine_version && header.file_size == image.size() &&
          database.archive_length() == image.size());
    check(header.root_offset == (latest.empty() ? 0 : layout.node_offsets.front()));

    // Exactly the entries written, in id order, each node walked once in
    // the order the writer laid them out, nothing shadowed.
    const auto entries = database.files().entries();
    check(entries.size() == latest.size());
    check(std::equal(entries.begin(), entries.end(), layout.entries.begin(), layout.entries.end()));
    check(std::equal(database.node_offsets().begin(), database.node_offsets().end(),
                     layout.node_offsets.begin(), layout.node_offsets.end()));
    check(database.shadowed_entries().empty());

    auto entry = entries.begin();
    for (const auto& [id, wanted] : latest) {
        DatFileEntry want = expected_entry(*wanted);
        if (wanted->kind != FileKind::RawEntry) {
            want.offset = entry->offset;  // wherever the writer put the chain
        }
        check(*entry == want);
        ++entry;

        auto strict = database.get_file(id, tarnwick_dat::FetchOptions{true});
        check(strict.has_value() && strict.value() == wanted->bytes);
        auto lenient = database.get_file(id);
        check(lenient.has_value() && lenient.value() == wanted->bytes);
        auto decoded = database.decoded_size(id);
        check(decoded.has_value() && decoded.value() == wanted->bytes.size());
        if (wanted->font) {
            auto font = tarnwick_dat::decode_font(strict.value());
            check(font.has_value() && font.value() == *wanted->font);
        }
        check(database.file_type(id) ==
              tarnwick_dat::file_type::from_id_in_dat(id, database.dat_kind()));
    }

    // An id the archive does not list is not found, and nothing is read.
    std::uint32_t missing = 0;
    while (latest.count(missing) != 0) {
        ++missing;
    }
    auto absent = database.get_file(missing);
    check(!absent && absent.error().kind() == tarnwick_dat::DatErrorKind::NotFound);
    auto absent_size = database.decoded_size(missing);
    check(!absent_size && absent_size.error().kind() == tarnwick_dat::DatErrorKind::NotFound);
    return 0;
}
