// The work budget of passes over many files.

#include "budget.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace tarnwick_dat {

namespace {

// No LRS stream yields more than this many bytes per stored byte.
constexpr std::uint64_t kMostPerStoredByte = 9;

__extension__ using u128 = unsigned __int128;

// A claim's share of the budget, the larger of its two parts, compared
// exactly as a fraction.
bool larger_share(const WorkClaim& a, const WorkClaim& b, const WorkBudget& budget) {
    const auto share = [&](const WorkClaim& c) {
        // bytes / budget.bytes against reads / budget.reads, in 128 bits.
        const u128 by_bytes = static_cast<u128>(c.bytes) * std::max<std::uint64_t>(budget.reads, 1);
        const u128 by_reads = static_cast<u128>(c.reads) * std::max<std::uint64_t>(budget.bytes, 1);
        return std::max(by_bytes, by_reads);
    };
    const auto sa = share(a);
    const auto sb = share(b);
    return sa != sb ? sa > sb : a.id < b.id;
}

}  // namespace

WorkBudget WorkBudget::for_archive(const DatDatabase& db, std::uint64_t byte_factor,
                                   std::uint64_t byte_allowance, std::uint64_t read_factor,
                                   std::uint64_t read_allowance) {
    WorkBudget budget;
    budget.archive_bytes = db.archive_length();
    const std::uint64_t block_size = std::max<std::uint64_t>(db.header().block_size, 1);
    budget.archive_blocks = (budget.archive_bytes + block_size - 1) / block_size;
    // Saturating: a budget that would overflow is no limit at all.
    const auto scaled = [](std::uint64_t factor, std::uint64_t base, std::uint64_t allowance) {
        if (factor != 0 && base > (UINT64_MAX - allowance) / factor) {
            return UINT64_MAX;
        }
        return factor * base + allowance;
    };
    budget.bytes = scaled(byte_factor, budget.archive_bytes, byte_allowance);
    budget.reads = scaled(read_factor, budget.archive_blocks, read_allowance);
    return budget;
}

WorkClaim work_claim(const DatDatabase& db, const DatFileEntry& entry, bool exact) {
    WorkClaim claim;
    claim.id = entry.id;
    // Entries larger than the file are refused before any read.
    if (entry.size > db.archive_length()) {
        return claim;
    }
    const std::uint64_t payload = db.header().block_size - kBlockLinkSize;
    claim.reads = (std::uint64_t{entry.size} + payload - 1) / payload;
    claim.bytes = entry.size;
    if (entry.is_compressed()) {
        claim.bytes = kMostPerStoredByte * entry.size;
        if (exact && entry.size >= 4) {
            if (auto declared = db.decoded_size(entry.id)) {
                claim.bytes = std::min(declared.value(), claim.bytes);
            }
        }
    }
    return claim;
}

BudgetCheck check_budget(const DatDatabase& db, std::span<const DatFileEntry* const> entries,
                         const WorkBudget& budget) {
    BudgetCheck check;
    check.budget = budget;
    check.claims.reserve(entries.size());
    for (const DatFileEntry* entry : entries) {
        check.claims.push_back(work_claim(db, *entry, false));
        check.bytes += check.claims.back().bytes;
        check.reads += check.claims.back().reads;
    }
    if (check.bytes <= budget.bytes) {
        return check;
    }
    // The bound is too high: find what the compressed entries declare.
    check.bytes = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i]->is_compressed()) {
            check.claims[i] = work_claim(db, *entries[i], true);
        }
        check.bytes += check.claims[i].bytes;
    }
    return check;
}

std::vector<WorkClaim> BudgetCheck::largest(std::size_t count) const {
    std::vector<WorkClaim> sorted = claims;
    const std::size_t shown = std::min(count, sorted.size());
    std::partial_sort(
        sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(shown), sorted.end(),
        [&](const WorkClaim& a, const WorkClaim& b) { return larger_share(a, b, budget); });
    sorted.resize(shown);
    return sorted;
}

std::string BudgetCheck::describe() const {
    std::string names;
    for (const WorkClaim& claim : largest()) {
        names += fmt::format("{}0x{:08X} ({} bytes, {} reads)", names.empty() ? "" : ", ", claim.id,
                             claim.bytes, claim.reads);
    }
    return fmt::format(
        "the files claim {} bytes and {} reads, more than the work budget of {} bytes and {} "
        "reads for an archive of {} bytes in {} blocks; the largest: {}",
        bytes, reads, budget.bytes, budget.reads, budget.archive_bytes, budget.archive_blocks,
        names);
}

}  // namespace tarnwick_dat
