// Opening an archive of 100,000 files: the directory walk against the bare
// positional reads of the same directory blocks (one per block, link and
// payload together, the least a reader following the links can do), with the
// directory's chains contiguous and scattered (each chain's blocks in reverse
// order with other blocks between, as in an archive patched for years), and
// the memory the opened database keeps per entry.
//
// Memory is counted, not estimated: this binary replaces the global
// allocation functions with ones that track live bytes, and the benchmark
// reports the bytes still allocated by the opened database (its node list,
// the header's version string) plus the pages of its entry table, divided by
// the entry count. The table's own share is reported beside it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "tarnwick_dat/lib.hpp"
#include "tarnwick_dat_writer/archive_writer.hpp"

namespace {

std::atomic<std::int64_t> g_live_bytes{0};
// Counting is switched on only while the memory of one opening is measured,
// so that the timed openings pay nothing for it.
std::atomic<bool> g_counting{false};

}  // namespace

void* operator new(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    if (g_counting.load(std::memory_order_relaxed)) {
        g_live_bytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p)),
                               std::memory_order_relaxed);
    }
    return p;
}

namespace {

void release(void* p) noexcept {
    if (p != nullptr && g_counting.load(std::memory_order_relaxed)) {
        g_live_bytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)),
                               std::memory_order_relaxed);
    }
    std::free(p);
}

}  // namespace

void operator delete(void* p) noexcept {
    release(p);
}

void operator delete(void* p, std::size_t) noexcept {
    release(p);
}

namespace {

constexpr std::uint32_t kFiles = 100000;

struct Fixture {
    std::optional<tarnwick_dat_writer::TempArchiveFile> file;
    std::vector<std::uint32_t> nodes;
    std::uint32_t block_size = 1024;
};

Fixture build_fixture(bool scattered) {
    Fixture f;
    {
        tarnwick_dat_writer::ArchiveBuilder builder(f.block_size);
        if (scattered) {
            tarnwick_dat_writer::DirectoryOptions options;
            options.node_chain = tarnwick_dat_writer::scattered();
            builder.directory(options);
        }
        std::uint8_t payload[16] = {};
        for (std::uint32_t i = 0; i < kFiles; ++i) {
            // Ids spread over several types, as a portal archive's are.
            const std::uint32_t id = (0x01u + i % 0x40) << 24 | i;
            payload[0] = static_cast<std::uint8_t>(i);
            builder.add_file(id, payload);
        }
        auto layout = builder.layout();
        f.nodes = layout.node_offsets;
        f.file.emplace(layout.archive.build());
    }
    return f;
}

const Fixture& fixture(bool scattered) {
    static const Fixture contiguous = build_fixture(false);
    if (!scattered) {
        return contiguous;
    }
    static const Fixture apart = build_fixture(true);
    return apart;
}

// The reads of one node: per block one positional read of its link and
// payload together, into a fresh 1716-byte buffer.
std::size_t bare_node_reads(int fd, std::uint32_t offset, std::uint32_t block_size) {
    std::vector<std::uint8_t> node(tarnwick_dat::kNodeSize);
    std::vector<std::uint8_t> block_bytes(block_size);
    std::size_t filled = 0;
    std::uint64_t block = offset;
    while (filled < node.size()) {
        const std::size_t want = std::min<std::size_t>(node.size() - filled + 4, block_size);
        if (::pread(fd, block_bytes.data(), want, static_cast<off_t>(block)) !=
            static_cast<ssize_t>(want)) {
            std::abort();
        }
        const std::uint32_t link = static_cast<std::uint32_t>(block_bytes[0]) |
                                   static_cast<std::uint32_t>(block_bytes[1]) << 8 |
                                   static_cast<std::uint32_t>(block_bytes[2]) << 16 |
                                   static_cast<std::uint32_t>(block_bytes[3]) << 24;
        std::memcpy(node.data() + filled, block_bytes.data() + 4, want - 4);
        filled += want - 4;
        if (link == 0) {
            break;
        }
        block = link;
    }
    benchmark::DoNotOptimize(node.data());
    return filled;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Times opening and the bare reads alternately in each iteration, so that
// both see the same cache state and machine load; reports both, their ratio
// and the memory the opened database holds per entry.
void BM_OpenVersusBareReads(benchmark::State& state) {
    const Fixture& f = fixture(state.range(0) != 0);
    const int fd = ::open(f.file->path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        state.SkipWithError("cannot open the archive");
        return;
    }
    // Memory: the bytes one opened database keeps allocated. Only blocks
    // allocated and freed while counting are seen, and the database frees
    // nothing it did not allocate during its opening.
    double bytes_per_entry = 0;
    double estimate_per_entry = 0;
    {
        g_live_bytes.store(0);
        g_counting.store(true);
        auto db = tarnwick_dat::DatDatabase::open(f.file->path());
        g_counting.store(false);
        if (!db || db->files().size() != kFiles) {
            state.SkipWithError("opening failed");
            ::close(fd);
            return;
        }
        // The table lives in pages of its own, which the allocation count
        // does not see: they are added as the table reports them.
        const double table_bytes = static_cast<double>(db->files().memory_bytes());
        bytes_per_entry = (static_cast<double>(g_live_bytes.load()) + table_bytes) / kFiles;
        estimate_per_entry = table_bytes / kFiles;
    }

    double open_seconds = 0;
    double bare_seconds = 0;
    for (auto _ : state) {
        {
            const auto start = std::chrono::steady_clock::now();
            auto db = tarnwick_dat::DatDatabase::open(f.file->path());
            open_seconds += seconds_since(start);
            if (!db || db->files().size() != kFiles) {
                state.SkipWithError("opening failed");
                break;
            }
        }

        const auto start = std::chrono::steady_clock::now();
        std::size_t total = 0;
        for (const std::uint32_t node : f.nodes) {
            total += bare_node_reads(fd, node, f.block_size);
        }
        bare_seconds += seconds_since(start);
        benchmark::DoNotOptimize(total);
    }
    ::close(fd);
    const auto n = static_cast<double>(state.iterations());
    state.counters["open_ms"] = open_seconds / n * 1e3;
    state.counters["bare_reads_ms"] = bare_seconds / n * 1e3;
    state.counters["open_over_bare"] = open_seconds / bare_seconds;
    state.counters["bytes_per_entry"] = bytes_per_entry;
    state.counters["table_bytes_per_entry"] = estimate_per_entry;
    state.counters["nodes"] = static_cast<double>(f.nodes.size());
}
BENCHMARK(BM_OpenVersusBareReads)
    ->ArgName("scattered")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
