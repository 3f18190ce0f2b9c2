// tarnwick-dat diff and ls --hash, run as a child process on the table of
// version pairs: the text, --ids, --stat and JSON outputs, exit statuses and
// error lines, archives against archives and against saved manifests.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat/verify.hpp>
#include <tarnwick_dat_testing/version_pairs.hpp>
#include <vector>

#include "child_process.hpp"

namespace {

namespace fs = std::filesystem;
using tarnwick_dat::ChangeKind;
using tarnwick_dat_test::ChildRun;
using tarnwick_dat_test::TempDir;
using tarnwick_dat_testing::ExpectedChange;

ChildRun tool(std::vector<std::string> args, const fs::path& out_file = {}) {
    args.insert(args.begin(), TARNWICK_DAT_TOOL);
    ChildRun run = tarnwick_dat_test::run_child(args);
    if (!out_file.empty()) {
        std::ofstream(out_file) << run.out;
    }
    return run;
}

std::string type_of(std::uint32_t id) {
    switch (id >> 24) {
        case 0x01:
            return "Model";
        case 0x06:
            return "Texture";
        case 0x0A:
            return "Audio";
        default:
            return "Font";
    }
}

std::string size_text(const std::optional<std::uint64_t>& size, bool listed) {
    return !listed ? "-" : size ? std::to_string(*size) : "?";
}

// The text output the row's changes must give.
std::string expected_text(const std::vector<ExpectedChange>& changes, std::size_t compared) {
    std::string text;
    std::size_t counts[5] = {};
    for (const ExpectedChange& c : changes) {
        const char letter = tarnwick_dat::change_kind_letter(c.kind);
        text += fmt::format("{}\t{:08X}\t{}\t{} -> {}\n", letter, c.id, type_of(c.id),
                            size_text(c.old_size, c.kind != ChangeKind::Added),
                            size_text(c.new_size, c.kind != ChangeKind::Removed));
        ++counts[static_cast<std::size_t>(c.kind)];
    }
    return text + fmt::format(
                      "{} file{} compared, {} differ: {} added, {} removed, {} modified, {} "
                      "metadata-only, {} unreadable\n",
                      compared, compared == 1 ? "" : "s", changes.size(), counts[0], counts[1],
                      counts[2], counts[3], counts[4]);
}

TEST(DiffCli, VersionPairs) {
    for (const auto& pair : tarnwick_dat_testing::version_pairs()) {
        SCOPED_TRACE(pair.name);
        const TempDir dir;
        const fs::path old_path = dir.path() / "old.dat";
        const fs::path new_path = dir.path() / "new.dat";
        std::ofstream(old_path, std::ios::binary)
            .write(reinterpret_cast<const char*>(pair.old_archive.data()),
                   static_cast<std::streamsize>(pair.old_archive.size()));
        std::ofstream(new_path, std::ios::binary)
            .write(reinterpret_cast<const char*>(pair.new_archive.data()),
                   static_cast<std::streamsize>(pair.new_archive.size()));
        const bool unreadable =
            std::any_of(pair.changes.begin(), pair.changes.end(),
                        [](const ExpectedChange& c) { return c.kind == ChangeKind::Unreadable; });
        const int status = unreadable ? 2 : pair.changes.empty() ? 0 : 1;

        const ChildRun ls = tool({"ls", old_path, "--json"});
        const ChildRun ls_new = tool({"ls", new_path, "--json"});
        std::set<std::string> ids;
        for (const auto& listing :
             {nlohmann::json::parse(ls.out), nlohmann::json::parse(ls_new.out)}) {
            for (const auto& entry : listing) {
                ids.insert(entry["id"].get<std::string>());
            }
        }
        const std::string text = expected_text(pair.changes, ids.size());

        const ChildRun run = tool({"diff", old_path, new_path});
        EXPECT_EQ(run.exit_status, status);
        EXPECT_EQ(run.out, text);
        std::string errors;
        for (const ExpectedChange& c : pair.changes) {
            if (c.kind == ChangeKind::Unreadable) {
                // Worded as verify words the damage.
                const fs::path& damaged = c.old_size ? new_path : old_path;
                tarnwick_dat::VerifyOptions one;
                one.ids = {c.id};
                const auto db = tarnwick_dat::DatDatabase::open(damaged);
                errors +=
                    fmt::format("error: {}: 0x{:08X}: {}\n", damaged.string(), c.id,
                                tarnwick_dat::verify_archive(*db, one).findings.at(0).description);
            }
        }
        EXPECT_EQ(run.err, errors);

        std::string listed_in_new;
        for (const ExpectedChange& c : pair.changes) {
            if (c.kind != ChangeKind::Removed) {
                listed_in_new += fmt::format("{:08X}\n", c.id);
            }
        }
        const ChildRun only_ids = tool({"diff", old_path, new_path, "--ids"});
        EXPECT_EQ(only_ids.out, listed_in_new);
        EXPECT_EQ(only_ids.exit_status, status);

        // Saved manifests stand in for either version.
        const fs::path old_manifest = dir.path() / "old.json";
        const fs::path new_manifest = dir.path() / "new.json";
        EXPECT_EQ(tool({"ls", old_path, "--json", "--hash"}, old_manifest).exit_status,
                  pair.name == "damaged old" ? 1 : 0);
        EXPECT_EQ(tool({"ls", new_path, "--json", "--hash"}, new_manifest).exit_status,
                  pair.name == "damaged new" ? 1 : 0);
        for (const auto& [from, to] :
             {std::pair{old_manifest, new_path}, std::pair{old_path, new_manifest},
              std::pair{old_manifest, new_manifest}}) {
            const ChildRun through = tool({"diff", from, to});
            EXPECT_EQ(through.out, text) << from << " " << to;
            EXPECT_EQ(through.exit_status, status);
        }
        const ChildRun self = tool({"diff", new_manifest, new_path});
        EXPECT_EQ(self.exit_status, pair.name == "damaged new" ? 2 : 0);
    }
}

TEST(DiffCli, StatAndJsonOfSeveralChanges) {
    const auto pairs = tarnwick_dat_testing::version_pairs();
    const auto& pair = pairs[6];
    ASSERT_EQ(pair.name, "several together");
    const tarnwick_dat_writer::TempArchiveFile old_file(pair.old_archive);
    const tarnwick_dat_writer::TempArchiveFile new_file(pair.new_archive);
    const ChildRun stat = tool({"diff", old_file.path(), new_file.path(), "--stat"});
    EXPECT_EQ(stat.exit_status, 1);
    EXPECT_EQ(stat.out,
              "type                   added  removed  modified  metadata  unreadable    old "
              "bytes    new bytes\n"
              "Audio                      2        0         0         0           0            "
              "0           40\n"
              "Font                       0        1         0         0           0           "
              "50            0\n"
              "Model                      0        0         1         0           0          "
              "200          260\n"
              "Texture                    0        0         0         1           0          "
              "100          100\n"
              "total                      2        1         1         1           0          "
              "350          400\n"
              "6 files compared, 5 differ: 2 added, 1 removed, 1 modified, 1 metadata-only, 0 "
              "unreadable\n");

    const ChildRun json =
        tool({"diff", old_file.path(), new_file.path(), "--json", "--type", "Model", "0A000002"});
    EXPECT_EQ(json.exit_status, 1);
    const nlohmann::json none = nullptr;
    auto totals = [](int files, int old_bytes, int new_bytes) {
        return nlohmann::json{{"files", files}, {"old_bytes", old_bytes}, {"new_bytes", new_bytes}};
    };
    const nlohmann::json zero = totals(0, 0, 0);
    const nlohmann::json expected = {
        {"old", old_file.path().string()},
        {"new", new_file.path().string()},
        {"hash", "xxh3"},
        {"changes",
         {{{"kind", "modified"},
           {"id", "01000001"},
           {"type", "Model"},
           {"old",
            {{"compressed", false},
             {"size", 200},
             {"timestamp", 0},
             {"version", 0},
             {"bit_flags", 0},
             {"offset", 1024}}},
           {"new",
            {{"compressed", false},
             {"size", 260},
             {"timestamp", 0},
             {"version", 0},
             {"bit_flags", 0},
             {"offset", 1024}}},
           {"old_size", 200},
           {"new_size", 260},
           {"old_error", none},
           {"new_error", none}},
          {{"kind", "added"},
           {"id", "0A000002"},
           {"type", "Audio"},
           {"old", none},
           {"new",
            {{"compressed", false},
             {"size", 0},
             {"timestamp", 0},
             {"version", 0},
             {"bit_flags", 0},
             {"offset", 5120}}},
           {"old_size", none},
           {"new_size", 0},
           {"old_error", none},
           {"new_error", none}}}},
        {"compared", 3},
        {"totals",
         {{"added", totals(1, 0, 0)},
          {"removed", zero},
          {"modified", totals(1, 200, 260)},
          {"metadata_only", zero},
          {"unreadable", zero}}},
        {"by_type",
         {{"Audio",
           {{"added", totals(1, 0, 0)},
            {"removed", zero},
            {"modified", zero},
            {"metadata_only", zero},
            {"unreadable", zero}}},
          {"Model",
           {{"added", zero},
            {"removed", zero},
            {"modified", totals(1, 200, 260)},
            {"metadata_only", zero},
            {"unreadable", zero}}}}},
        {"missing", nlohmann::json::array()},
        {"identical", false},
    };
    EXPECT_EQ(nlohmann::json::parse(json.out), expected) << json.out;

    // --jsonl: the same changes, in the same key order, one per line.
    const ChildRun lines =
        tool({"diff", old_file.path(), new_file.path(), "--jsonl", "--type", "Model", "0A0000?2"});
    EXPECT_EQ(lines.exit_status, 1);
    std::string expected_lines;
    const auto document = nlohmann::ordered_json::parse(json.out);
    for (const auto& change : document["changes"]) {
        expected_lines += change.dump() + "\n";
    }
    EXPECT_EQ(lines.out, expected_lines);
}

TEST(DiffCli, Trouble) {
    const auto pairs = tarnwick_dat_testing::version_pairs();
    const tarnwick_dat_writer::TempArchiveFile archive(pairs[0].old_archive);
    const TempDir dir;
    const std::string a = archive.path().string();
    const std::string missing = (dir.path() / "missing.dat").string();
    const fs::path plain = dir.path() / "plain.json";
    tool({"ls", a, "--json"}, plain);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"diff", missing, a}, "error: " + missing + ": cannot open: No such file or directory\n"},
        {{"diff", a, plain},
         "error: " + plain.string() +
             ": no file has a hash: a manifest is a listing made with ls --json --hash\n"},
        {{"diff", a, a, "DEADBEEF", "01000001"},
         "error: 0xDEADBEEF: no such file in " + a + " or " + a + "\n"},
        {{"diff", a, a, "7*", "01000001-0100FFFF"},
         "error: 7*: no file in either version matches\n"},
        {{"diff", a, a, "-T", missing},
         "error: cannot open '" + missing + "': No such file or directory\n"},
    };
    for (const auto& [args, err] : cases) {
        const ChildRun run = tool(args);
        EXPECT_EQ(run.exit_status, 2) << args[1];
        EXPECT_EQ(run.err, err);
    }
    const ChildRun usage = tool({"diff", a, a, "--stat", "--ids"});
    EXPECT_EQ(usage.exit_status, 2);
    EXPECT_TRUE(usage.has_error_line());
}

