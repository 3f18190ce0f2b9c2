// Library errors as Python exceptions. The classes live in the pure-Python
// layer (tarnwick_dat._errors), where multiple bases (KeyError, OSError) and
// their text are plain Python; this file only picks the class and fills in
// what the error carries.
#include <array>
#include <cstddef>
#include <cstring>
#include <string>

#include "bindings.hpp"

namespace tarnwick_dat_python {

namespace {

using tarnwick_dat::DatError;
using tarnwick_dat::DatErrorKind;

// Indexed by DatErrorKind, in its declaration order.
constexpr std::array<const char*, 12> kClassNames = {
    "IoError",
    "BinReadError",
    "NotFoundError",
    "DuplicateIdError",
    "DuplicateNamespacedIdError",
    "InvalidMagicError",
    "UnsupportedVersionError",
    "InvalidNamespaceError",
    "CorruptionError",
    "DecompressionFailedError",
    "PathError",
    "OtherError",
};
static_assert(static_cast<std::size_t>(DatErrorKind::Other) + 1 == kClassNames.size());

// Borrowed for the life of the process: the module that holds them is never
// unloaded, and releasing them during interpreter shutdown would be unsafe.
std::array<PyObject*, kClassNames.size()> g_classes{};
PyObject* g_frame = nullptr;

py::object fs_path_text(const std::filesystem::path& path) {
    const std::string& native = path.native();
    PyObject* decoded =
        PyUnicode_DecodeFSDefaultAndSize(native.data(), static_cast<Py_ssize_t>(native.size()));
    if (decoded == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(decoded);
}

}  // namespace

void init_errors() {
    py::module_ errors = py::module_::import("tarnwick_dat._errors");
    for (std::size_t i = 0; i < kClassNames.size(); ++i) {
        g_classes[i] = py::object(errors.attr(kClassNames[i])).release().ptr();
    }
    g_frame = py::object(errors.attr("Frame")).release().ptr();
}

py::str text(std::string_view value) {
    PyObject* decoded = PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()),
                                             "backslashreplace");
    if (decoded == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(decoded);
}

void raise_dat_error(const DatError& error) {
    py::handle cls = g_classes.at(static_cast<std::size_t>(error.kind()));
    py::object exception = cls(text(error.display()));
    switch (error.kind()) {
        case DatErrorKind::NotFound:
        case DatErrorKind::DuplicateId:
        case DatErrorKind::DecompressionFailed:
            exception.attr("id") = *error.number();
            break;
        case DatErrorKind::DuplicateNamespacedId:
            exception.attr("namespace") = text(error.text());
            exception.attr("id") = *error.number();
            break;
        case DatErrorKind::UnsupportedVersion:
            exception.attr("version") = *error.number();
            break;
        case DatErrorKind::InvalidNamespace:
            exception.attr("namespace") = text(error.text());
            break;
        case DatErrorKind::InvalidMagic:
            exception.attr("format") = text(error.text());
            break;
        case DatErrorKind::Io:
        case DatErrorKind::PathError:
            // As OSError has them when the system reported the failure.
            if (const auto* io = error.io_error(); io != nullptr && io->os_code()) {
                exception.attr("errno") = *io->os_code();
                exception.attr("strerror") = text(std::strerror(*io->os_code()));
            }
            if (error.kind() == DatErrorKind::PathError) {
                exception.attr("filename") = fs_path_text(error.path());
            }
            break;
        case DatErrorKind::BinRead: {
            // A record that could not be read because the system failed the read.
            if (const auto* io = error.record_error()->io_cause(); io != nullptr && io->os_code()) {
                exception.attr("errno") = *io->os_code();
            }
            py::list frames;
            for (const auto& frame : error.record_error()->frames()) {
                frames.append(
                    py::handle(g_frame)(text(frame.message), text(frame.file), frame.line));
            }
            exception.attr("frames") = std::move(frames);
            break;
        }
        case DatErrorKind::Corruption:
        case DatErrorKind::Other:
            break;
    }
    PyErr_SetObject(cls.ptr(), exception.ptr());
    throw py::error_already_set();
}

std::uint32_t file_id_from(py::handle value) {
    // Anything with __index__ (bool, IntEnum, NumPy integers) counts as an int.
    py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!number) {
        PyErr_Clear();
        throw py::type_error(std::string("a file id is an int, not ") +
                             Py_TYPE(value.ptr())->tp_name);
    }
    int overflow = 0;
    const long long id = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow != 0 || id < 0 || id > 0xFFFFFFFFLL) {
        throw py::value_error("a file id is in 0..0xFFFFFFFF, not " +
                              py::repr(number).cast<std::string>());
    }
    return static_cast<std::uint32_t>(id);
}

InputBytes::InputBytes(py::handle data) {
    if (PyBytes_Check(data.ptr())) {
        // Immutable: borrowed while the reference is held.
        keep_ = py::reinterpret_borrow<py::object>(data);
        view_ = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data.ptr())),
                 static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()))};
        return;
    }
    Py_buffer buffer;
    if (PyObject_GetBuffer(data.ptr(), &buffer, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        throw py::type_error(std::string("expected a contiguous bytes-like object, not ") +
                             Py_TYPE(data.ptr())->tp_name);
    }
    const auto* begin = static_cast<const std::uint8_t*>(buffer.buf);
    copy_.assign(begin, begin + buffer.len);
    PyBuffer_Release(&buffer);
    view_ = copy_;
}

}  // namespace tarnwick_dat_python
