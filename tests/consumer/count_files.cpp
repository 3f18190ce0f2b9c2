// Opens the archive named on the command line and prints its file count.
#include <cstdio>
#include <tarnwick_dat/lib.hpp>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: count_files ARCHIVE\n");
        return 2;
    }
    auto database = tarnwick_dat::DatDatabase::open(argv[1]);
    if (!database) {
        std::fprintf(stderr, "error: %s\n", database.error().display().c_str());
        return 1;
    }
    std::printf("%zu files\n", database.value().files.size());
    return 0;
}
