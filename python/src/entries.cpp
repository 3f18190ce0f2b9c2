// Directory entries and their iterator as plain CPython types. A script walks
// every entry of an archive, often to read each file, so an entry must cost
// next to nothing to make and to read from: a fixed-size object with member
// slots, rather than a general wrapped C++ object.
#include <fmt/format.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <tarnwick_dat/lib.hpp>
#include <utility>
#include <vector>

#include "bindings.hpp"

// After Python.h (through pybind11), which it needs.
#include <structmember.h>

namespace tarnwick_dat_python {

namespace {

using tarnwick_dat::DatDatabase;
using tarnwick_dat::DatFileEntry;

struct EntryObject {
    PyObject_HEAD DatFileEntry entry;
};

PyTypeObject* g_entry_type = nullptr;
PyTypeObject* g_iterator_type = nullptr;

// Where each field lies in an entry object; DatFileEntry is standard-layout.
constexpr Py_ssize_t field_offset(std::size_t offset_in_entry) {
    return static_cast<Py_ssize_t>(offsetof(EntryObject, entry) + offset_in_entry);
}

// The entry's fields as member slots, one per field of its description, in
// on-disk order; filled in before the type is made.
std::vector<PyMemberDef> g_entry_members;

const char* entry_field_doc(std::string_view field) {
    return field == "bit_flags" ? "Bit 0: the stored bytes are LRS-compressed."
           : field == "id"      ? "The file id."
           : field == "offset"  ? "First block of the file's chain."
           : field == "size"    ? "Stored bytes (the compressed length if compressed)."
                                : "Kept, not interpreted.";
}

void describe_entry_members() {
    const DatFileEntry layout{};
    const auto* base = reinterpret_cast<const char*>(&layout);
    tarnwick_dat::for_each_field(layout, [&](const tarnwick_dat::FieldSite& site,
                                             const std::uint32_t& field) {
        // Names come from the declarations' spelling, so they end in a NUL.
        g_entry_members.push_back(
            {site.field.data(), T_UINT,
             field_offset(static_cast<std::size_t>(reinterpret_cast<const char*>(&field) - base)),
             READONLY, entry_field_doc(site.field)});
    });
    g_entry_members.push_back({nullptr, 0, 0, 0, nullptr});
}

const DatFileEntry& entry_of(PyObject* self) {
    return reinterpret_cast<EntryObject*>(self)->entry;
}

PyObject* entry_is_compressed(PyObject* self, void*) {
    return PyBool_FromLong(entry_of(self).is_compressed() ? 1 : 0);
}

PyGetSetDef g_entry_getset[] = {
    {"is_compressed", &entry_is_compressed, nullptr, "True when bit 0 of bit_flags is set.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* entry_repr(PyObject* self) {
    const DatFileEntry& e = entry_of(self);
    const std::string text = fmt::format(
        "FileEntry(id=0x{:08X}, bit_flags=0x{:X}, offset=0x{:X}, size={}, timestamp={}, "
        "version={})",
        e.id, e.bit_flags, e.offset, e.size, e.timestamp, e.version);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* entry_richcompare(PyObject* self, PyObject* other, int op) {
    if (Py_TYPE(other) != g_entry_type || (op != Py_EQ && op != Py_NE)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const bool equal = entry_of(self) == entry_of(other);
    return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
}

Py_hash_t entry_hash(PyObject* self) {
    const DatFileEntry& e = entry_of(self);
    PyObject* fields =
        Py_BuildValue("(IIIIII)", e.bit_flags, e.id, e.offset, e.size, e.timestamp, e.version);
    if (fields == nullptr) {
        return -1;
    }
    const Py_hash_t hash = PyObject_Hash(fields);
    Py_DECREF(fields);
    return hash;
}

// A new entry object, or null with the Python error set.
PyObject* new_entry(const DatFileEntry& entry) {
    PyObject* object = g_entry_type->tp_alloc(g_entry_type, 0);
    if (object != nullptr) {
        new (&reinterpret_cast<EntryObject*>(object)->entry) DatFileEntry(entry);
    }
    return object;
}

// FileEntry(id, bit_flags, offset, size, timestamp, version), the form its
// repr shows, so that an entry pickles and copies.
PyObject* entry_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"id",        "bit_flags", "offset", "size",
                                  "timestamp", "version",   nullptr};
    PyObject* objects[6] = {};
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO:FileEntry", const_cast<char**>(names),
                                    &objects[0], &objects[1], &objects[2], &objects[3], &objects[4],
                                    &objects[5]) == 0) {
        return nullptr;
    }
    std::uint32_t fields[6] = {};
    for (std::size_t i = 0; i < 6; ++i) {
        if (PyLong_Check(objects[i]) == 0) {
            PyErr_Format(PyExc_TypeError, "FileEntry's %s is an int, not %s", names[i],
                         Py_TYPE(objects[i])->tp_name);
            return nullptr;
        }
        const unsigned long long value = PyLong_AsUnsignedLongLong(objects[i]);
        if ((value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) ||
            value > 0xFFFFFFFFULL) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "FileEntry's %s is in 0..0xFFFFFFFF", names[i]);
            return nullptr;
        }
        fields[i] = static_cast<std::uint32_t>(value);
    }
    DatFileEntry entry;
    entry.id = fields[0];
    entry.bit_flags = fields[1];
    entry.offset = fields[2];
    entry.size = fields[3];
    entry.timestamp = fields[4];
    entry.version = fields[5];
    return new_entry(entry);
}

