// tarnwick_dat._native: the archive library for Python. Records are read-only
// objects, enumerations are Python IntEnums, errors are the exception classes
// of the pure-Python layer, and every call that reads or decodes releases the
// GIL so that threads sharing one archive read in parallel.
#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include <tarnwick_dat/budget.hpp>
#include <tarnwick_dat/error.hpp>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/file_type/mod.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat/utils.hpp>
#include <tarnwick_dat/verify.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>

#include "bindings.hpp"

namespace tarnwick_dat_python {

namespace {

using tarnwick_dat::Bytes;
using tarnwick_dat::DatDatabase;
using tarnwick_dat::DatError;
using tarnwick_dat::DatFileEntry;
using tarnwick_dat::DatFileType;
using tarnwick_dat::DatHeader;
using tarnwick_dat::DatKind;
using tarnwick_dat::FetchOptions;
using tarnwick_dat::Font;
using tarnwick_dat::FontCharDesc;

// The IntEnum members, by value, built once at import from the library's own
// lists and names so that the two can never disagree.
struct Enums {
    py::object file_type;
    py::dict file_type_members;
    py::object archive_kind;
    py::dict archive_kind_members;
};
Enums* g_enums = nullptr;

py::object file_type_member(DatFileType type) {
    return g_enums->file_type_members[py::int_(static_cast<std::uint32_t>(type))];
}

py::object archive_kind_member(DatKind kind) {
    return g_enums->archive_kind_members[py::int_(static_cast<unsigned>(kind))];
}

DatKind archive_kind_from(py::handle value) {
    py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!number) {
        PyErr_Clear();
        throw py::type_error(std::string("an archive kind is an ArchiveKind, not ") +
                             Py_TYPE(value.ptr())->tp_name);
    }
    const long kind = PyLong_AsLong(number.ptr());
    for (DatKind candidate : tarnwick_dat::kAllDatKinds) {
        if (kind == static_cast<long>(candidate)) {
            return candidate;
        }
    }
    PyErr_Clear();
    throw py::value_error("no archive kind has the value " + py::repr(number).cast<std::string>());
}

py::object make_int_enum(const char* name, const char* doc, py::list members,
                         py::dict& by_value) {
    py::object cls = py::module_::import("enum").attr("IntEnum")(name, std::move(members),
                                                                 py::arg("module") = "tarnwick_dat");
    cls.attr("__doc__") = doc;
    for (py::handle member : cls) {
        by_value[member.attr("value")] = member;
    }
    return cls;
}

// Each thread keeps one fetch buffer, so reading many files allocates only
// the `bytes` handed back; a buffer grown by one huge file is let go.
constexpr std::size_t kKeptBuffer = std::size_t{4} << 20;

Bytes& fetch_buffer() {
    thread_local Bytes buffer;
    return buffer;
}

void trim_fetch_buffer(Bytes& buffer) {
    if (buffer.capacity() > kKeptBuffer) {
        Bytes().swap(buffer);
    }
}

/// An opened archive as Python sees it. Each call takes its own reference to
/// the database for as long as it runs, so `close` from one thread while
/// others read only drops the archive's reference: the file is closed when
/// the last running call is done.
class Archive {
  public:
    Archive(std::shared_ptr<const DatDatabase> database, std::filesystem::path path)
        : database_(std::move(database)), path_(std::move(path)) {}

    std::shared_ptr<const DatDatabase> database() const {
        std::lock_guard lock(mutex_);
        if (!database_) {
            throw py::value_error("I/O operation on a closed archive");
        }
        return database_;
    }

    void close() {
        std::shared_ptr<const DatDatabase> last;
        {
            std::lock_guard lock(mutex_);
            last.swap(database_);
        }
    }

    bool closed() const {
        std::lock_guard lock(mutex_);
        return !database_;
    }

