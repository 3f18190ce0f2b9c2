// One opened archive shared by many threads that fetch every file at once,
// each in an order of its own: every fetch must give what a fetch on one
// thread gives, the bytes of a good file and the error of a damaged one
// alike. Built on its own so that it can run under ThreadSanitizer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <latch>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat_writer/archive_writer.hpp"

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::DatDatabase;
using tarnwick_dat::DatFileEntry;
using tarnwick_dat_writer::ArchiveBuilder;
using tarnwick_dat_writer::FileOptions;
using tarnwick_dat_writer::TempArchiveFile;

constexpr std::uint32_t kBlockSize = 256;
constexpr std::size_t kGoodFiles = 400;
constexpr unsigned kThreads = 8;
constexpr int kRounds = 3;

// Ids of the damaged entries and of one id the directory does not hold.
constexpr std::uint32_t kPastTheEnd = 0x7F000001;      // chain links beyond the file
constexpr std::uint32_t kOverLong = 0x7F000002;        // size runs past the file's end
constexpr std::uint32_t kBeyondFileSize = 0x7F000003;  // size above the file's size
constexpr std::uint32_t kCutStream = 0x7F000004;       // compressed stream cut in half
constexpr std::uint32_t kAbsent = 0x7F0000FF;
constexpr std::uint32_t kLinksPastTheEnd = 0x7E000000;

// What one fetch gave: the bytes, or the error as it reads.
struct Outcome {
    bool ok = false;
    Bytes bytes;
    std::string error;

    friend bool operator==(const Outcome&, const Outcome&) = default;
};

Outcome fetch(const DatDatabase& db, std::uint32_t id) {
    auto got = db.get_file(id);
    if (!got.has_value()) {
        return {false, {}, got.error().display()};
    }
    return {true, std::move(got).value(), {}};
}

struct Written {
    std::uint32_t id;
    Bytes bytes;
};

// Good files of many sizes, half of them compressible text stored
// compressed, some in scattered chains, plus the damaged entries; `files`
// receives the good files as written.
Bytes build_archive(std::vector<Written>& files) {
    std::mt19937 random(20240611);
    ArchiveBuilder builder(kBlockSize);
    for (std::size_t i = 0; i < kGoodFiles; ++i) {
        const auto id = static_cast<std::uint32_t>(0x06000000 + i * 37);
        const std::size_t length = random() % 3000;
        Bytes bytes(length);
        const bool compress = i % 2 == 0;
        for (std::size_t j = 0; j < length; ++j) {
            // Repetitive text for the compressed files, so the stream has
            // back references; noise for the stored ones.
            bytes[j] = compress
                           ? static_cast<std::uint8_t>("tarnwick archive "[(j * (i % 5 + 1)) % 17])
                           : static_cast<std::uint8_t>(random());
        }
        FileOptions options;
        options.compress = compress;
        if (i % 3 == 0) {
            options.chain = tarnwick_dat_writer::scattered();
        }
        builder.add_file(id, bytes, options);
        files.push_back({id, std::move(bytes)});
    }
    // A short file whose single block links on far past the end of the file:
    // fine as it is stored, but the first damaged entry reads on along the
    // link. (The damaged entries get ids of their own: an entry replacing a
    // file would drop that file's payload.)
    const Bytes short_data(100, 0x5A);
    builder.add_file(
        kLinksPastTheEnd, short_data,
        tarnwick_dat_writer::stored_in(tarnwick_dat_writer::linked_past_data(0x7FFFFF00)));
    files.push_back({kLinksPastTheEnd, short_data});

    // Where the payloads landed; adding bare entries afterwards does not move
    // them, and the entries' sizes do not change the layout.
    auto entry_of = [](const tarnwick_dat_writer::Layout& layout, std::uint32_t id) {
        return *std::find_if(layout.entries.begin(), layout.entries.end(),
                             [id](const DatFileEntry& entry) { return entry.id == id; });
    };
    const auto first_layout = builder.layout();
    DatFileEntry past_the_end = entry_of(first_layout, kLinksPastTheEnd);
    past_the_end.id = kPastTheEnd;
    DatFileEntry cut = entry_of(first_layout, files[0].id);
    cut.id = kCutStream;
    const DatFileEntry stored = entry_of(first_layout, files[1].id);
    // Asks for more than the block holds, so the link is followed.
    past_the_end.size = kBlockSize * 3;
    builder.add_entry(past_the_end);
    cut.size /= 2;
    builder.add_entry(cut);
    builder.add_entry(DatFileEntry{0, kBeyondFileSize, stored.offset, 0xFFFFFFF0, 0, 0});
    builder.add_entry(DatFileEntry{0, kOverLong, stored.offset, 0, 0, 0});
    const auto total = builder.layout().archive.size();
    builder.add_entry(DatFileEntry{0, kOverLong, stored.offset,
                                   static_cast<std::uint32_t>(total - stored.offset), 0, 0});
    const auto final_layout = builder.layout();
    if (final_layout.archive.size() != total) {
        throw std::logic_error("the entry sizes moved the layout");
    }
    return final_layout.archive.build();
}

TEST(ConcurrentFetch, EveryThreadSeesWhatOneThreadSees) {
    std::vector<Written> files;
    const TempArchiveFile archive(build_archive(files));
    auto opened = DatDatabase::open(archive.path());
    ASSERT_TRUE(opened.has_value()) << opened.error().display();
    const DatDatabase& db = opened.value();

    std::vector<std::uint32_t> ids;
    for (const Written& file : files) {
        ids.push_back(file.id);
    }
    ids.insert(ids.end(), {kPastTheEnd, kOverLong, kBeyondFileSize, kCutStream, kAbsent});

    // The single-threaded baseline, itself held to what was written.
    std::vector<Outcome> expected;
    for (const std::uint32_t id : ids) {
        expected.push_back(fetch(db, id));
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        ASSERT_TRUE(expected[i].ok) << std::hex << files[i].id << ": " << expected[i].error;
        ASSERT_EQ(expected[i].bytes, files[i].bytes) << std::hex << files[i].id;
    }
    const std::size_t damaged = files.size();
    for (std::size_t i = damaged; i < damaged + 3; ++i) {
        EXPECT_FALSE(expected[i].ok) << std::hex << ids[i];
    }
    const Outcome& cut = expected[damaged + 3];
    ASSERT_TRUE(cut.ok);
    EXPECT_LT(cut.bytes.size(), files[0].bytes.size());
    EXPECT_TRUE(std::equal(cut.bytes.begin(), cut.bytes.end(), files[0].bytes.begin()));
    EXPECT_FALSE(expected.back().ok);

    // Each thread goes through every id in its own order, several rounds,
    // all starting together; it counts the fetches whose outcome differed.
    std::vector<int> mismatches(kThreads, 0);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::size_t> order(ids.size());
            for (std::size_t i = 0; i < order.size(); ++i) {
                order[i] = i;
            }
            std::mt19937 random(t);
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round) {
                std::shuffle(order.begin(), order.end(), random);
                for (const std::size_t i : order) {
                    if (fetch(db, ids[i]) != expected[i]) {
                        ++mismatches[t];
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

}  // namespace
