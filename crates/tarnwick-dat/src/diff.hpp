// What changed between two versions of an archive, file by file: added,
// removed, modified (other decoded bytes), metadata-only (the same decoded
// bytes under another timestamp, version, flags or stored form) or
// unreadable on either side. Either version may be an opened archive or a
// manifest (a saved listing with content hashes), so that an old version can
// be compared after the archive itself is gone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "content_hash.hpp"
#include "file_type/mod.hpp"
#include "lib.hpp"
#include "manifest.hpp"
#include "result.hpp"

namespace tarnwick_dat {

/// How a file differs between the old and the new version.
enum class ChangeKind : std::uint8_t {
    /// Only the new version lists it.
    Added,
    /// Only the old version lists it.
    Removed,
    /// Both list it, with other decoded bytes.
    Modified,
    /// Both list it with the same decoded bytes, but another timestamp,
    /// version, flags or stored size (the position of its blocks does not
    /// count).
    MetadataOnly,
    /// A version lists it but its bytes cannot be fetched (or, from a
    /// manifest, were not when it was made): nothing is said of its content.
    Unreadable,
};

/// Number of `ChangeKind` variants.
inline constexpr std::size_t kChangeKindCount = 5;
/// Every `ChangeKind`, in declaration order.
inline constexpr std::array<ChangeKind, kChangeKindCount> kAllChangeKinds = {
    ChangeKind::Added, ChangeKind::Removed, ChangeKind::Modified, ChangeKind::MetadataOnly,
    ChangeKind::Unreadable};

/// The stable lower-case name of `kind`: "added", "removed", "modified",
/// "metadata_only", "unreadable".
std::string_view change_kind_name(ChangeKind kind);
/// The one-letter status of `kind`, as `git diff --name-status` prints it:
/// 'A', 'D', 'M', 'T' (metadata-only: touched), 'U' (unreadable).
char change_kind_letter(ChangeKind kind);

/// One file that differs.
struct Change {
    std::uint32_t id = 0;
    ChangeKind kind = ChangeKind::Modified;
    /// The file's type in the new version's kind (the old one's for a file
    /// only the old version lists).
    DatFileType type = DatFileType::Unknown;
    /// The directory entries; none on the side that does not list the file.
    std::optional<DatFileEntry> old_entry;
    std::optional<DatFileEntry> new_entry;
    /// The decoded sizes; none on a side that does not list the file or
    /// cannot read it.
    std::optional<std::uint64_t> old_size;
    std::optional<std::uint64_t> new_size;
    /// Why a side's bytes could not be read (kind `Unreadable`), on one line.
    std::optional<std::string> old_error;
    std::optional<std::string> new_error;

    friend bool operator==(const Change&, const Change&) = default;
};

/// Files and decoded bytes of the changes of one kind (bytes of a side that
/// does not list or cannot read the file count 0).
struct ChangeTotals {
    std::uint64_t files = 0;
    std::uint64_t old_bytes = 0;
    std::uint64_t new_bytes = 0;

    friend bool operator==(const ChangeTotals&, const ChangeTotals&) = default;
};

/// The totals of one file type, by change kind (indexed by the kind's value).
struct TypeTotals {
    DatFileType type = DatFileType::Unknown;
    std::array<ChangeTotals, kChangeKindCount> kinds{};

    friend bool operator==(const TypeTotals&, const TypeTotals&) = default;
};

/// Every change, in ascending id order, and their totals.
struct DiffReport {
    std::vector<Change> changes;
    /// Files compared: the selected ids either version lists.
    std::uint64_t compared = 0;
    /// Totals by change kind (indexed by the kind's value).
    std::array<ChangeTotals, kChangeKindCount> by_kind{};
    /// Totals of each file type that has a change, ordered by type name.
    std::vector<TypeTotals> by_type;
    /// Ids asked for that neither version lists, ascending.
    std::vector<std::uint32_t> missing;
    /// The content hash the comparison used.
    HashAlgorithm hash = HashAlgorithm::Xxh3;

    /// True when no selected file differs.
    bool identical() const { return changes.empty(); }
    /// True when a change is `Unreadable`.
    bool unreadable() const {
        return by_kind[static_cast<std::size_t>(ChangeKind::Unreadable)].files > 0;
    }
    /// One line: "120 files compared, 5 differ: 1 added, 1 removed, 2
    /// modified, 1 metadata-only, 0 unreadable".
    std::string summary() const;
};

/// One version to compare: an opened archive, whose files are fetched
/// strictly and hashed, or a manifest, whose hashes are taken as they are.
/// Refers to the archive or manifest, which must outlive it.
class DiffSide {
  public:
    DiffSide(const DatDatabase& database) : database_(&database) {}  // NOLINT: implicit
    DiffSide(const Manifest& manifest) : manifest_(&manifest) {}     // NOLINT: implicit

    /// The archive, or null for a manifest.
    const DatDatabase* database() const noexcept { return database_; }
    /// The manifest, or null for an archive.
    const Manifest* manifest() const noexcept { return manifest_; }

  private:
    const DatDatabase* database_ = nullptr;
    const Manifest* manifest_ = nullptr;
};

/// What `diff_archives` compares and how.
struct DiffOptions {
    /// Only these ids and the files of `types` (both empty: every file), as
    /// the tool selects: a file is selected when either version lists it
    /// and it is among the ids or of one of the types in that version.
    std::vector<std::uint32_t> ids;
    std::vector<DatFileType> types;
    /// The content hash when both versions are archives; with a manifest,
    /// the manifest's own is used.
    HashAlgorithm hash = HashAlgorithm::Xxh3;
    /// Worker threads at once; 0: the hardware's concurrency.
    unsigned threads = 0;
    /// Called on the calling thread as files are compared (done, total); may
    /// be empty.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

/// Two manifests whose hashes cannot be compared.
struct DiffError {
    HashAlgorithm old_hash = HashAlgorithm::Xxh3;
    HashAlgorithm new_hash = HashAlgorithm::Xxh3;

    /// "the manifests hold hashes of different kinds (xxh3 and sha256)".
    std::string display() const;
};

/// Compares the selected files of two versions: the decoded bytes by their
/// content hash, then the entries' timestamp, version, flags and stored
/// size. A file is fetched strictly; one that cannot be read on either side
/// is an `Unreadable` change carrying the error, never an equal or modified
/// one. Works on `options.threads` threads with one fetch buffer each and
/// never holds a file of both sides at once; memory follows the number of
/// files (8 bytes per file compared, plus the changes). Fails only for two
/// manifests with hashes of different kinds.
Result<DiffReport, DiffError> diff_archives(const DiffSide& old_side, const DiffSide& new_side,
                                            const DiffOptions& options = {});

}  // namespace tarnwick_dat
