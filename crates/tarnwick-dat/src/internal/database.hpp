// What an opened archive is made of, behind `DatDatabase`'s handle: the file,
// its header, the block chains read through it and the directory.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "internal/mapped_array.hpp"
#include "tarnwick_dat/lib.hpp"

namespace tarnwick_dat {

struct DatDatabase::Parts {
    Parts(DatHeader header, ReadOnlyFile file, std::uint64_t archive_length)
        : header_(std::move(header)), file_(std::move(file)), archive_length_(archive_length) {}

    // Walks the directory from the header's root, filling the table.
    Result<void, DatError> read_directory();
    // One walk, appending the entries to `found` in key order (each node's
    // entries between its children's subtrees) or in walk order; returns
    // whether they came out strictly ascending.
    Result<bool, DatError> walk_directory(bool key_order, MappedArray<DatFileEntry>& found);
    // Gathers `length` bytes along the chain from `offset` (see
    // `DatDatabase::read_file_data_into`).
    Result<void, DatError> read_file_data_into(std::uint32_t offset, std::uint32_t length,
                                               Bytes& out, ChainTrace* trace = nullptr) const;

    DatHeader header_;
    FileTable files_;
    std::vector<std::uint32_t> nodes_;
    std::vector<DatFileEntry> shadowed_;
    ReadOnlyFile file_;
    std::uint64_t archive_length_ = 0;
};

}  // namespace tarnwick_dat
