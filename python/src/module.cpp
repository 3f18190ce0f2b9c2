// tarnwick_dat._native: the archive library for Python. Records are read-only
// objects, enumerations are Python IntEnums, errors are the exception classes
// of the pure-Python layer, and every call that reads or decodes releases the
// GIL so that threads sharing one archive read in parallel.
#include <fmt/format.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tarnwick_dat/budget.hpp>
#include <tarnwick_dat/error.hpp>
#include <tarnwick_dat/file_type/font.hpp>
#include <tarnwick_dat/file_type/mod.hpp>
#include <tarnwick_dat/lib.hpp>
#include <tarnwick_dat/shared_blocks.hpp>
#include <tarnwick_dat/utils.hpp>
#include <tarnwick_dat/verify.hpp>
#include <tarnwick_dat_writer/lrs_encoder.hpp>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings.hpp"

namespace tarnwick_dat_python {

// Values the module hands out as Python objects that pybind11 does not know
// (IntEnum members, the plain FileEntry type): their casters name the real
// Python type in signatures, where a py::object would show as `object`.
struct FileTypeValue {
    tarnwick_dat::DatFileType type;
};
struct ArchiveKindValue {
    tarnwick_dat::DatKind kind;
};
struct EntryValue {
    tarnwick_dat::DatFileEntry entry;
};
/// Any Python object, shown in signatures as the type `Name::text` names.
template <typename Name>
struct Typed {
    py::object object;
};
struct PathName {
    static constexpr char text[] = "pathlib.Path";
};
struct PathListName {
    static constexpr char text[] = "list[pathlib.Path]";
};
struct KeysName {
    static constexpr char text[] = "collections.abc.KeysView[int]";
};
struct ValuesName {
    static constexpr char text[] = "collections.abc.ValuesView[bytes]";
};
struct IteratorName {
    static constexpr char text[] = "collections.abc.Iterator[FileEntry]";
};
/// A file id argument taken as any object (read's rules apply in the body:
/// anything with __index__), shown in signatures as `int`.
struct FileIdArg {
    py::object object;
};
struct ItemsName {
    static constexpr char text[] = "collections.abc.ItemsView[int, bytes]";
};

py::object file_type_member(tarnwick_dat::DatFileType type);
py::object archive_kind_member(tarnwick_dat::DatKind kind);
tarnwick_dat::DatKind archive_kind_from(py::handle value);

}  // namespace tarnwick_dat_python

namespace pybind11::detail {

template <>
struct type_caster<tarnwick_dat_python::FileTypeValue> {
    PYBIND11_TYPE_CASTER(tarnwick_dat_python::FileTypeValue, const_name("FileType"));
    bool load(handle, bool) { return false; }
    static handle cast(tarnwick_dat_python::FileTypeValue value, return_value_policy, handle) {
        return tarnwick_dat_python::file_type_member(value.type).release();
    }
};

// Taken from any integer (an ArchiveKind member or its value); ValueError for
// a value that is no kind.
template <>
struct type_caster<tarnwick_dat_python::ArchiveKindValue> {
    PYBIND11_TYPE_CASTER(tarnwick_dat_python::ArchiveKindValue, const_name("ArchiveKind"));
    bool load(handle source, bool) {
        if (PyIndex_Check(source.ptr()) == 0) {
            return false;
        }
        value.kind = tarnwick_dat_python::archive_kind_from(source);
        return true;
    }
    static handle cast(tarnwick_dat_python::ArchiveKindValue value, return_value_policy, handle) {
        return tarnwick_dat_python::archive_kind_member(value.kind).release();
    }
};

template <>
struct type_caster<tarnwick_dat_python::EntryValue> {
    PYBIND11_TYPE_CASTER(tarnwick_dat_python::EntryValue, const_name("FileEntry"));
    bool load(handle, bool) { return false; }
    static handle cast(const tarnwick_dat_python::EntryValue& value, return_value_policy, handle) {
        return tarnwick_dat_python::make_file_entry(value.entry).release();
    }
};

template <typename Name>
struct type_caster<tarnwick_dat_python::Typed<Name>> {
    PYBIND11_TYPE_CASTER(tarnwick_dat_python::Typed<Name>, const_name(Name::text));
    bool load(handle, bool) { return false; }
    static handle cast(const tarnwick_dat_python::Typed<Name>& value, return_value_policy, handle) {
        return value.object.inc_ref();
    }
};

template <>
struct type_caster<tarnwick_dat_python::FileIdArg> {
    PYBIND11_TYPE_CASTER(tarnwick_dat_python::FileIdArg, const_name("int"));
    bool load(handle source, bool) {
        value.object = reinterpret_borrow<object>(source);
        return true;
    }
};

}  // namespace pybind11::detail

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

}  // namespace

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

