// tarnwick_dat_testing, a module of its own beside the package and never
// packaged: the archive writer for the package's own tests, which need whole
// archives and archives damaged on purpose, and sample archives for the
// benchmark.
#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat_writer/archive_writer.hpp>
#include <tarnwick_dat_writer/sample_archive.hpp>
#include <thread>
#include <type_traits>
#include <vector>

#include "bindings.hpp"

namespace tarnwick_dat_python {

namespace {

using tarnwick_dat::DatDatabase;
using tarnwick_dat::DatError;
using tarnwick_dat::FetchOptions;
using tarnwick_dat_writer::ArchiveBuilder;
using tarnwick_dat_writer::HeaderFields;

// Sets the header fields named in `fields` (keywords, as `DatHeader`'s
// description names them); a version string shorter than 16 bytes is padded
// with zeros.
void set_header(ArchiveBuilder& builder, const py::kwargs& fields) {
    HeaderFields& header = builder.header();
    for (const auto& [key, value] : fields) {
        const auto name = key.cast<std::string>();
        if (name == "file_size") {
            header.file_size = value.cast<std::uint32_t>();
            continue;
        }
        bool found = false;
        tarnwick_dat::DatHeader& described = header;
        tarnwick_dat::for_each_field(
            described, [&](const tarnwick_dat::FieldSite& site, auto& field) {
                if (site.field != name) {
                    return;
                }
                found = true;
                using Field = std::remove_cvref_t<decltype(field)>;
                if constexpr (std::is_integral_v<Field>) {
                    field = value.cast<Field>();
                } else {
                    InputBytes bytes(value);
                    if (bytes.view().size() > field.size()) {
                        throw py::value_error(name + " holds at most " +
                                              std::to_string(field.size()) + " bytes");
                    }
                    std::fill(field.begin(), field.end(), 0);
                    std::copy(bytes.view().begin(), bytes.view().end(), field.begin());
                }
            });
        if (!found) {
            throw py::type_error("no header field named " + name);
        }
    }
}

// The same loop as a script's `for entry in archive: archive.read(entry.id)`
// over the archive at `path`,
// all in C++, for the benchmark to compare against; `threads` split the ids
// in contiguous runs as the script's threads do. Returns the bytes read.
std::uint64_t read_all_native(const std::filesystem::path& path, bool strict, unsigned threads) {
    auto opened = without_gil([&] { return DatDatabase::open(path); });
    if (!opened) {
        raise_dat_error(opened.error());
    }
    const DatDatabase* database = &opened.value();
    const auto entries = database->files().entries();
    threads = std::clamp(threads, 1U, 64U);
    std::vector<std::uint64_t> totals(threads, 0);
    std::vector<std::optional<DatError>> failures(threads);
    without_gil([&] {
        auto run = [&](unsigned part) {
            const std::size_t begin = entries.size() * part / threads;
            const std::size_t end = entries.size() * (part + 1) / threads;
            for (std::size_t i = begin; i < end; ++i) {
                auto read = database->get_file(entries[i].id, FetchOptions{.strict = strict});
                if (!read) {
                    failures[part].emplace(std::move(read).error());
                    return;
                }
                totals[part] += read->size();
            }
        };
        std::vector<std::thread> workers;
        for (unsigned part = 1; part < threads; ++part) {
            workers.emplace_back(run, part);
        }
        run(0);
        for (auto& worker : workers) {
            worker.join();
        }
    });
    for (const auto& failure : failures) {
        if (failure) {
            raise_dat_error(*failure);
        }
    }
    std::uint64_t total = 0;
    for (std::uint64_t part : totals) {
        total += part;
    }
    return total;
}

void raise_os_error(const tarnwick_dat::IoError& error) {
    PyErr_SetObject(PyExc_OSError, text(error.display()).ptr());
    throw py::error_already_set();
}

void init_testing(py::module_& testing) {
    testing.doc() = "The archive writer for tarnwick_dat's tests and benchmark.";
    py::class_<ArchiveBuilder>(testing, "ArchiveBuilder",
                               "Builds a well-formed archive; entries may point anywhere.")
        .def(py::init<std::uint32_t>(), py::arg("block_size") = 1024)
        .def(
            "add_file",
            [](ArchiveBuilder& builder, std::uint32_t id, const py::buffer& data, bool compress,
               std::uint32_t flags) {
                InputBytes bytes(data);
                builder.add_file(id, bytes.view(),
                                 tarnwick_dat_writer::FileOptions{compress, flags, 0, 0, {}});
            },
            py::arg("id"), py::arg("data"), py::kw_only(), py::arg("compress") = false,
            py::arg("flags") = 0U,
            "Stores a file; `flags` are further bit_flags bits (bit 0 without compress marks "
            "plain bytes as compressed).")
        .def(
            "add_entry",
            [](ArchiveBuilder& builder, std::uint32_t id, std::uint32_t offset, std::uint32_t size,
               std::uint32_t bit_flags) {
                tarnwick_dat::DatFileEntry entry;
                entry.id = id;
                entry.offset = offset;
                entry.size = size;
                entry.bit_flags = bit_flags;
                builder.add_entry(entry);
            },
            py::arg("id"), py::arg("offset"), py::arg("size"), py::kw_only(),
            py::arg("bit_flags") = 0U, "Lists an entry pointing wherever it says.")
        .def("set_header", &set_header, "Sets header fields by name.")
        .def(
            "directory",
            [](ArchiveBuilder& builder, std::size_t max_entries_per_node) {
                tarnwick_dat_writer::DirectoryOptions options;
                options.max_entries_per_node = max_entries_per_node;
                builder.directory(options);
            },
            py::arg("max_entries_per_node"))
        .def(
            "build", [](const ArchiveBuilder& builder) { return to_bytes(builder.build()); },
            "The archive file's bytes.");

    testing.def(
        "write_sample_archive",
        [](const std::filesystem::path& path, std::size_t files, std::size_t fonts,
           std::uint64_t seed) {
            tarnwick_dat_writer::SampleOptions options;
            options.files = files;
            options.fonts = fonts;
            options.seed = seed;
            auto written = without_gil(
                [&] { return tarnwick_dat_writer::write_sample_archive(path, options); });
            if (!written) {
                raise_os_error(written.error());
            }
        },
        py::arg("path"), py::kw_only(), py::arg("files"), py::arg("fonts"), py::arg("seed") = 1U,
        "Writes a synthetic portal archive of `files` files, `fonts` of them fonts.");
    testing.def(
        "merged_tail_archive",
        [](std::uint32_t entries, std::uint32_t tail_blocks) {
            return to_bytes(tarnwick_dat_writer::build_merged_tail_archive(entries, tail_blocks));
        },
        py::arg("entries"), py::arg("tail_blocks"),
        "A damaged archive in 5-byte blocks whose entries (ids 0x06000000 + k) each start in a "
        "block of their own and then all run into one scattered tail of `tail_blocks` blocks.");
    testing.def("read_all_native", &read_all_native, py::arg("path"), py::kw_only(),
                py::arg("strict") = true, py::arg("threads") = 1U,
                "Reads every file of the archive at `path` in C++; returns the bytes read.");
}

}  // namespace

}  // namespace tarnwick_dat_python

PYBIND11_MODULE(tarnwick_dat_testing, m) {
    tarnwick_dat_python::init_errors();
    tarnwick_dat_python::init_testing(m);
}
