// The version pairs that the comparison of archives is tested on, as one
// table: each row an old and a new archive built with the writer and the
// changes expected between them, in ascending id order. The library's test
// checks the report on them, the tool's test its output and exit status.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <tarnwick_dat/diff.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>
#include <vector>

namespace tarnwick_dat_testing {

using tarnwick_dat::Bytes;
using tarnwick_dat::ChangeKind;

/// One file of a version.
struct FileSpec {
    std::uint32_t id;
    Bytes bytes;
    tarnwick_dat_writer::FileOptions options;
};

/// `n` bytes that differ with `seed`; compressible when `runs`.
inline Bytes pattern(std::size_t n, std::uint8_t seed, bool runs = false) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(runs ? seed + i / 64 : seed * 31 + i * 7 + i / 5);
    }
    return out;
}

/// The base version: a plain and a compressed Model, a Texture with a
/// timestamp and a small Font-typed file.
inline std::vector<FileSpec> base_files() {
    tarnwick_dat_writer::FileOptions dated;
    dated.timestamp = 1600000000;
    dated.version = 2;
    return {
        {0x01000001, pattern(200, 1), {}},
        {0x01000002, pattern(3000, 2, true), tarnwick_dat_writer::compressed()},
        {0x06000001, pattern(100, 3), dated},
        {0x40000001, pattern(50, 4), {}},
    };
}

/// A well-formed archive holding `files`, its directory in nodes of at most
/// `per_node` entries.
inline Bytes build_version(const std::vector<FileSpec>& files, std::size_t per_node = 61) {
    tarnwick_dat_writer::ArchiveBuilder builder;
    builder.directory({per_node, {}});
    for (const FileSpec& file : files) {
        builder.add_file(file.id, file.bytes, file.options);
    }
    return builder.build();
}

/// The same files stored elsewhere: added in reverse order, chains scattered,
/// a deeper directory.
inline Bytes build_other_layout(const std::vector<FileSpec>& files) {
    tarnwick_dat_writer::ArchiveBuilder builder;
    builder.directory({2, tarnwick_dat_writer::scattered()});
    for (auto file = files.rbegin(); file != files.rend(); ++file) {
        tarnwick_dat_writer::FileOptions options = file->options;
        options.chain = tarnwick_dat_writer::scattered();
        builder.add_file(file->id, file->bytes, options);
    }
    return builder.build();
}

/// `files` in one hand-made node whose first entry lists the first file's id
/// with other bytes; the walk lets the later entry win.
inline Bytes build_with_duplicate(const std::vector<FileSpec>& files) {
    tarnwick_dat_writer::RawArchive raw;
    tarnwick_dat_writer::NodeSpec root;
    const Bytes stale = pattern(77, 9);
    root.entries.push_back({0, files.front().id, raw.write_chain(stale),
                            static_cast<std::uint32_t>(stale.size()), 0, 0});
    for (const FileSpec& file : files) {
        const Bytes stored =
            file.options.compress ? tarnwick_dat_writer::compress_lrs(file.bytes) : file.bytes;
        root.entries.push_back({(file.options.compress ? 1u : 0u) | file.options.extra_flags,
                                file.id, raw.write_chain(stored),
                                static_cast<std::uint32_t>(stored.size()), file.options.timestamp,
                                file.options.version});
    }
    raw.header.root_offset = raw.write_node(root);
    return raw.build();
}

/// `files` with file `id` (compressed in the base) replaced by a payload cut
/// in half, which no strict fetch can decode.
inline std::vector<FileSpec> damaged(std::vector<FileSpec> files, std::uint32_t id) {
    for (FileSpec& file : files) {
        if (file.id == id) {
            Bytes payload = tarnwick_dat_writer::compress_lrs(file.bytes);
            payload.resize(payload.size() / 2);
            file.bytes = payload;
            file.options = tarnwick_dat_writer::with_flags(1);
        }
    }
    return files;
}

/// `files` changed by `edit`.
inline std::vector<FileSpec> edited(std::vector<FileSpec> files,
                                    const std::function<void(std::vector<FileSpec>&)>& edit) {
    edit(files);
    return files;
}