    const std::filesystem::path& path() const { return path_; }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<const DatDatabase> database_;
    std::filesystem::path path_;
};

std::unique_ptr<Archive> open_archive(const std::filesystem::path& path) {
    auto opened = without_gil([&] { return DatDatabase::open(path); });
    if (!opened) {
        raise_dat_error(opened.error());
    }
    return std::make_unique<Archive>(std::make_shared<const DatDatabase>(std::move(opened).value()),
                                     path);
}

py::bytes read_file(const Archive& archive, py::handle id_object, bool strict) {
    const std::uint32_t id = file_id_from(id_object);
    auto database = archive.database();
    Bytes& buffer = fetch_buffer();
    const auto fetch = [&] {
        return database->read_file_into(id, buffer, FetchOptions{.strict = strict});
    };
    // Handing the GIL to another thread and taking it back costs more than
    // reading a small file: threads that read many small files at once would
    // spend their time passing it around. Only reads long enough to gain
    // from running in parallel let it go.
    constexpr std::uint32_t kReleaseFrom = 16 * 1024;
    const DatFileEntry* entry = database->files().find(id);
    auto read = entry != nullptr && entry->size < kReleaseFrom ? fetch() : without_gil(fetch);
    if (!read) {
        trim_fetch_buffer(buffer);
        raise_dat_error(read.error());
    }
    py::bytes result = to_bytes(buffer);
    trim_fetch_buffer(buffer);
    return result;
}

// `Archive.read` is the call a script makes once per file, so it skips
// pybind11's general dispatch (overload resolution, argument loaders): a
// vectorcall method parses its one positional-or-keyword id and its
// keyword-only `strict` itself.
constexpr const char* kReadDoc =
    "read($self, /, id, *, strict=True)\n--\n\n"
    "The bytes of file `id`, decoded when stored compressed. strict: a damaged stream raises "
    "DecompressionFailedError; with strict=False it gives the bytes decoded so far, as the "
    "game does.";

PyObject* archive_read_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    try {
        if (nargs > 1) {
            throw py::type_error("read() takes 1 positional argument but " +
                                 std::to_string(nargs) + " were given");
        }
        PyObject* id = nargs == 1 ? args[0] : nullptr;
        bool strict = true;
        const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < keywords; ++i) {
            const std::string name = py::handle(PyTuple_GET_ITEM(kwnames, i)).cast<std::string>();
            PyObject* value = args[nargs + i];
            if (name == "id" && id == nullptr) {
                id = value;
            } else if (name == "strict") {
                const int truth = PyObject_IsTrue(value);
                if (truth < 0) {
                    throw py::error_already_set();
                }
                strict = truth != 0;
            } else {
                throw py::type_error("read() got an unexpected or repeated argument '" + name +
                                     "'");
            }
        }
        if (id == nullptr) {
            throw py::type_error("read() missing required argument 'id'");
        }
        const auto& archive = py::handle(self).cast<const Archive&>();
        return read_file(archive, id, strict).release().ptr();
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (py::builtin_exception& error) {
        error.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

PyMethodDef g_read_method = {
    "read",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&archive_read_method)),
    METH_FASTCALL | METH_KEYWORDS,
    kReadDoc,
};

Font read_font(const Archive& archive, const py::int_& id_object, bool strict) {
    const std::uint32_t id = file_id_from(id_object);
    auto database = archive.database();
    auto font = without_gil([&]() -> tarnwick_dat::Result<Font, DatError> {
        Bytes& buffer = fetch_buffer();
        auto read = database->read_file_into(id, buffer, FetchOptions{.strict = strict});
        if (!read) {
            trim_fetch_buffer(buffer);
            return tarnwick_dat::Err{std::move(read).error()};
        }
        auto decoded = tarnwick_dat::decode_font(buffer);
        trim_fetch_buffer(buffer);
        return decoded;
    });
    if (!font) {
        raise_dat_error(font.error());
    }
    return std::move(font).value();
}