namespace {

py::object make_int_enum(const char* name, const char* doc, py::list members, py::dict& by_value) {
    py::object cls =
        py::module_::import("tarnwick_dat._support")
            .attr("NamedIntEnum")(name, std::move(members), py::arg("module") = "tarnwick_dat");
    cls.attr("__doc__") = doc;
    for (py::handle member : cls) {
        by_value[member.attr("value")] = member;
    }
    return cls;
}

// Each thread keeps one fetch buffer, so reading many files allocates only
// the `bytes` handed back; a buffer grown by one huge file is let go
// (`trim_kept_buffer`).
Bytes& fetch_buffer() {
    thread_local Bytes buffer;
    return buffer;
}

/// An opened archive as Python sees it. Each call takes its own reference to
/// the database for as long as it runs, so `close` from one thread while
/// others read only drops the archive's reference: the file is closed when
/// the last running call is done. Iterators share the archive's state, so
/// that closing it ends them too.
class Archive {
  public:
    Archive(std::shared_ptr<const DatDatabase> database, std::filesystem::path path)
        : state_(std::make_shared<ArchiveState>()), path_(std::move(path)) {
        state_->database = std::move(database);
    }

    std::shared_ptr<const DatDatabase> database() const {
        std::lock_guard lock(state_->mutex);
        if (!state_->database) {
            throw py::value_error("I/O operation on a closed archive");
        }
        return state_->database;
    }

    void close() {
        std::shared_ptr<const DatDatabase> last;
        {
            std::lock_guard lock(state_->mutex);
            last.swap(state_->database);
        }
    }

    bool closed() const {
        std::lock_guard lock(state_->mutex);
        return !state_->database;
    }

    /// A new iterator over the entries; ValueError once closed.
    py::object entries() const {
        database();
        return make_entry_iterator(state_);
    }

    const std::filesystem::path& path() const { return path_; }

  private:
    std::shared_ptr<ArchiveState> state_;
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
        tarnwick_dat::trim_kept_buffer(buffer);
        raise_dat_error(read.error());
    }
    py::bytes result = to_bytes(buffer);
    tarnwick_dat::trim_kept_buffer(buffer);
    return result;
}

// Files read in one go with the GIL released once: their bytes back to back,
// where each ends, and the first failure (reading stops there).
struct Batch {
    Bytes bytes;
    std::vector<std::size_t> ends;
    std::optional<DatError> failure;
};

// Reads `ids` into `batch` (whose buffers are reused) with the GIL released,
// through the call's `shared` blocks.
void read_batch(const DatDatabase& database, std::span<const std::uint32_t> ids, bool strict,
                tarnwick_dat::SharedBlocks& shared, Batch& batch) {
    batch.bytes.clear();
    batch.ends.clear();
    batch.failure.reset();
    without_gil([&] {
        Bytes& buffer = fetch_buffer();
        for (const std::uint32_t id : ids) {
            auto read = database.read_file_into(id, buffer,
                                                FetchOptions{.strict = strict, .shared = &shared});
            if (!read) {
                batch.failure.emplace(std::move(read).error());
                break;
            }
            batch.bytes.insert(batch.bytes.end(), buffer.begin(), buffer.end());
            batch.ends.push_back(batch.bytes.size());
        }
        tarnwick_dat::trim_kept_buffer(buffer);
    });
}

// The bytes of the batch's file `i`.
py::bytes batch_file(const Batch& batch, std::size_t i) {
    const std::size_t begin = i == 0 ? 0 : batch.ends[i - 1];
    return to_bytes(std::span(batch.bytes).subspan(begin, batch.ends[i] - begin));
}

// Up to `count` ids from `source`, checked as `read` checks one.
std::vector<std::uint32_t> next_ids(const py::iterator& source, std::size_t count) {
    std::vector<std::uint32_t> ids;
    PyObject* item = nullptr;
    while (ids.size() < count && (item = PyIter_Next(source.ptr())) != nullptr) {
        ids.push_back(file_id_from(py::reinterpret_steal<py::object>(item)));
    }
    if (PyErr_Occurred() != nullptr) {
        throw py::error_already_set();
    }
    return ids;
}

// Files per release of the GIL in read_many and iter_read's default: enough
// that handing the GIL over costs little per file, few enough that the
// batch's buffer stays small and is reused rather than faulted in afresh.
constexpr std::size_t kBatchFiles = 256;

