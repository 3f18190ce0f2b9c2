// The work budget of a pass over many files of one archive: entries whose
// chains overlap, loop or declare huge decoded sizes can make such a pass
// cost far more than the archive's size, in bytes decoded or in reads. Every
// pass over many files (verification, extraction, decoding a selection of
// fonts) checks its selection against one budget before doing any work.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "lib.hpp"

namespace tarnwick_dat {

/// The most work a pass over many files of one archive may do.
struct WorkBudget {
    /// Decoded bytes (stored bytes for plain files).
    std::uint64_t bytes = 0;
    /// Positional reads, counted as one per block a chain may pass.
    std::uint64_t reads = 0;
    /// The archive's length and block count it was scaled to.
    std::uint64_t archive_bytes = 0;
    std::uint64_t archive_blocks = 0;

    /// Bytes: `byte_factor` × the archive's length plus `byte_allowance`;
    /// reads: `read_factor` × its block count plus `read_allowance`.
    static WorkBudget for_archive(const DatDatabase& db, std::uint64_t byte_factor = 64,
                                  std::uint64_t byte_allowance = std::uint64_t{64} << 20,
                                  std::uint64_t read_factor = 16,
                                  std::uint64_t read_allowance = 65536);

    friend bool operator==(const WorkBudget&, const WorkBudget&) = default;
};

/// The most one file may cost.
struct WorkClaim {
    std::uint32_t id = 0;
    /// Its decoded size: the declared size for a compressed file, capped at
    /// what its stored bytes could yield (9 per byte); its stored size
    /// otherwise. An entry larger than the archive claims nothing: it is
    /// refused before any read.
    std::uint64_t bytes = 0;
    /// The blocks its chain passes when every block holds a full payload.
    std::uint64_t reads = 0;

    friend bool operator==(const WorkClaim&, const WorkClaim&) = default;
};

/// What a selection of files claims against a budget.
struct BudgetCheck {
    WorkBudget budget;
    /// Every file's claim, in the order given.
    std::vector<WorkClaim> claims;
    /// The sums of the claims.
    std::uint64_t bytes = 0;
    std::uint64_t reads = 0;

    /// True when both sums are within the budget.
    bool fits() const { return bytes <= budget.bytes && reads <= budget.reads; }
    /// Up to `count` claims, largest first (by their share of the budget,
    /// then by id).
    std::vector<WorkClaim> largest(std::size_t count = 5) const;
    /// One line: "the files claim 4096 bytes and 12 reads, more than the
    /// work budget of 1024 bytes and 100 reads for an archive of 16 bytes in
    /// 10 blocks; the largest: 0x01000001 (4096 bytes, 12 reads)".
    std::string describe() const;
};

/// The claim of `entry` in `db`. Reads a compressed file's size field only
/// when `exact` is set and the bound 9 × stored could matter; on a read
/// failure the bound stands.
WorkClaim work_claim(const DatDatabase& db, const DatFileEntry& entry, bool exact = true);

/// Checks `entries` against `budget`: claims with the cheap bound first,
/// reading the compressed files' declared sizes only when the bound does not
/// fit.
BudgetCheck check_budget(const DatDatabase& db, std::span<const DatFileEntry* const> entries,
                         const WorkBudget& budget);

}  // namespace tarnwick_dat
