// Content hashes, manifests and the comparison of two versions, on the
// table of version pairs: every row compared archive to archive on one and
// three threads, and with either side or both read back from a manifest.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tarnwick_dat/content_hash.hpp>
#include <tarnwick_dat/diff.hpp>
#include <tarnwick_dat/manifest.hpp>
#include <tarnwick_dat_testing/bytes.hpp>
#include <tarnwick_dat_testing/version_pairs.hpp>
#include <tuple>
#include <vector>

namespace {

using namespace tarnwick_dat;
using tarnwick_dat_testing::ExpectedChange;
using tarnwick_dat_testing::VersionPair;
using tarnwick_dat_writer::TempArchiveFile;

using Row = std::tuple<std::uint32_t, ChangeKind, std::optional<std::uint64_t>,
                       std::optional<std::uint64_t>>;

std::vector<Row> rows_of(const std::vector<ExpectedChange>& changes) {
    std::vector<Row> rows;
    for (const ExpectedChange& c : changes) {
        rows.emplace_back(c.id, c.kind, c.old_size, c.new_size);
    }
    return rows;
}

std::vector<Row> rows_of(const DiffReport& report) {
    std::vector<Row> rows;
    for (const Change& c : report.changes) {
        rows.emplace_back(c.id, c.kind, c.old_size, c.new_size);
    }
    return rows;
}

// Both versions of a row, opened, and their manifests read back from text.
struct OpenedPair {
    explicit OpenedPair(const VersionPair& pair)
        : old_file(pair.old_archive),
          new_file(pair.new_archive),
          old_db(DatDatabase::open(old_file.path()).value()),
          new_db(DatDatabase::open(new_file.path()).value()),
          old_manifest(Manifest::parse(make_manifest(old_db).text()).value()),
          new_manifest(Manifest::parse(make_manifest(new_db).text()).value()) {}