/// The work budget that read_many and iter_read keep to, as the tool's
/// extract and font do: the files asked for, summed as they come, may claim
/// at most the archive's budget, and files that would pass it are refused
/// before any of them is read.
class BulkBudget {
  public:
    explicit BulkBudget(const DatDatabase& database)
        : budget_(tarnwick_dat::WorkBudget::for_archive(database)) {}

    /// Adds the claims of `ids` (an id the archive does not list claims
    /// nothing: its read raises NotFoundError); raises OtherError naming the
    /// budget and the largest claimers when the sums pass the budget.
    void admit(const DatDatabase& database, std::span<const std::uint32_t> ids) {
        // The lookups too run without the GIL, so that threads admitting
        // their batches at once do not wait on each other.
        std::vector<const DatFileEntry*> entries;
        tarnwick_dat::BudgetCheck check = without_gil([&] {
            entries.reserve(ids.size());
            for (const std::uint32_t id : ids) {
                if (const DatFileEntry* entry = database.files().find(id)) {
                    entries.push_back(entry);
                }
            }
            return tarnwick_dat::check_budget(database, entries, budget_);
        });
        if (bytes_ + check.bytes > budget_.bytes) {
            // The cheap bound fitted this batch alone: the declared sizes
            // decide against what the files before it claimed.
            without_gil([&] {
                check.bytes = 0;
                for (std::size_t i = 0; i < entries.size(); ++i) {
                    check.claims[i] = tarnwick_dat::work_claim(database, *entries[i], true);
                    check.bytes += check.claims[i].bytes;
                }
            });
        }
        check.bytes += bytes_;
        check.reads += reads_;
        if (!check.fits()) {
            raise_dat_error(
                DatError::other(fmt::format("refusing to read the files: {}", check.describe())));
        }
        bytes_ = check.bytes;
        reads_ = check.reads;
    }

  private:
    tarnwick_dat::WorkBudget budget_;
    std::uint64_t bytes_ = 0;
    std::uint64_t reads_ = 0;
};

py::list read_many(const Archive& archive, const py::iterable& id_objects, bool strict) {
    const std::vector<std::uint32_t> ids =
        next_ids(py::iter(id_objects), std::numeric_limits<std::size_t>::max());
    auto database = archive.database();
    BulkBudget(*database).admit(*database, ids);
    py::list files(ids.size());
    Batch batch;
    tarnwick_dat::SharedBlocks shared(*database);
    for (std::size_t first = 0; first < ids.size(); first += kBatchFiles) {
        const std::size_t count = std::min(kBatchFiles, ids.size() - first);
        read_batch(*database, std::span(ids).subspan(first, count), strict, shared, batch);
        if (batch.failure) {
            raise_dat_error(*batch.failure);
        }
        for (std::size_t i = 0; i < count; ++i) {
            files[first + i] = batch_file(batch, i);
        }
    }
    return files;
}

/// `Archive.iter_read`: the files of an iterable of ids in order, read a batch
/// at a time with the GIL released once per batch; a failing file raises its
/// error when its turn comes, after the files before it, and ends the
/// iteration.
class ReadIterator {
  public:
    ReadIterator(std::shared_ptr<const DatDatabase> database, py::iterator source, bool strict,
                 std::size_t batch_size)
        : database_(std::move(database)),
          source_(std::move(source)),
          strict_(strict),
          batch_size_(std::max<std::size_t>(batch_size, 1)),
          budget_(*database_),
          shared_(std::make_unique<tarnwick_dat::SharedBlocks>(*database_)) {}

    py::bytes next() {
        if (next_ == batch_.ends.size()) {
            if (batch_.failure) {
                // Like a generator that raised, the iterator is done.
                finished_ = true;
                const DatError failure = std::move(*batch_.failure);
                batch_.failure.reset();
                raise_dat_error(failure);
            }
            if (finished_) {
                throw py::stop_iteration();
            }
            // Another thread may call in while this one reads without the GIL.
            if (reading_) {
                throw py::value_error("iter_read iterator already executing");
            }
            const std::vector<std::uint32_t> ids = next_ids(source_, batch_size_);
            if (ids.empty()) {
                throw py::stop_iteration();
            }
            reading_ = true;
            try {
                budget_.admit(*database_, ids);
                read_batch(*database_, ids, strict_, *shared_, batch_);
            } catch (...) {
                // A refused batch ends the iteration, as a failing file does.
                reading_ = false;
                finished_ = true;
                throw;
            }
            reading_ = false;
            next_ = 0;
            if (batch_.ends.empty()) {
                return next();
            }
        }
        return batch_file(batch_, next_++);
    }