/// FileSpec of `id` in `files`.
inline FileSpec& file_of(std::vector<FileSpec>& files, std::uint32_t id) {
    for (FileSpec& file : files) {
        if (file.id == id) {
            return file;
        }
    }
    throw std::invalid_argument("no such file in the version");
}

/// A change the comparison must report.
struct ExpectedChange {
    std::uint32_t id;
    ChangeKind kind;
    /// Decoded sizes; none where a version lacks the file or cannot read it.
    std::optional<std::uint64_t> old_size;
    std::optional<std::uint64_t> new_size;
};

/// One row: two versions and what differs between them.
struct VersionPair {
    std::string name;
    Bytes old_archive;
    Bytes new_archive;
    std::vector<ExpectedChange> changes;
};

/// Every row of the table.
inline std::vector<VersionPair> version_pairs() {
    using tarnwick_dat_writer::compressed;
    const std::vector<FileSpec> base = base_files();
    const Bytes base_archive = build_version(base);
    auto with_added = edited(base, [](auto& f) { f.push_back({0x0A000001, pattern(40, 5), {}}); });
    auto without_texture = edited(base, [](auto& f) { f.erase(f.begin() + 2); });
    auto modified = edited(base, [](auto& f) { file_of(f, 0x01000001).bytes[17] ^= 1; });
    auto touched = edited(base, [](auto& f) { file_of(f, 0x06000001).options.timestamp += 60; });
    auto restored = edited(base, [](auto& f) { file_of(f, 0x40000001).options = compressed(); });
    auto several = edited(base, [](auto& f) {
        file_of(f, 0x01000001).bytes.resize(260, 0xEE);
        file_of(f, 0x06000001).options.version = 3;
        f.erase(f.begin() + 3);
        f.push_back({0x0A000001, pattern(40, 5), {}});
        f.push_back({0x0A000002, {}, {}});
    });
    return {
        {"identical", base_archive, base_archive, {}},
        {"added",
         base_archive,
         build_version(with_added),
         {{0x0A000001, ChangeKind::Added, {}, 40}}},
        {"removed",
         base_archive,
         build_version(without_texture),
         {{0x06000001, ChangeKind::Removed, 100, {}}}},
        {"modified",
         base_archive,
         build_version(modified),
         {{0x01000001, ChangeKind::Modified, 200, 200}}},
        {"timestamp only",
         base_archive,
         build_version(touched),
         {{0x06000001, ChangeKind::MetadataOnly, 100, 100}}},
        {"stored form only",
         base_archive,
         build_version(restored),
         {{0x40000001, ChangeKind::MetadataOnly, 50, 50}}},
        {"several together",
         base_archive,
         build_version(several),
         {{0x01000001, ChangeKind::Modified, 200, 260},
          {0x06000001, ChangeKind::MetadataOnly, 100, 100},
          {0x0A000001, ChangeKind::Added, {}, 40},
          {0x0A000002, ChangeKind::Added, {}, 0},
          {0x40000001, ChangeKind::Removed, 50, {}}}},
        {"damaged old",
         build_version(damaged(base, 0x01000002)),
         base_archive,
         {{0x01000002, ChangeKind::Unreadable, {}, 3000}}},
        {"damaged new",
         base_archive,
         build_version(damaged(with_added, 0x01000002)),
         {{0x01000002, ChangeKind::Unreadable, 3000, {}}, {0x0A000001, ChangeKind::Added, {}, 40}}},
        {"duplicate ids", build_with_duplicate(base), base_archive, {}},
        {"empty archives", build_version({}), build_version({}), {}},
        {"empty old",
         build_version({}),
         build_version(without_texture),
         {{0x01000001, ChangeKind::Added, {}, 200},
          {0x01000002, ChangeKind::Added, {}, 3000},
          {0x40000001, ChangeKind::Added, {}, 50}}},
        {"other layout", base_archive, build_other_layout(base), {}},
    };
}

}  // namespace tarnwick_dat_testing
