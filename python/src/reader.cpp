// `Archive.open`: one file's bytes as a read-only, forward-only file object
// over the library's streaming reader, for files too large to read whole.

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tarnwick_dat/file_reader.hpp>

#include "bindings.hpp"

namespace tarnwick_dat_python {

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::DatDatabase;
using tarnwick_dat::FileReader;

// Reads shorter than this keep the GIL, whose hand-over costs more.
constexpr std::size_t kReleaseFrom = 16 * 1024;
// `read()` without a size gathers the rest in pieces of this size.
constexpr std::size_t kReadAllPiece = std::size_t{1} << 20;

class ArchiveFile {
  public:
    ArchiveFile(std::shared_ptr<const DatDatabase> database, FileReader reader)
        : database_(std::move(database)), reader_(std::move(reader)) {}

    std::uint32_t id() const { return reader_ ? reader_->id() : closed_id_; }
    std::uint64_t size() {
        std::lock_guard lock(mutex_);
        return open_reader().size();
    }
    std::uint64_t tell() {
        std::lock_guard lock(mutex_);
        return open_reader().position();
    }
    bool closed() const { return !reader_; }

    void close() {
        std::lock_guard lock(mutex_);
        if (reader_) {
            closed_id_ = reader_->id();
            reader_.reset();
            database_.reset();
        }
    }

    py::bytes read(std::int64_t size) {
        std::lock_guard lock(mutex_);
        FileReader& reader = open_reader();
        Bytes out;
        if (size >= 0) {
            out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(
                static_cast<std::uint64_t>(size),
                reader.size() - std::min(reader.size(), reader.position()) + 1)));
            out.resize(fill(reader, out));
            return to_bytes(out);
        }
        Bytes piece(kReadAllPiece);
        for (;;) {
            const std::size_t n = fill(reader, piece);
            out.insert(out.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
            if (n < piece.size()) {
                return to_bytes(out);
            }
        }
    }

    std::size_t readinto(const py::buffer& target) {
        std::lock_guard lock(mutex_);
        FileReader& reader = open_reader();
        const py::buffer_info info = target.request(true);
        if (info.itemsize != 1 && info.ndim != 1) {
            throw py::type_error("readinto() needs a writable bytes-like object");
        }
        const auto size = static_cast<std::size_t>(info.size * info.itemsize);
        return fill(reader, std::span(static_cast<std::uint8_t*>(info.ptr), size));
    }

  private:
    FileReader& open_reader() {
        if (!reader_) {
            throw py::value_error("I/O operation on closed file.");
        }
        return *reader_;
    }

    // Fills `out` as far as the file goes; raises the library's error.
    static std::size_t fill(FileReader& reader, std::span<std::uint8_t> out) {
        const auto read = [&] { return reader.read(out); };
        auto got = out.size() < kReleaseFrom ? read() : without_gil(read);
        if (!got) {
            raise_dat_error(got.error());
        }
        return got.value();
    }

    std::mutex mutex_;
    std::shared_ptr<const DatDatabase> database_;
    std::optional<FileReader> reader_;
    std::uint32_t closed_id_ = 0;
};

}  // namespace

void define_archive_file(py::module_& m) {
    py::class_<ArchiveFile>(m, "ArchiveFile",
                            "One file's bytes, decoded when compressed, read in pieces in "
                            "bounded memory; a read-only, forward-only file object and a "
                            "context manager. A damaged file raises the error get_file's strict "
                            "fetch would, at the read that meets the damage.")
        .def("read", &ArchiveFile::read, py::arg("size") = -1,
             "Up to `size` bytes (all the rest when negative); b\"\" at the end.")
        .def("readinto", &ArchiveFile::readinto, py::arg("buffer"),
             "Fills `buffer` with the next bytes; returns how many (0 at the end).")
        .def("readable", [](const ArchiveFile&) { return true; })
        .def("seekable", [](const ArchiveFile&) { return false; })
        .def("writable", [](const ArchiveFile&) { return false; })
        .def("tell", &ArchiveFile::tell, "Bytes read so far.")
        .def("close", &ArchiveFile::close, "Releases the reader; later reads raise ValueError.")
        .def_property_readonly("closed", &ArchiveFile::closed)
        .def_property_readonly("id", &ArchiveFile::id)
        .def_property_readonly("size", &ArchiveFile::size,
                               "The file's decoded length when it is sound.")
        .def("__enter__", [](ArchiveFile& f) -> ArchiveFile& { return f; })
        .def("__exit__", [](ArchiveFile& f, const py::args&) { f.close(); });
}

py::object open_archive_file(std::shared_ptr<const DatDatabase> database, std::uint32_t id) {
    auto reader = without_gil([&] { return database->open_file(id); });
    if (!reader) {
        raise_dat_error(reader.error());
    }
    return py::cast(std::make_unique<ArchiveFile>(std::move(database), std::move(reader).value()));
}

}  // namespace tarnwick_dat_python