  private:
    std::shared_ptr<const DatDatabase> database_;
    py::iterator source_;
    bool strict_;
    std::size_t batch_size_;
    Batch batch_;
    BulkBudget budget_;
    // The blocks the iteration's chains pass, over all its batches.
    std::unique_ptr<tarnwick_dat::SharedBlocks> shared_;
    std::size_t next_ = 0;
    bool reading_ = false;
    bool finished_ = false;
};

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
            throw py::type_error("read() takes 1 positional argument but " + std::to_string(nargs) +
                                 " were given");
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
            tarnwick_dat::trim_kept_buffer(buffer);
            return tarnwick_dat::Err{std::move(read).error()};
        }
        auto decoded = tarnwick_dat::decode_font(buffer);
        tarnwick_dat::trim_kept_buffer(buffer);
        return decoded;
    });
    if (!font) {
        raise_dat_error(font.error());
    }
    return std::move(font).value();
}

// Records compare equal field by field; anything else compares unequal.
template <typename T>
bool equal(const T& a, const T& b) {
    return a == b;
}

// A field's value as Python sees it: an integer as int, raw bytes as bytes,
// an array of records as a tuple of them.
template <typename T>
py::object to_python(const T& value) {
    if constexpr (std::is_integral_v<T>) {
        return py::int_(value);
    } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
        return to_bytes(value);
    } else {
        py::tuple items(value.size());
        for (std::size_t i = 0; i < value.size(); ++i) {
            items[i] = py::cast(value[i]);
        }
        return items;
    }
}

// Calls `take(name, value)` for each field of `record` in its description's
// order; a counted array goes by the name of its elements (its count is
// their number, not a field of its own).
template <typename Record, typename Take>
void for_each_python_field(const Record& record, Take&& take) {
    for_each_field(record, [&](const tarnwick_dat::FieldSite& site, const auto&... rest) {
        if constexpr (sizeof...(rest) == 1) {
            take(site.field, rest...);
        } else {
            [&](const tarnwick_dat::FieldSite& elements, const auto& values) {
                take(elements.field, values);
            }(rest...);
        }
    });
}

// A read-only property for each field of `Record`'s description, documented
// by `docs` where it names the field.
template <typename Record>
void def_fields(py::class_<Record>& cls,
                std::initializer_list<std::pair<std::string_view, const char*>> docs = {}) {
    const Record blank{};
    for_each_python_field(blank, [&](std::string_view name, const auto& /*value*/) {
        const char* doc = nullptr;
        for (const auto& [field, text] : docs) {
            doc = field == name ? text : doc;
        }
        // Names come from the declarations' spelling, so they end in a NUL.
        cls.def_property_readonly(
            name.data(),
            [name](const Record& record) {
                py::object found;
                for_each_python_field(record, [&](std::string_view field, const auto& value) {
                    if (field == name) {
                        found = to_python(value);
                    }
                });
                return found;
            },
            doc);
    });
}

void define_records(py::module_& m) {
    py::class_<DatHeader> header(m, "Header",
                                 "The archive header, as read at opening; nothing checked.");
    def_fields(header, {{"version_string", "The 16 raw bytes, never decoded as text."}});
    header.def("__eq__", &equal<DatHeader>, py::is_operator(), py::arg("other"))
        .def("__repr__", [](const DatHeader& h) {
            return fmt::format(
                "Header(magic=0x{:X}, block_size={}, dataset={}, root_offset=0x{:X})", h.magic,
                h.block_size, h.dataset, h.root_offset);
        });

    py::class_<FontCharDesc> desc(m, "FontCharDesc", "One glyph of a font.");
    def_fields(desc);
    desc.def("__eq__", &equal<FontCharDesc>, py::is_operator(), py::arg("other"))
        .def("__repr__", [](const FontCharDesc& d) {
            return fmt::format(
                "FontCharDesc(unicode=0x{:04X}, offset_x={}, offset_y={}, width={}, "
                "height={})",
                d.unicode, d.offset_x, d.offset_y, d.width, d.height);
        });

    py::class_<Font> font(m, "Font", "A font record; values as stored, none checked.");
    def_fields(font, {{"char_descs", "One descriptor per glyph, in stored order."}});
    font.def("__eq__", &equal<Font>, py::is_operator(), py::arg("other"))
        .def("__repr__", [](const Font& f) {
            return fmt::format(
                "Font(id=0x{:08X}, glyphs={}, max_char_height={}, "
                "max_char_width={})",
                f.id, f.char_descs.size(), f.max_char_height, f.max_char_width);
        });
}

// A view of tarnwick_dat._support over the archive `a`.
template <typename Name>
Typed<Name> support_view(const char* view, const Archive& a) {
    a.database();
    return Typed<Name>{py::module_::import("tarnwick_dat._support").attr(view)(py::cast(&a))};
}