    TempArchiveFile old_file;
    TempArchiveFile new_file;
    DatDatabase old_db;
    DatDatabase new_db;
    Manifest old_manifest;
    Manifest new_manifest;
};

DiffReport compare(const DiffSide& old_side, const DiffSide& new_side, unsigned threads) {
    DiffOptions options;
    options.threads = threads;
    return diff_archives(old_side, new_side, options).value();
}

constexpr std::string_view kCutError = "Failed to recover compressed file 01000002";
constexpr std::string_view kNoHash =
    "the manifest has no hash of it (it could not be read when listed)";

TEST(Diff, VersionPairs) {
    for (const VersionPair& pair : tarnwick_dat_testing::version_pairs()) {
        SCOPED_TRACE(pair.name);
        const OpenedPair opened(pair);
        const DiffReport report = compare(opened.old_db, opened.new_db, 1);
        EXPECT_EQ(rows_of(report), rows_of(pair.changes));
        EXPECT_EQ(report.identical(), pair.changes.empty());
        std::set<std::uint32_t> listed;
        for (const DatFileEntry& e : opened.old_db.files()) {
            listed.insert(e.id);
        }
        for (const DatFileEntry& e : opened.new_db.files()) {
            listed.insert(e.id);
        }
        EXPECT_EQ(report.compared, listed.size());
        // The whole changes, entries and errors included, whatever the
        // thread count.
        EXPECT_EQ(compare(opened.old_db, opened.new_db, 3).changes, report.changes);
        for (const Change& change : report.changes) {
            const DatFileEntry* old_entry = opened.old_db.files().find(change.id);
            const DatFileEntry* new_entry = opened.new_db.files().find(change.id);
            EXPECT_EQ(change.old_entry.has_value(), old_entry != nullptr);
            EXPECT_EQ(change.new_entry.has_value(), new_entry != nullptr);
            if (old_entry != nullptr && change.old_entry) {
                EXPECT_EQ(*change.old_entry, *old_entry);
            }
            if (new_entry != nullptr && change.new_entry) {
                EXPECT_EQ(*change.new_entry, *new_entry);
            }
            const bool old_cut = change.kind == ChangeKind::Unreadable && !change.old_size;
            const bool new_cut = change.kind == ChangeKind::Unreadable && !change.new_size;
            EXPECT_EQ(change.old_error,
                      old_cut ? std::optional<std::string>(kCutError) : std::nullopt);
            EXPECT_EQ(change.new_error,
                      new_cut ? std::optional<std::string>(kCutError) : std::nullopt);
        }
        // A manifest on either side or both says the same.
        const DiffReport from_old = compare(opened.old_manifest, opened.new_db, 2);
        const DiffReport from_new = compare(opened.old_db, opened.new_manifest, 2);
        const DiffReport from_both = compare(opened.old_manifest, opened.new_manifest, 2);
        EXPECT_EQ(rows_of(from_old), rows_of(pair.changes));
        EXPECT_EQ(rows_of(from_new), rows_of(pair.changes));
        EXPECT_EQ(rows_of(from_both), rows_of(pair.changes));
        for (const Change& change : from_both.changes) {
            if (change.old_error || change.new_error) {
                EXPECT_EQ(change.old_error.value_or(std::string(kNoHash)), kNoHash);
                EXPECT_EQ(change.new_error.value_or(std::string(kNoHash)), kNoHash);
            }
        }
        // A manifest against its own archive: no change, but for the files
        // that version cannot read.
        const std::pair<DiffReport, bool> selves[] = {
            {compare(opened.old_manifest, opened.old_db, 2), pair.name == "damaged old"},
            {compare(opened.new_db, opened.new_manifest, 2), pair.name == "damaged new"}};
        const std::vector<Row> unreadable = {
            {0x01000002, ChangeKind::Unreadable, std::nullopt, std::nullopt}};
        for (const auto& [self, damaged] : selves) {
            EXPECT_EQ(rows_of(self), damaged ? unreadable : std::vector<Row>());
        }
    }
}

TEST(Diff, TotalsByKindAndType) {
    const auto pairs = tarnwick_dat_testing::version_pairs();
    const OpenedPair opened(pairs[6]);
    ASSERT_EQ(pairs[6].name, "several together");
    const DiffReport report = compare(opened.old_db, opened.new_db, 2);
    EXPECT_EQ(report.compared, 6u);
    using T = ChangeTotals;
    const std::array<T, kChangeKindCount> kinds = {T{2, 0, 40}, T{1, 50, 0}, T{1, 200, 260},
                                                   T{1, 100, 100}, T{0, 0, 0}};
    EXPECT_EQ(report.by_kind, kinds);
    auto only = [](ChangeKind kind, T totals) {
        std::array<T, kChangeKindCount> all{};
        all[static_cast<std::size_t>(kind)] = totals;
        return all;
    };
    const std::vector<TypeTotals> by_type = {
        {DatFileType::Audio, only(ChangeKind::Added, {2, 0, 40})},
        {DatFileType::Font, only(ChangeKind::Removed, {1, 50, 0})},
        {DatFileType::Model, only(ChangeKind::Modified, {1, 200, 260})},
        {DatFileType::Texture, only(ChangeKind::MetadataOnly, {1, 100, 100})},
    };
    EXPECT_EQ(report.by_type, by_type);
    EXPECT_EQ(report.summary(),
              "6 files compared, 5 differ: 2 added, 1 removed, 1 modified, 1 metadata-only, 0 "
              "unreadable");

    // Selection: ids (one listed by neither version) and a type.
    DiffOptions options;
    options.ids = {0x0A000001, 0xDEADBEEF};
    options.types = {DatFileType::Model};
    const DiffReport selected = diff_archives(opened.old_db, opened.new_db, options).value();
    EXPECT_EQ(rows_of(selected),
              (std::vector<Row>{{0x01000001, ChangeKind::Modified, 200, 260},
                                {0x0A000001, ChangeKind::Added, std::nullopt, 40}}));
    EXPECT_EQ(selected.compared, 3u);
    EXPECT_EQ(selected.missing, std::vector<std::uint32_t>{0xDEADBEEF});
}

TEST(Diff, HashKinds) {
    const auto pairs = tarnwick_dat_testing::version_pairs();
    const OpenedPair opened(pairs[3]);
    ManifestOptions sha256;
    sha256.hash = HashAlgorithm::Sha256;
    const Manifest sha = make_manifest(opened.new_db, sha256);
    // An archive is hashed as the manifest it is compared with.
    const DiffReport report = compare(opened.old_db, sha, 1);
    EXPECT_EQ(report.hash, HashAlgorithm::Sha256);
    EXPECT_EQ(rows_of(report), rows_of(pairs[3].changes));
    const auto mixed = diff_archives(opened.old_manifest, sha);
    ASSERT_FALSE(mixed);
    EXPECT_EQ(mixed.error().display(),
              "the manifests hold hashes of different kinds (xxh3 and sha256)");
}

TEST(ContentHash, KnownDigestsPiecesAndText) {
    using tarnwick_dat_testing::text;
    const ContentHash empty = hash_bytes(HashAlgorithm::Xxh3, {});
    EXPECT_EQ(empty.text(), "xxh3:99aa06d3014798d86001c324468d497f");
    const ContentHash abc = hash_bytes(HashAlgorithm::Sha256, text("abc"));
    EXPECT_EQ(abc.text(),
              "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    for (const HashAlgorithm algorithm : {HashAlgorithm::Xxh3, HashAlgorithm::Sha256}) {
        const auto data = tarnwick_dat_testing::pattern(100000, 7);
        ContentHasher hasher(algorithm);
        hasher.update(std::span(data).first(33));
        hasher.update(std::span(data).subspan(33));
        const ContentHash whole = hash_bytes(algorithm, data);
        EXPECT_EQ(hasher.finish(), whole);
        EXPECT_EQ(ContentHash::parse(whole.text()), whole);
    }
    for (const char* bad : {"", "xxh3", "md5:00", "xxh3:99aa06d3014798d86001c324468d497",
                            "xxh3:99AA06D3014798D86001C324468D497F", "sha256:ba78"}) {
        EXPECT_EQ(ContentHash::parse(bad), std::nullopt) << bad;
    }
}

TEST(Manifest, TextRoundTripAndUnreadableFiles) {
    const auto pairs = tarnwick_dat_testing::version_pairs();
    const TempArchiveFile file(pairs[7].old_archive);  // 0x01000002 cut
    ASSERT_EQ(pairs[7].name, "damaged old");
    const DatDatabase db = DatDatabase::open(file.path()).value();
    std::vector<ManifestFailure> failures;
    ManifestOptions two_threads;
    two_threads.threads = 2;
    const Manifest made = make_manifest(db, two_threads, &failures);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].id, 0x01000002u);
    EXPECT_EQ(failures[0].error.display(), kCutError);
    const std::string text = made.text();
    const Manifest read = Manifest::parse(text).value();
    EXPECT_EQ(read.text(), text);
    ASSERT_EQ(read.size(), 4u);
    EXPECT_EQ(read.hash(1), std::nullopt);
    EXPECT_EQ(read.hash(0), hash_bytes(HashAlgorithm::Xxh3, db.get_file(0x01000001).value()));
    EXPECT_EQ(manifest_object(read.entries()[1], read.hash(1), true),
              R"({"id":"01000002","type":"Model","compressed":true,"size":228,)"
              R"("decoded_size":3000,"timestamp":0,"time":null,"version":0,"bit_flags":1,)"
              R"("offset":2048,"hash":null})");
}