// The same loop as a script's `for entry in archive: archive.read(entry.id)`,
// all in C++, for the benchmark to compare against; `threads` split the ids
// in contiguous runs as the script's threads do. Returns the bytes read.
std::uint64_t read_all_native(const Archive& archive, bool strict, unsigned threads) {
    auto database = archive.database();
    const auto entries = database->files().entries();
    // Like every pass over many files, held to the archive's work budget.
    std::vector<const DatFileEntry*> all;
    all.reserve(entries.size());
    for (const DatFileEntry& entry : entries) {
        all.push_back(&entry);
    }
    const tarnwick_dat::BudgetCheck work = without_gil([&] {
        return tarnwick_dat::check_budget(*database, all,
                                          tarnwick_dat::WorkBudget::for_archive(*database));
    });
    if (!work.fits()) {
        raise_dat_error(DatError::other("refusing to read every file: " + work.describe()));
    }
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

// Records compare equal field by field; anything else compares unequal.
template <typename T>
bool equal(const T& a, const T& b) {
    return a == b;
}

void define_records(py::module_& m) {
    py::class_<DatHeader>(m, "Header", "The archive header, as read at opening; nothing checked.")
        .def_readonly("magic", &DatHeader::magic)
        .def_readonly("block_size", &DatHeader::block_size)
        .def_readonly("file_size", &DatHeader::file_size)
        .def_readonly("dataset", &DatHeader::dataset)
        .def_readonly("subset", &DatHeader::subset)
        .def_readonly("free_head", &DatHeader::free_head)
        .def_readonly("free_tail", &DatHeader::free_tail)
        .def_readonly("free_count", &DatHeader::free_count)
        .def_readonly("root_offset", &DatHeader::root_offset)
        .def_readonly("new_lru", &DatHeader::new_lru)
        .def_readonly("old_lru", &DatHeader::old_lru)
        .def_readonly("use_lru", &DatHeader::use_lru)
        .def_readonly("master_map_id", &DatHeader::master_map_id)
        .def_readonly("engine_version", &DatHeader::engine_version)
        .def_readonly("game_version", &DatHeader::game_version)
        .def_property_readonly(
            "version_string", [](const DatHeader& h) { return to_bytes(h.version_string); },
            "The 16 raw bytes, never decoded as text.")
        .def_readonly("version_minor", &DatHeader::version_minor)
        .def("__eq__", &equal<DatHeader>, py::is_operator(), py::arg("other"))
        .def("__repr__", [](const DatHeader& h) {
            return fmt::format("Header(magic=0x{:X}, block_size={}, dataset={}, root_offset=0x{:X})",
                               h.magic, h.block_size, h.dataset, h.root_offset);
        });

    py::class_<FontCharDesc>(m, "FontCharDesc", "One glyph of a font.")
        .def_readonly("unicode", &FontCharDesc::unicode)
        .def_readonly("offset_x", &FontCharDesc::offset_x)
        .def_readonly("offset_y", &FontCharDesc::offset_y)
        .def_readonly("width", &FontCharDesc::width)
        .def_readonly("height", &FontCharDesc::height)
        .def_readonly("horizontal_offset_before", &FontCharDesc::horizontal_offset_before)
        .def_readonly("horizontal_offset_after", &FontCharDesc::horizontal_offset_after)
        .def_readonly("vertical_offset_before", &FontCharDesc::vertical_offset_before)
        .def("__eq__", &equal<FontCharDesc>, py::is_operator(), py::arg("other"))
        .def("__repr__", [](const FontCharDesc& d) {
            return fmt::format("FontCharDesc(unicode=0x{:04X}, offset_x={}, offset_y={}, width={}, "
                               "height={})",
                               d.unicode, d.offset_x, d.offset_y, d.width, d.height);
        });

    py::class_<Font>(m, "Font", "A font record; values as stored, none checked.")
        .def_readonly("id", &Font::id)
        .def_readonly("max_char_height", &Font::max_char_height)
        .def_readonly("max_char_width", &Font::max_char_width)
        .def_property_readonly(
            "char_descs",
            [](const Font& font) {
                py::tuple descs(font.char_descs.size());
                for (std::size_t i = 0; i < font.char_descs.size(); ++i) {
                    descs[i] = py::cast(font.char_descs[i]);
                }
                return descs;
            },
            "One descriptor per glyph, in stored order.")
        .def_readonly("num_horizontal_border_pixels", &Font::num_horizontal_border_pixels)
        .def_readonly("num_vertical_border_pixels", &Font::num_vertical_border_pixels)
        .def_readonly("baseline_offset", &Font::baseline_offset)
        .def_readonly("foreground_surface_data_id", &Font::foreground_surface_data_id)
        .def_readonly("background_surface_data_id", &Font::background_surface_data_id)
        .def("__eq__", &equal<Font>, py::is_operator(), py::arg("other"))
        .def("__repr__", [](const Font& f) {
            return fmt::format("Font(id=0x{:08X}, glyphs={}, max_char_height={}, "
                               "max_char_width={})",
                               f.id, f.char_descs.size(), f.max_char_height, f.max_char_width);
        });
}

void define_archive(py::module_& m) {
    py::class_<Archive> archive(m, "Archive",
                                "An opened archive; a context manager that closes it. Safe to "
                                "share between threads.");
    archive
        .def("close", &Archive::close,
             "Closes the archive; later calls raise ValueError. Calls already running finish.")
        .def_property_readonly("closed", &Archive::closed)
        .def_property_readonly("path", &Archive::path)
        .def("__enter__", [](Archive& a) -> Archive& { return a; })
        .def("__exit__", [](Archive& a, const py::args&) { a.close(); })
        .def_property_readonly(
            "header", [](const Archive& a) { return a.database()->header(); },
            "The header read at opening.")
        .def_property_readonly(
            "kind", [](const Archive& a) { return archive_kind_member(a.database()->dat_kind()); },
            "The kind of archive, from its header.")
        .def("__len__", [](const Archive& a) { return a.database()->files().size(); })
        .def(
            "__iter__", [](const Archive& a) { return make_entry_iterator(a.database()); },
            "The directory's entries in ascending id order.")
        .def(
            "__contains__",
            [](const Archive& a, const py::object& id) {
                auto database = a.database();
                if (!PyIndex_Check(id.ptr())) {
                    return false;
                }
                try {
                    return database->files().contains(file_id_from(id));
                } catch (const py::value_error&) {
                    return false;
                }
            },
            py::arg("id"))
        .def(
            "entry",
            [](const Archive& a, const py::int_& id_object) {
                const std::uint32_t id = file_id_from(id_object);
                const DatFileEntry* entry = a.database()->files().find(id);
                if (entry == nullptr) {
                    raise_dat_error(DatError::not_found(id));
                }
                return make_file_entry(*entry);
            },
            py::arg("id"), "The directory entry of file `id`; NotFoundError if it is not listed.")
        .def(
            "decoded_size",
            [](const Archive& a, const py::int_& id_object) {
                const std::uint32_t id = file_id_from(id_object);
                auto database = a.database();
                auto size = without_gil([&] { return database->decoded_size(id); });
                if (!size) {
                    raise_dat_error(size.error());
                }
                return *size;
            },
            py::arg("id"), "The length of file `id` once decoded, without decoding it.")
        .def(
            "file_type",
            [](const Archive& a, const py::int_& id) {
                return file_type_member(a.database()->file_type(file_id_from(id)));
            },
            py::arg("id"), "The type of file id `id` in this archive's kind (listed or not).")
        .def(
            "open",
            [](const Archive& a, const py::int_& id) {
                return open_archive_file(a.database(), file_id_from(id));
            },
            py::arg("id"),
            "File `id` as a read-only file object (ArchiveFile) that reads it in pieces, in "
            "bounded memory whatever its size; strict as read() is.")
        .def("font", &read_font, py::arg("id"), py::kw_only(), py::arg("strict") = true,
             "File `id` decoded as a font record; BinReadError when it is not one.")
        .def(
            "verify",
            [](const Archive& a, unsigned threads) {
                auto database = a.database();
                tarnwick_dat::VerifyOptions options;
                options.threads = threads;
                return without_gil([&] { return tarnwick_dat::verify_archive(*database, options); });
            },
            py::kw_only(), py::arg("threads") = 0U,
            "Checks every file, chain and node of the archive; never stops at the first finding.")
        .def("__repr__", [](const Archive& a) {
            const std::string path = a.path().string();
            if (a.closed()) {
                return fmt::format("<tarnwick_dat.Archive '{}' closed>", path);
            }
            return fmt::format("<tarnwick_dat.Archive '{}' files={}>", path,
                               a.database()->files().size());
        });

    PyObject* read = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(archive.ptr()),
                                       &g_read_method);
    if (read == nullptr) {
        throw py::error_already_set();
    }
    archive.attr("read") = py::reinterpret_steal<py::object>(read);

    m.def("open", &open_archive, py::arg("path"),
          "Opens the archive at `path` (str or os.PathLike) and reads its directory.");
    m.def("_read_all_native", &read_all_native, py::arg("archive"), py::kw_only(),
          py::arg("strict") = true, py::arg("threads") = 1U,
          "Benchmark only: reads every file in C++ and returns the bytes read.");
}

