// Comparing two versions. The ids of both sides are merged into one list of
// pairs (an index on each side, or none), which workers take in chunks. For
// each pair a worker fetches the old file into its one buffer and hashes it,
// then the new one into the same buffer: a file is never held on both sides
// at once, and a large one is hashed in pieces, never held whole. Changes go to the worker's own
// list and are merged in id order at the end, so the report does not depend on the thread count.

#include "diff.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "internal/file_hash.hpp"
#include "internal/parallel.hpp"

namespace tarnwick_dat {

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
// Files a worker takes at once.
constexpr std::size_t kChunk = 32;

// The entry index of one id on each side (kNone: not listed).
struct Pair {
    std::uint32_t old_index;
    std::uint32_t new_index;
};

// One side seen through the same questions, archive or manifest.
class Side {
  public:
    explicit Side(const DiffSide& side) : side_(side) {}

    std::size_t size() const {
        return side_.database() != nullptr ? side_.database()->files().size()
                                           : side_.manifest()->size();
    }
    const DatFileEntry& entry(std::size_t index) const {
        return side_.database() != nullptr ? side_.database()->files().entries()[index]
                                           : side_.manifest()->entries()[index].entry;
    }
    DatFileType type(std::size_t index) const {
        return side_.database() != nullptr ? side_.database()->file_type(entry(index).id)
                                           : side_.manifest()->entries()[index].type;
    }
    std::optional<std::size_t> find(std::uint32_t id) const {
        if (side_.database() != nullptr) {
            const DatFileEntry* found = side_.database()->files().find(id);
            if (found == nullptr) {
                return std::nullopt;
            }
            return static_cast<std::size_t>(found - side_.database()->files().begin());
        }
        return side_.manifest()->find(id);
    }

    struct Content {
        std::optional<std::uint64_t> size;  // none: unreadable
        ContentHash hash;
        std::string error;
    };

    // The decoded size and hash of entry `index`, fetched into `buffer`.
    Content content(std::size_t index, Bytes& buffer, ContentHasher& hasher) const {
        Content content;
        if (const DatDatabase* db = side_.database()) {
            auto read = hash_file(*db, entry(index), buffer, hasher);
            if (!read) {
                content.error = read.error().display();
                return content;
            }
            content.hash = read->hash;
            content.size = read->size;
            return content;
        }
        const Manifest& manifest = *side_.manifest();
        const auto hash = manifest.hash(index);
        if (!hash) {
            content.error = "the manifest has no hash of it (it could not be read when listed)";
            return content;
        }
        content.hash = *hash;
        content.size = manifest.entries()[index].decoded().value_or(0);
        return content;
    }

  private:
    DiffSide side_;
};

bool same_metadata(const DatFileEntry& a, const DatFileEntry& b) {
    return a.bit_flags == b.bit_flags && a.size == b.size && a.timestamp == b.timestamp &&
           a.version == b.version;
}

struct Worker {
    explicit Worker(HashAlgorithm algorithm) : hasher(algorithm) {}
    Bytes buffer;
    ContentHasher hasher;
    std::vector<Change> changes;
};

// The pairs of every selected id either side lists, ascending; the ids
// asked for that neither lists go to `missing`.
std::vector<Pair> select_pairs(const Side& old_side, const Side& new_side,
                               const DiffOptions& options, std::vector<std::uint32_t>& missing) {
    std::vector<Pair> pairs;
    const bool everything = options.ids.empty() && options.types.empty();
    std::vector<std::uint32_t> ids = options.ids;
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    auto selected = [&](const Side& side, std::size_t index) {
        if (everything) {
            return true;
        }
        if (std::binary_search(ids.begin(), ids.end(), side.entry(index).id)) {
            return true;
        }
        return std::find(options.types.begin(), options.types.end(), side.type(index)) !=
               options.types.end();
    };
    const std::size_t old_count = old_side.size();
    const std::size_t new_count = new_side.size();
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < old_count || j < new_count) {
        const std::uint32_t old_id = i < old_count ? old_side.entry(i).id : kNone;
        const std::uint32_t new_id = j < new_count ? new_side.entry(j).id : kNone;
        Pair pair{kNone, kNone};
        bool keep = false;
        if (j >= new_count || (i < old_count && old_id < new_id)) {
            pair.old_index = static_cast<std::uint32_t>(i);
            keep = selected(old_side, i++);
        } else if (i >= old_count || new_id < old_id) {
            pair.new_index = static_cast<std::uint32_t>(j);
            keep = selected(new_side, j++);
        } else {
            pair = {static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)};
            keep = selected(old_side, i++);
            keep = selected(new_side, j++) || keep;
        }
        if (keep) {
            pairs.push_back(pair);
        }
    }
    for (const std::uint32_t id : ids) {
        if (!old_side.find(id) && !new_side.find(id)) {
            missing.push_back(id);
        }
    }
    return pairs;
}