// Writes the files `ids` under `root` (tarnwick_dat._support.extract).
py::list extract_files(const Archive& a, const py::object& ids, const std::filesystem::path& root) {
    a.database();
    return py::module_::import("tarnwick_dat._support").attr("extract")(py::cast(&a), ids, root);
}

// The ids extractall writes: `ids` as given (each checked as read checks
// one) or every listed id, kept when of one of `types` if given.
py::list selected_ids(const Archive& a, const std::optional<py::iterable>& ids,
                      const std::optional<py::iterable>& types) {
    auto database = a.database();
    std::vector<std::uint32_t> chosen;
    if (ids) {
        chosen = next_ids(py::iter(*ids), std::numeric_limits<std::size_t>::max());
    } else {
        for (const DatFileEntry& entry : database->files().entries()) {
            chosen.push_back(entry.id);
        }
    }
    std::vector<std::uint32_t> wanted;
    if (types) {
        for (py::handle type : *types) {
            py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(type.ptr()));
            if (!number) {
                PyErr_Clear();
                throw py::type_error(std::string("a file type is a FileType, not ") +
                                     Py_TYPE(type.ptr())->tp_name);
            }
            wanted.push_back(number.cast<std::uint32_t>());
        }
    }
    py::list result;
    for (const std::uint32_t id : chosen) {
        const auto type = static_cast<std::uint32_t>(database->file_type(id));
        if (!types || std::find(wanted.begin(), wanted.end(), type) != wanted.end()) {
            result.append(id);
        }
    }
    return result;
}

