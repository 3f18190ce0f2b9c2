// Opens the archive named on the command line and prints its file count and
// how many of its files are fonts that decode.
#include <cstdio>
#include <tarnwick_dat/tarnwick_dat.hpp>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: count_files ARCHIVE\n");
        return 2;
    }
    auto database = tarnwick_dat::DatDatabase::open(argv[1]);
    if (!database.has_value()) {
        std::fprintf(stderr, "error: %s\n", database.error().display().c_str());
        return 1;
    }
    const tarnwick_dat::DatDatabase& db = *database;
    std::size_t fonts = 0;
    for (const tarnwick_dat::DatFileEntry& entry : db.files()) {
        if (db.file_type(entry.id) != tarnwick_dat::DatFileType::Font) {
            continue;
        }
        const bool decodes = db.get_file(entry.id)
                                 .and_then([](const tarnwick_dat::Bytes& bytes) {
                                     return tarnwick_dat::decode_font(bytes);
                                 })
                                 .transform([](const tarnwick_dat::Font&) { return true; })
                                 .value_or(false);
        fonts += decodes ? 1 : 0;
    }
    std::printf("%zu files, %zu fonts\n", db.files().size(), fonts);
    return 0;
}