TEST(Manifest, ParseErrors) {
    const std::string entry =
        R"("type":"Model","size":1,"timestamp":0,"version":0,"bit_flags":0,"offset":0)";
    const std::string hash = R"("hash":"xxh3:99aa06d3014798d86001c324468d497f")";
    const std::string sha =
        R"("hash":"sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad")";
    const std::pair<std::string, std::string> cases[] = {
        {"{}", "a manifest is a JSON array of objects"},
        {"[1]", "entry 1: not an object"},
        {"[{" + entry + "}]", "entry 1: key 'id' is missing"},
        {R"([{"id":"0100001",)" + entry + "}]",
         "entry 1: 'id' must be a string of eight hexadecimal digits"},
        {R"([{"id":"01000001","size":-1}])",
         "entry 1: 'size' must be a number from 0 to 4294967295"},
        {R"([{"id":"01000001","type":"Modle"}])", "entry 1: unknown file type 'Modle'"},
        {R"([{"id":"01000001","hash":"xxh3:00"}])", "entry 1: 'xxh3:00' is no xxh3 or sha256 hash"},
        {R"([{"id":"01000001","id":"01000002"}])", "entry 1: key 'id' is given twice"},
        {R"([{"id":"01000001",)" + entry + "," + hash + R"(},{"id":"01000002",)" + entry + "," +
             sha + "}]",
         "entry 2: a sha256 hash after xxh3 hashes: a manifest holds one kind"},
        {R"([{"id":"01000001",)" + entry + "," + hash + R"(},{"id":"01000001",)" + entry + "}]",
         "id 01000001 is listed twice"},
        {R"([{"id":"01000001",)" + entry + "}]",
         "no file has a hash: a manifest is a listing made with ls --json --hash"},
        {"[{",
         "parse error at line 1, column 3: syntax error while parsing object key - "
         "unexpected end of input; expected string literal"},
    };
    for (const auto& [text, message] : cases) {
        const auto read = Manifest::parse(text);
        ASSERT_FALSE(read) << text;
        EXPECT_EQ(read.error().display(), message) << text;
    }
    // Keys it does not know, nested or not, and any layout are accepted.
    const auto read = Manifest::parse(R"( [ {"extra":[{"a":1}],"id":"0a000001",)" + entry + "," +
                                      hash + R"(,"more":{"b":[2]}} ] )");
    ASSERT_TRUE(read) << read.error().display();
    EXPECT_EQ(read->entries()[0].entry.id, 0x0A000001u);
    EXPECT_EQ(Manifest::parse("[]").value().size(), 0u);
    EXPECT_EQ(Manifest::read("/nonexistent/m.json").error().display(),
              "/nonexistent/m.json: No such file or directory (os error 2)");
}

}  // namespace