void define_archive(py::module_& m) {
    py::class_<ReadIterator>(m, "ReadIterator", "The files Archive.iter_read gives, in order.")
        .def("__iter__", [](ReadIterator& it) -> ReadIterator& { return it; })
        .def("__next__", &ReadIterator::next)
        .def("__repr__", [](const ReadIterator&) { return "<tarnwick_dat.ReadIterator>"; });
    py::class_<Archive> archive(m, "Archive",
                                "An opened archive; a context manager that closes it. Safe to "
                                "share between threads.");
    archive
        .def("close", &Archive::close,
             "Closes the archive and its file; later calls, and the next step of any iterator "
             "over it, raise ValueError. Calls already running finish.")
        .def_property_readonly("closed", &Archive::closed)
        .def_property_readonly("path", &Archive::path)
        .def("__enter__", [](Archive& a) -> Archive& { return a; })
        .def("__exit__", [](Archive& a, const py::args&) { a.close(); })
        .def_property_readonly(
            "header", [](const Archive& a) { return a.database()->header(); },
            "The header read at opening.")
        .def_property_readonly(
            "kind", [](const Archive& a) { return ArchiveKindValue{a.database()->dat_kind()}; },
            "The kind of archive, from its header.")
        .def("__len__", [](const Archive& a) { return a.database()->files().size(); })
        .def(
            "__iter__", [](const Archive& a) { return Typed<IteratorName>{a.entries()}; },
            "The directory's entries in ascending id order, until the archive is closed.")
        .def(
            "__contains__",
            [](const Archive& a, const py::object& id) {
                auto database = a.database();
                // TypeError for what is no int, as read raises; an int out of
                // range is simply not listed.
                if (PyIndex_Check(id.ptr()) == 0) {
                    file_id_from(id);
                }
                try {
                    return database->files().contains(file_id_from(id));
                } catch (const py::value_error&) {
                    return false;
                }
            },
            py::arg("id"), "Whether the directory lists file `id`; TypeError for a non-integer.")
        .def(
            "__getitem__",
            [](const Archive& a, const FileIdArg& id) { return read_file(a, id.object, true); },
            py::arg("id"), "The bytes of file `id`, as read(id) gives them.")
        .def(
            "keys", [](const Archive& a) { return support_view<KeysName>("ArchiveKeys", a); },
            "The ids, in ascending order, as a live view.")
        .def(
            "values", [](const Archive& a) { return support_view<ValuesName>("ArchiveValues", a); },
            "The files' bytes in ascending id order, each read as the view is iterated.")
        .def(
            "items", [](const Archive& a) { return support_view<ItemsName>("ArchiveItems", a); },
            "(id, bytes) in ascending id order, each file read as the view is iterated.")
        .def(
            "extract",
            [](const Archive& a, const py::int_& id, const std::filesystem::path& path) {
                file_id_from(id);
                py::list written = extract_files(a, py::make_tuple(id), path);
                return Typed<PathName>{written[0]};
            },
            py::arg("id"), py::arg_v("path", std::filesystem::path("."), "'.'"),
            "Writes file `id` to path/TYPE/XXXXXXXX.bin (TYPE its type's name) and returns that "
            "path. Names come only from the type and the id and type folders are never reached "
            "through a link, so nothing lands outside `path`; the file is written to a temporary "
            "beside it and renamed into place, so a failure leaves nothing behind.")
        .def(
            "extractall",
            [](const Archive& a, const std::filesystem::path& path,
               const std::optional<py::iterable>& ids, const std::optional<py::iterable>& types) {
                return Typed<PathListName>{extract_files(a, selected_ids(a, ids, types), path)};
            },
            py::arg_v("path", std::filesystem::path("."), "'.'"), py::arg("ids") = py::none(),
            py::arg("types") = py::none(),
            "Writes the files `ids` (default: every file), of the given `types` only when given, "
            "as extract writes one, in ascending id unless `ids` orders them, and returns their "
            "paths. Every id is checked before anything is written.")
        .def(
            "entry",
            [](const Archive& a, const py::int_& id_object) {
                const std::uint32_t id = file_id_from(id_object);
                const DatFileEntry* entry = a.database()->files().find(id);
                if (entry == nullptr) {
                    raise_dat_error(DatError::not_found(id));
                }
                return EntryValue{*entry};
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
                return FileTypeValue{a.database()->file_type(file_id_from(id))};
            },
            py::arg("id"), "The type of file id `id` in this archive's kind (listed or not).")
        .def(
            "read_many", &read_many, py::arg("ids"), py::kw_only(), py::arg("strict") = true,
            "The bytes of files `ids` (an iterable), in order, read with the GIL released once per "
            "256 files; the first file that fails raises its error. Files that claim more than "
            "the archive's work budget raise OtherError before any is read.")
        .def(
            "iter_read",
            [](const Archive& a, const py::iterable& ids, bool strict, std::size_t batch) {
                return ReadIterator(a.database(), py::iter(ids), strict, batch);
            },
            py::arg("ids"), py::kw_only(), py::arg("strict") = true, py::arg("batch") = kBatchFiles,
            "The bytes of files `ids` one by one, in order, read `batch` at a time with the GIL "
            "released once per batch; a file that fails raises its error in its turn, which ends "
            "the iteration, as does OtherError for a batch that would pass the archive's work "
            "budget.")
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
                return without_gil(
                    [&] { return tarnwick_dat::verify_archive(*database, options); });
            },
            py::kw_only(), py::arg("threads") = 0U,
            "Checks every file, chain and node of the archive; never stops at the first finding.")
        .def(
            "manifest",
            [](const Archive& a, const std::string& hash, unsigned threads) {
                return archive_manifest(*a.database(), hash, threads);
            },
            py::arg("hash") = "xxh3", py::kw_only(), py::arg("threads") = 0U,
            "What `tarnwick-dat ls --json --hash` writes: every file's entry and content hash "
            "('xxh3' or 'sha256'), a manifest that diff() takes in place of the archive.")
        .def("__repr__", [](const Archive& a) {
            const std::string path = a.path().string();
            if (a.closed()) {
                return fmt::format("<tarnwick_dat.Archive '{}' closed>", path);
            }
            return fmt::format("<tarnwick_dat.Archive '{}' files={}>", path,
                               a.database()->files().size());
        });

    PyObject* read =
        PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(archive.ptr()), &g_read_method);
    if (read == nullptr) {
        throw py::error_already_set();
    }
    archive.attr("read") = py::reinterpret_steal<py::object>(read);

    m.def("open", &open_archive, py::arg("path"),
          "Opens the archive at `path` (str or os.PathLike) and reads its directory.");
}

// A value the library may leave out, as the object or None.
template <typename T, typename F>
py::object optional_object(const std::optional<T>& value, F&& to_object) {
    if (!value) {
        return py::none();
    }
    return py::object(to_object(*value));
}

std::string finding_repr(const tarnwick_dat::Finding& f) {
    const auto hex = [](const std::optional<std::uint32_t>& value) {
        return value ? fmt::format("0x{:08X}", *value) : std::string("None");
    };
    const std::string type =
        f.file_type ? fmt::format("FileType.{}", tarnwick_dat::name(*f.file_type)) : "None";
    return fmt::format(
        "Finding(kind='{}', severity='{}', file_id={}, file_type={}, "
        "node_offset={}, description={})",
        tarnwick_dat::finding_kind_name(f.kind), tarnwick_dat::severity_name(f.severity),
        hex(f.file_id), type, hex(f.node_offset),
        py::repr(text(f.description)).cast<std::string>());
}

