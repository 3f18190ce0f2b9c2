// Shared pieces of the Python module: how library errors become Python
// exceptions, how file ids and byte inputs are taken from Python objects, and
// the private helpers for the package's tests.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <tarnwick_dat/error.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat/record_reader.hpp>
#include <utility>

namespace tarnwick_dat_python {

namespace py = pybind11;

/// Runs `work` with the GIL released and returns its result once the GIL is
/// held again. `work` must not touch Python objects.
template <typename F>
auto without_gil(F&& work) {
    py::gil_scoped_release release;
    return std::forward<F>(work)();
}

/// Looks up the exception classes of the package's pure-Python layer; called
/// once while the module is imported.
void init_errors();

/// Raises the Python exception for `error`: the subclass of its kind, whose
/// text is the library's message, with the details of its kind attached.
[[noreturn]] void raise_dat_error(const tarnwick_dat::DatError& error);

/// Library text as a Python string; bytes that are not UTF-8 (paths) are kept
/// visible as escapes rather than failing the conversion.
py::str text(std::string_view value);

/// A file id from any Python integer; TypeError for a non-integer,
/// ValueError outside 0..0xFFFFFFFF.
std::uint32_t file_id_from(py::handle value);

/// The bytes of a bytes-like object, borrowed from an immutable `bytes` or
/// copied out of anything else, so that they stay valid and unchanged while
/// the GIL is released.
class InputBytes {
  public:
    explicit InputBytes(py::handle data);
    InputBytes(const InputBytes&) = delete;
    InputBytes& operator=(const InputBytes&) = delete;
    std::span<const std::uint8_t> view() const { return view_; }

  private:
    py::object keep_;
    tarnwick_dat::Bytes copy_;
    std::span<const std::uint8_t> view_;
};

/// `bytes` holding `data`; the GIL must be held.
inline py::bytes to_bytes(std::span<const std::uint8_t> data) {
    return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
}

/// Defines `FileEntry` and the entry iterator, plain CPython types that are
/// cheap to make and read (a script walks every entry of an archive).
void define_entries(py::module_& m);
/// A `FileEntry` holding a copy of `entry`.
py::object make_file_entry(const tarnwick_dat::DatFileEntry& entry);
/// What an `Archive` shares with its iterators: the database while the
/// archive is open, null once it is closed.
struct ArchiveState {
    std::mutex mutex;
    std::shared_ptr<const tarnwick_dat::DatDatabase> database;
};

/// An iterator over the archive's entries in ascending id order. It does
/// not keep the database: once the archive is closed its next step raises
/// ValueError, as a closed file's iterator does.
py::object make_entry_iterator(std::shared_ptr<ArchiveState> archive);

/// The database of an `Archive` object (held for as long as the caller keeps
/// it), or null when `value` is no Archive; ValueError when it is closed.
std::shared_ptr<const tarnwick_dat::DatDatabase> database_of(py::handle value);

/// The `FileType` member of `type`.
py::object file_type_object(tarnwick_dat::DatFileType type);

/// Defines `diff`, `DiffReport`, `Change`, `ChangeTotals` and `ChangeKind`.
void define_diff(py::module_& m);

/// What `ls --json --hash` writes for `database`, hashed with `hash` ("xxh3"
/// or "sha256"; ValueError otherwise).
std::string archive_manifest(const tarnwick_dat::DatDatabase& database, const std::string& hash,
                             unsigned threads);

/// Defines `ArchiveFile`, the file object of `Archive.open`.
void define_archive_file(py::module_& m);
/// An `ArchiveFile` reading file `id` of `database`; raises the library's
/// error when the file is not listed or its first bytes cannot be read.
py::object open_archive_file(std::shared_ptr<const tarnwick_dat::DatDatabase> database,
                             std::uint32_t id);

}  // namespace tarnwick_dat_python
