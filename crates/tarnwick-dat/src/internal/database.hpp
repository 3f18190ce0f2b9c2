// What an opened archive is made of, behind `DatDatabase`'s handle: the file,
// its header, the block chains read through it and the directory.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "internal/block_chain.hpp"
#include "internal/mapped_array.hpp"
#include "tarnwick_dat/lib.hpp"

namespace tarnwick_dat {

struct DatDatabase::Parts {
    Parts(DatHeader header, ReadOnlyFile file, std::uint64_t archive_length)
        : header_(std::move(header)),
          file_(std::move(file)),
          archive_length_(archive_length),
          chain_(file_, header_.block_size, archive_length_) {}

    // Walks the directory from the header's root, filling the table.
    Result<void, DatError> read_directory();
    // One walk, appending the entries to `found` in key order (each node's
    // entries between its children's subtrees) or in walk order; returns
    // whether they came out strictly ascending.
    Result<bool, DatError> walk_directory(bool key_order, MappedArray<DatFileEntry>& found);

    // The state of one walk (defined where the walk is).
    struct DirectoryWalk;
    // Reads the node at `node_offset` on `walk`'s way down: refuses a node
    // met before or more nodes than the file can hold, checks that its
    // entries lie within it, takes a leaf's entries (or any node's in walk
    // order) and leaves an inner node on the walk's stack.
    Result<void, DatError> visit_node(std::uint32_t node_offset, DirectoryWalk& walk);

    DatHeader header_;
    FileTable files_;
    std::vector<std::uint32_t> nodes_;
    std::vector<DatFileEntry> shadowed_;
    ReadOnlyFile file_;
    std::uint64_t archive_length_ = 0;
    // Reads through `file_`; the parts never move once made.
    BlockChain chain_;
};

}  // namespace tarnwick_dat