void compare(const Side& old_side, const Side& new_side, const Pair& pair, Worker& w) {
    Change change;
    std::optional<Side::Content> old_content;
    std::optional<Side::Content> new_content;
    if (pair.old_index != kNone) {
        change.old_entry = old_side.entry(pair.old_index);
        change.id = change.old_entry->id;
        change.type = old_side.type(pair.old_index);
        old_content = old_side.content(pair.old_index, w.buffer, w.hasher);
        change.old_size = old_content->size;
        if (!old_content->size) {
            change.old_error = std::move(old_content->error);
        }
    }
    if (pair.new_index != kNone) {
        change.new_entry = new_side.entry(pair.new_index);
        change.id = change.new_entry->id;
        change.type = new_side.type(pair.new_index);
        new_content = new_side.content(pair.new_index, w.buffer, w.hasher);
        change.new_size = new_content->size;
        if (!new_content->size) {
            change.new_error = std::move(new_content->error);
        }
    }
    if (change.old_error || change.new_error) {
        change.kind = ChangeKind::Unreadable;
    } else if (!old_content) {
        change.kind = ChangeKind::Added;
    } else if (!new_content) {
        change.kind = ChangeKind::Removed;
    } else if (old_content->hash != new_content->hash) {
        change.kind = ChangeKind::Modified;
    } else if (!same_metadata(*change.old_entry, *change.new_entry)) {
        change.kind = ChangeKind::MetadataOnly;
    } else {
        return;
    }
    w.changes.push_back(std::move(change));
}

void add_to(ChangeTotals& totals, const Change& change) {
    ++totals.files;
    totals.old_bytes += change.old_size.value_or(0);
    totals.new_bytes += change.new_size.value_or(0);
}

}  // namespace

std::string_view change_kind_name(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::Added:
            return "added";
        case ChangeKind::Removed:
            return "removed";
        case ChangeKind::Modified:
            return "modified";
        case ChangeKind::MetadataOnly:
            return "metadata_only";
        case ChangeKind::Unreadable:
            return "unreadable";
    }
    return "?";
}

char change_kind_letter(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::Added:
            return 'A';
        case ChangeKind::Removed:
            return 'D';
        case ChangeKind::Modified:
            return 'M';
        case ChangeKind::MetadataOnly:
            return 'T';
        case ChangeKind::Unreadable:
            return 'U';
    }
    return '?';
}

std::string DiffReport::summary() const {
    auto files = [&](ChangeKind kind) { return by_kind[static_cast<std::size_t>(kind)].files; };
    return fmt::format(
        "{} file{} compared, {} differ: {} added, {} removed, {} modified, {} metadata-only, {} "
        "unreadable",
        compared, compared == 1 ? "" : "s", changes.size(), files(ChangeKind::Added),
        files(ChangeKind::Removed), files(ChangeKind::Modified), files(ChangeKind::MetadataOnly),
        files(ChangeKind::Unreadable));
}

std::string DiffError::display() const {
    return fmt::format("the manifests hold hashes of different kinds ({} and {})",
                       hash_algorithm_name(old_hash), hash_algorithm_name(new_hash));
}

Result<DiffReport, DiffError> diff_archives(const DiffSide& old_side, const DiffSide& new_side,
                                            const DiffOptions& options) {
    DiffReport report;
    // A manifest's hashes decide the algorithm.
    std::optional<HashAlgorithm> old_hash =
        old_side.manifest() != nullptr ? old_side.manifest()->algorithm() : std::nullopt;
    std::optional<HashAlgorithm> new_hash =
        new_side.manifest() != nullptr ? new_side.manifest()->algorithm() : std::nullopt;
    if (old_hash && new_hash && *old_hash != *new_hash) {
        return Err{DiffError{*old_hash, *new_hash}};
    }
    report.hash = old_hash.value_or(new_hash.value_or(options.hash));

    const Side old_view(old_side);
    const Side new_view(new_side);
    const std::vector<Pair> pairs = select_pairs(old_view, new_view, options, report.missing);
    report.compared = pairs.size();

    const unsigned count = detail::worker_count(options.threads, pairs.size(), kChunk);
    std::vector<Worker> workers;
    workers.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        workers.emplace_back(report.hash);
    }
    detail::run_in_chunks(pairs.size(), count, kChunk, options.progress,
                          [&](unsigned worker, std::size_t item) {
                              compare(old_view, new_view, pairs[item], workers[worker]);
                          });

    for (Worker& w : workers) {
        report.changes.insert(report.changes.end(), std::make_move_iterator(w.changes.begin()),
                              std::make_move_iterator(w.changes.end()));
    }
    workers.clear();
    std::sort(report.changes.begin(), report.changes.end(),
              [](const Change& a, const Change& b) { return a.id < b.id; });

    for (const Change& change : report.changes) {
        const auto kind = static_cast<std::size_t>(change.kind);
        add_to(report.by_kind[kind], change);
        auto at = std::find_if(report.by_type.begin(), report.by_type.end(),
                               [&](const TypeTotals& t) { return t.type == change.type; });
        if (at == report.by_type.end()) {
            report.by_type.push_back(TypeTotals{change.type, {}});
            at = report.by_type.end() - 1;
        }
        add_to(at->kinds[kind], change);
    }
    std::sort(report.by_type.begin(), report.by_type.end(),
              [](const TypeTotals& a, const TypeTotals& b) { return name(a.type) < name(b.type); });
    return report;
}

}  // namespace tarnwick_dat