std::string totals_repr(const tarnwick_dat::VerifyTotals& t) {
    return fmt::format(
        "VerifyTotals(files={}, nodes={}, stored_bytes={}, decoded_bytes={}, "
        "blocks={}, unused_blocks={})",
        t.files, t.nodes, t.stored_bytes, t.decoded_bytes, t.blocks, t.unused_blocks);
}

// A pickled Finding back, checking every part of its state.
tarnwick_dat::Finding finding_from(const py::tuple& state) {
    using tarnwick_dat::FindingKind;
    if (state.size() != 5) {
        throw py::value_error("not the state of a Finding");
    }
    tarnwick_dat::Finding f;
    const auto kind = state[0].cast<std::string>();
    bool known = false;
    for (unsigned k = 0; k <= static_cast<unsigned>(FindingKind::UnusedBlocks) && !known; ++k) {
        f.kind = static_cast<FindingKind>(k);
        known = tarnwick_dat::finding_kind_name(f.kind) == kind;
    }
    if (!known) {
        throw py::value_error("no finding kind is named '" + kind + "'");
    }
    f.severity = tarnwick_dat::finding_severity(f.kind);
    f.file_id = state[1].cast<std::optional<std::uint32_t>>();
    if (const auto type = state[2].cast<std::optional<std::uint32_t>>()) {
        const auto& all = tarnwick_dat::kAllDatFileTypes;
        const auto found = std::find_if(all.begin(), all.end(), [&](DatFileType t) {
            return static_cast<std::uint32_t>(t) == *type;
        });
        if (found == all.end()) {
            throw py::value_error(fmt::format("no file type has the value {}", *type));
        }
        f.file_type = *found;
    }
    f.node_offset = state[3].cast<std::optional<std::uint32_t>>();
    f.description = state[4].cast<std::string>();
    return f;
}

tarnwick_dat::VerifyTotals totals_from(const py::tuple& state) {
    if (state.size() != 7) {
        throw py::value_error("not the state of a VerifyTotals");
    }
    return tarnwick_dat::VerifyTotals{.files = state[0].cast<std::uint64_t>(),
                                      .nodes = state[1].cast<std::uint64_t>(),
                                      .stored_bytes = state[2].cast<std::uint64_t>(),
                                      .decoded_bytes = state[3].cast<std::uint64_t>(),
                                      .blocks = state[4].cast<std::uint64_t>(),
                                      .unused_blocks = state[5].cast<std::uint64_t>(),
                                      .reads = state[6].cast<std::uint64_t>()};
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
            [](const Finding& f) -> std::optional<FileTypeValue> {
                if (!f.file_type) {
                    return std::nullopt;
                }
                return FileTypeValue{*f.file_type};
            },
            "The type of the file concerned, or None.")
        .def_property_readonly(
            "node_offset",
            [](const Finding& f) {
                return optional_object(f.node_offset,
                                       [](std::uint32_t offset) { return py::int_(offset); });
            },
            "The directory node concerned, or None.")
        .def_readonly("description", &Finding::description)
        .def("__str__", &Finding::display)
        .def("__eq__", &equal<Finding>, py::is_operator(), py::arg("other"))
        .def("__repr__", &finding_repr)
        .def(py::pickle(
            [](const Finding& f) {
                return py::make_tuple(
                    std::string(tarnwick_dat::finding_kind_name(f.kind)), f.file_id,
                    f.file_type
                        ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*f.file_type))
                        : std::nullopt,
                    f.node_offset, f.description);
            },
            [](const py::tuple& state) { return finding_from(state); }));
    py::class_<VerifyTotals>(m, "VerifyTotals", "What a verification looked at.")
        .def_readonly("files", &VerifyTotals::files)
        .def_readonly("nodes", &VerifyTotals::nodes)
        .def_readonly("stored_bytes", &VerifyTotals::stored_bytes)
        .def_readonly("decoded_bytes", &VerifyTotals::decoded_bytes)
        .def_readonly("blocks", &VerifyTotals::blocks)
        .def_readonly("unused_blocks", &VerifyTotals::unused_blocks)
        .def("__eq__", &equal<VerifyTotals>, py::is_operator(), py::arg("other"))
        .def("__repr__", &totals_repr)
        .def(py::pickle(
            [](const VerifyTotals& t) {
                return py::make_tuple(t.files, t.nodes, t.stored_bytes, t.decoded_bytes, t.blocks,
                                      t.unused_blocks, t.reads);
            },
            [](const py::tuple& state) { return totals_from(state); }));
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
        .def("summary", &VerifyReport::summary, "The one-line summary of the totals.")
        .def(
            "__eq__",
            [](const VerifyReport& a, const VerifyReport& b) {
                return a.findings == b.findings && a.totals == b.totals;
            },
            py::is_operator(), py::arg("other"))
        .def("__repr__",
             [](const VerifyReport& r) {
                 const auto damage = std::count_if(
                     r.findings.begin(), r.findings.end(),
                     [](const Finding& f) { return f.severity == tarnwick_dat::Severity::Damage; });
                 return fmt::format("<tarnwick_dat.VerifyReport damage={} information={} {}>",
                                    damage, r.findings.size() - static_cast<std::size_t>(damage),
                                    totals_repr(r.totals));
             })
        .def(py::pickle(
            [](const VerifyReport& r) {
                py::list findings;
                for (const Finding& f : r.findings) {
                    findings.append(py::cast(f));
                }
                return py::make_tuple(py::tuple(findings), py::cast(r.totals));
            },
            [](const py::tuple& state) {
                if (state.size() != 2) {
                    throw py::value_error("not the state of a VerifyReport");
                }
                VerifyReport report;
                for (py::handle f : state[0].cast<py::tuple>()) {
                    report.findings.push_back(f.cast<Finding>());
                }
                report.totals = state[1].cast<VerifyTotals>();
                return report;
            }));
}