// A value the library may leave out, as the object or None.
template <typename T, typename F>
py::object optional_object(const std::optional<T>& value, F&& to_object) {
    if (!value) {
        return py::none();
    }
    return py::object(to_object(*value));
}

void define_verify(py::module_& m) {
    using tarnwick_dat::Finding;
    using tarnwick_dat::VerifyReport;
    using tarnwick_dat::VerifyTotals;
    py::class_<Finding>(m, "Finding", "One thing a verification found.")
        .def_property_readonly(
            "severity",
            [](const Finding& f) { return std::string(tarnwick_dat::severity_name(f.severity)); },
            "'damage' or 'information'.")
        .def_property_readonly(
            "kind",
            [](const Finding& f) { return std::string(tarnwick_dat::finding_kind_name(f.kind)); },
            "What was found, as a stable lower-case name such as 'stream_cut'.")
        .def_property_readonly(
            "file_id",
            [](const Finding& f) {
                return optional_object(f.file_id, [](std::uint32_t id) { return py::int_(id); });
            },
            "The file concerned, or None.")
        .def_property_readonly(
            "file_type",
            [](const Finding& f) { return optional_object(f.file_type, file_type_member); },
            "The type of the file concerned, or None.")
        .def_property_readonly(
            "node_offset",
            [](const Finding& f) {
                return optional_object(f.node_offset,
                                       [](std::uint32_t offset) { return py::int_(offset); });
            },
            "The directory node concerned, or None.")
        .def_readonly("description", &Finding::description)
        .def("__str__", &Finding::display);
    py::class_<VerifyTotals>(m, "VerifyTotals", "What a verification looked at.")
        .def_readonly("files", &VerifyTotals::files)
        .def_readonly("nodes", &VerifyTotals::nodes)
        .def_readonly("stored_bytes", &VerifyTotals::stored_bytes)
        .def_readonly("decoded_bytes", &VerifyTotals::decoded_bytes)
        .def_readonly("blocks", &VerifyTotals::blocks)
        .def_readonly("unused_blocks", &VerifyTotals::unused_blocks);
    py::class_<VerifyReport>(m, "VerifyReport", "Every finding of a verification, and its totals.")
        .def_property_readonly(
            "findings",
            [](const VerifyReport& r) {
                py::list findings;
                for (const Finding& f : r.findings) {
                    findings.append(py::cast(f));
                }
                return py::tuple(findings);
            },
            "The findings, damage and information, in a stable order.")
        .def_readonly("totals", &VerifyReport::totals)
        .def_property_readonly("damaged", &VerifyReport::damaged,
                               "True when any finding is damage.")
        .def("summary", &VerifyReport::summary, "The one-line summary of the totals.");
}