PyObject* entry_reduce(PyObject* self, PyObject*) {
    const DatFileEntry& e = entry_of(self);
    return Py_BuildValue("(O(IIIIII))", reinterpret_cast<PyObject*>(Py_TYPE(self)), e.id,
                         e.bit_flags, e.offset, e.size, e.timestamp, e.version);
}

PyMethodDef g_entry_methods[] = {
    {"__reduce__", &entry_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickles the entry by its fields."},
    {nullptr, nullptr, 0, nullptr},
};

struct IteratorObject {
    PyObject_HEAD std::shared_ptr<ArchiveState> archive;
    std::size_t next;
};

void iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<IteratorObject*>(self)->archive.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* iterator_next(PyObject* self) {
    auto* it = reinterpret_cast<IteratorObject*>(self);
    DatFileEntry entry;
    {
        // The entry is copied under the lock and made outside it: making it
        // may run Python code (a collection), which may close the archive.
        const std::lock_guard lock(it->archive->mutex);
        if (!it->archive->database) {
            PyErr_SetString(PyExc_ValueError, "I/O operation on a closed archive");
            return nullptr;
        }
        const auto entries = it->archive->database->files().entries();
        if (it->next >= entries.size()) {
            return nullptr;  // StopIteration, without building an exception
        }
        entry = entries[it->next++];
    }
    return new_entry(entry);
}

PyType_Slot g_entry_slots[] = {
    {Py_tp_doc, const_cast<char*>("One stored file as the directory lists it.")},
    {Py_tp_members, nullptr},  // g_entry_members
    {Py_tp_getset, g_entry_getset},
    {Py_tp_repr, reinterpret_cast<void*>(&entry_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&entry_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(&entry_hash)},
    {Py_tp_new, reinterpret_cast<void*>(&entry_new)},
    {Py_tp_methods, g_entry_methods},
    {0, nullptr},
};

PyType_Slot g_iterator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&iterator_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&iterator_dealloc)},
    {0, nullptr},
};

// Read-only records; an iterator is made only by the module (one made from
// Python would have no database to walk).
constexpr unsigned kFlags = Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Spec g_entry_spec = {"tarnwick_dat.FileEntry", sizeof(EntryObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_entry_slots};
PyType_Spec g_iterator_spec = {"tarnwick_dat._EntryIterator", sizeof(IteratorObject), 0,
                               Py_TPFLAGS_DEFAULT | kFlags, g_iterator_slots};

PyTypeObject* make_type(PyType_Spec& spec) {
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) {
        throw py::error_already_set();
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

void define_entries(py::module_& m) {
    describe_entry_members();
    g_entry_slots[1].pfunc = g_entry_members.data();
    // Kept for the life of the process, like the module.
    g_entry_type = make_type(g_entry_spec);
    g_iterator_type = make_type(g_iterator_spec);
    m.attr("FileEntry") = py::handle(reinterpret_cast<PyObject*>(g_entry_type));
}

py::object make_file_entry(const DatFileEntry& entry) {
    PyObject* object = new_entry(entry);
    if (object == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(object);
}

py::object make_entry_iterator(std::shared_ptr<ArchiveState> archive) {
    PyObject* object = g_iterator_type->tp_alloc(g_iterator_type, 0);
    if (object == nullptr) {
        throw py::error_already_set();
    }
    auto* it = reinterpret_cast<IteratorObject*>(object);
    new (&it->archive) std::shared_ptr<ArchiveState>(std::move(archive));
    it->next = 0;
    return py::reinterpret_steal<py::object>(object);
}

}  // namespace tarnwick_dat_python