// Why a stream stopped, in words.
const char* stream_end_text(tarnwick_dat::LrsEnd end) {
    using tarnwick_dat::LrsEnd;
    switch (end) {
        case LrsEnd::ShortInput:
            return "no size field";
        case LrsEnd::OutputFull:
            return "size reached";
        case LrsEnd::InputExhausted:
            return "input used up";
        case LrsEnd::EndMarker:
            return "end marker";
        case LrsEnd::CutToken:
            return "reference cut short";
        case LrsEnd::EmptyReference:
            return "reference before any output";
    }
    return "unknown end";
}

// Raises DecompressionFailedError (no id) for a damaged payload of `length`
// bytes that decoded as `outcome`.
[[noreturn]] void raise_stream_error(tarnwick_dat::LrsOutcome outcome,
                                     std::optional<std::uint32_t> declared, std::size_t length) {
    // The output is sized to what the tokens could yield at best, so a full
    // output short of the declared size means the input ran out.
    if (outcome.end == tarnwick_dat::LrsEnd::OutputFull) {
        outcome.end = tarnwick_dat::LrsEnd::InputExhausted;
    }
    const std::string message =
        declared ? fmt::format("compressed stream ends after {} of {} bytes ({})", outcome.produced,
                               *declared, stream_end_text(outcome.end))
                 : fmt::format("compressed payload of {} bytes has no size field", length);
    py::object cls = py::module_::import("tarnwick_dat._errors").attr("DecompressionFailedError");
    PyErr_SetObject(cls.ptr(), cls(message).ptr());
    throw py::error_already_set();
}

void define_functions(py::module_& m) {
    m.def(
        "decompress_lrs",
        [](const py::buffer& data, bool strict) {
            InputBytes input(data);
            Bytes out;
            const tarnwick_dat::LrsOutcome outcome = without_gil([&] {
                out.resize(tarnwick_dat::lrs_output_capacity(input.view()));
                const tarnwick_dat::LrsOutcome decoded =
                    tarnwick_dat::decode_lrs_into(input.view(), out);
                out.resize(decoded.produced);
                return decoded;
            });
            const auto declared = tarnwick_dat::lrs_declared_size(input.view());
            if (strict && (!declared || outcome.produced != *declared)) {
                raise_stream_error(outcome, declared, input.view().size());
            }
            return to_bytes(out);
        },
        py::arg("data"), py::kw_only(), py::arg("strict") = true,
        "Decodes an LRS payload (4-byte size, then tokens). strict: a payload without its size "
        "field, or whose stream ends before that size, raises DecompressionFailedError; with "
        "strict=False it gives the bytes decoded so far (input under 4 bytes as is).");
    m.def(
        "compress_lrs",
        [](const py::buffer& data) {
            InputBytes input(data);
            Bytes out =
                without_gil([&] { return tarnwick_dat_writer::compress_lrs(input.view()); });
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
        [](const py::int_& id_object, std::optional<ArchiveKindValue> kind) {
            const std::uint32_t id = file_id_from(id_object);
            if (!kind) {
                return FileTypeValue{tarnwick_dat::file_type::from_id(id)};
            }
            return FileTypeValue{tarnwick_dat::file_type::from_id_in_dat(id, kind->kind)};
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

std::shared_ptr<const DatDatabase> database_of(py::handle value) {
    if (!py::isinstance<Archive>(value)) {
        return nullptr;
    }
    return value.cast<const Archive&>().database();
}

py::object file_type_object(DatFileType type) {
    return file_type_member(type);
}

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
    tp::define_diff(m);
    tp::define_functions(m);
}