void define_functions(py::module_& m) {
    m.def(
        "decompress_lrs",
        [](const py::buffer& data) {
            InputBytes input(data);
            Bytes out = without_gil([&] { return tarnwick_dat::decompress_lrs(input.view()); });
            return to_bytes(out);
        },
        py::arg("data"),
        "Decodes an LRS payload (4-byte size, then tokens). Never fails: damaged input gives "
        "the bytes decoded so far; input under 4 bytes comes back as is.");
    m.def(
        "compress_lrs",
        [](const py::buffer& data) {
            InputBytes input(data);
            Bytes out = without_gil([&] { return tarnwick_dat_writer::compress_lrs(input.view()); });
            return to_bytes(out);
        },
        py::arg("data"), "Encodes bytes as an LRS payload that decompress_lrs decodes back.");
    m.def(
        "decode_font",
        [](const py::buffer& data) {
            InputBytes input(data);
            auto font = without_gil([&] { return tarnwick_dat::decode_font(input.view()); });
            if (!font) {
                raise_dat_error(font.error());
            }
            return std::move(font).value();
        },
        py::arg("data"), "Decodes bytes as one whole font record.");
    m.def(
        "classify",
        [](const py::int_& id_object, const py::object& kind) {
            const std::uint32_t id = file_id_from(id_object);
            if (kind.is_none()) {
                return file_type_member(tarnwick_dat::file_type::from_id(id));
            }
            return file_type_member(
                tarnwick_dat::file_type::from_id_in_dat(id, archive_kind_from(kind)));
        },
        py::arg("id"), py::arg("kind") = py::none(),
        "The file type of `id` in an archive of `kind`; with no kind, guessed from the id.");
}

