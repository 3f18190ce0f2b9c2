// Opens an archive, fetches the files named on the command line and prints
// one line per file: its id, its length and a 64-bit FNV-1a digest of its
// bytes. The lines are printed only once every fetch has succeeded; on the
// first failure it prints one "error: " line and exits with status 1.
//
// Usage: tarnwick_dat_fetch_all ARCHIVE ID...   (ids in hexadecimal)
#include <fmt/format.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <tarnwick_dat/lib.hpp>

int main(int argc, char** argv) {
    if (argc < 2) {
        fmt::print(stderr, "error: usage: {} ARCHIVE ID...\n", argv[0]);
        return 2;
    }
    auto db = tarnwick_dat::DatDatabase::open(argv[1]);
    if (!db) {
        fmt::print(stderr, "error: {}\n", db.error().display());
        return 1;
    }
    std::string lines;
    for (int i = 2; i < argc; ++i) {
        const auto id = static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 16));
        const auto bytes = db->get_file(id);
        if (!bytes) {
            fmt::print(stderr, "error: {}\n", bytes.error().display());
            return 1;
        }
        std::uint64_t digest = 0xcbf29ce484222325;
        for (const std::uint8_t byte : bytes.value()) {
            digest = (digest ^ byte) * 0x100000001b3;
        }
        lines += fmt::format("{:08X} {} {:016x}\n", id, bytes->size(), digest);
    }
    fmt::print("{}", lines);
    return 0;
}