TEST(DiffCli, LsHash) {
    tarnwick_dat_writer::ArchiveBuilder builder;
    const tarnwick_dat::Bytes abc = {'a', 'b', 'c'};
    builder.add_file(0x01000001, abc);
    const tarnwick_dat_writer::TempArchiveFile archive(builder.build());
    const ChildRun sha = tool({"ls", archive.path(), "--json", "--hash=sha256"});
    EXPECT_EQ(sha.exit_status, 0);
    EXPECT_EQ(sha.out,
              "[\n"
              "  {\n"
              "    \"id\": \"01000001\",\n"
              "    \"type\": \"Model\",\n"
              "    \"compressed\": false,\n"
              "    \"size\": 3,\n"
              "    \"decoded_size\": 3,\n"
              "    \"timestamp\": 0,\n"
              "    \"time\": null,\n"
              "    \"version\": 0,\n"
              "    \"bit_flags\": 0,\n"
              "    \"offset\": 1024,\n"
              "    \"hash\": "
              "\"sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\"\n"
              "  }\n"
              "]\n");
    const ChildRun text = tool({"ls", archive.path(), "--hash"});
    EXPECT_EQ(
        text.out,
        "01000001  Model                         3           3  0                     "
        "stored      xxh3:" +
            fmt::format(
                "{}",
                tarnwick_dat::hash_bytes(tarnwick_dat::HashAlgorithm::Xxh3, abc).text().substr(5)) +
            "\ntotal: 1 file                           3           3\n");

    // --jsonl prints the objects alone, one per line.
    const ChildRun lines = tool({"ls", archive.path(), "--jsonl", "--hash=sha256"});
    EXPECT_EQ(lines.exit_status, 0);
    const std::string object =
        R"({"id":"01000001","type":"Model","compressed":false,"size":3,"decoded_size":3,)"
        R"("timestamp":0,"time":null,"version":0,"bit_flags":0,"offset":1024,)"
        R"("hash":"sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"})";
    EXPECT_EQ(lines.out, object + "\n");

    // Manifests load in diff pretty-printed as ls --json writes them now,
    // and with one object per line as it wrote them up to 0.2.
    const TempDir dir;
    const fs::path pretty = dir.path() / "pretty.json";
    const fs::path old_style = dir.path() / "old-style.json";
    tool({"ls", archive.path(), "--json", "--hash=sha256"}, pretty);
    {
        std::ofstream out(old_style);
        out << "[\n  " << object << "\n]\n";
    }
    for (const fs::path& manifest : {pretty, old_style}) {
        const ChildRun same = tool({"diff", manifest, archive.path()});
        EXPECT_EQ(same.exit_status, 0) << manifest << same.err;
        EXPECT_EQ(same.out,
                  "1 file compared, 0 differ: 0 added, 0 removed, 0 modified, 0 metadata-only, 0 "
                  "unreadable\n");
    }
}

}  // namespace