void define_enums(py::module_& m) {
    // Kept for the life of the process (never destroyed after the interpreter
    // has shut down).
    auto& enums = *new Enums;
    py::list types;
    for (DatFileType type : tarnwick_dat::kAllDatFileTypes) {
        types.append(py::make_tuple(std::string(tarnwick_dat::name(type)),
                                    static_cast<std::uint32_t>(type)));
    }
    enums.file_type = make_int_enum("FileType",
                                    "The kind of record a file id names; for portal types the "
                                    "value is the id's high byte.",
                                    types, enums.file_type_members);
    py::list kinds;
    for (DatKind kind : tarnwick_dat::kAllDatKinds) {
        kinds.append(
            py::make_tuple(std::string(tarnwick_dat::name(kind)), static_cast<unsigned>(kind)));
    }
    enums.archive_kind = make_int_enum("ArchiveKind", "The kind of archive, from its header.",
                                       kinds, enums.archive_kind_members);
    g_enums = &enums;
    m.attr("FileType") = enums.file_type;
    m.attr("ArchiveKind") = enums.archive_kind;
}

}  // namespace

}  // namespace tarnwick_dat_python

PYBIND11_MODULE(_native, m) {
    namespace tp = tarnwick_dat_python;
    m.doc() = "The tarnwick_dat archive library; use it through the tarnwick_dat package.";
    tp::init_errors();
    tp::define_enums(m);
    tp::define_entries(m);
    tp::define_records(m);
    tp::define_verify(m);
    tp::define_archive_file(m);
    tp::define_archive(m);
    tp::define_functions(m);
    pybind11::module_ testing = m.def_submodule("_testing", "Private helpers for the package's tests.");
    tp::init_testing(testing);
}
