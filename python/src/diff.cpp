// The comparison of two archive versions and manifests for Python:
// tarnwick_dat.diff(old, new, ...) over open archives or manifest paths,
// returning read-only change objects, and Archive.manifest().
#include <fmt/format.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>

#include <memory>
#include <optional>
#include <string>
#include <tarnwick_dat/diff.hpp>
#include <tarnwick_dat/manifest.hpp>
#include <utility>
#include <variant>
#include <vector>

#include "bindings.hpp"

namespace tarnwick_dat_python {

namespace {

using tarnwick_dat::Change;
using tarnwick_dat::ChangeKind;
using tarnwick_dat::ChangeTotals;
using tarnwick_dat::DatDatabase;
using tarnwick_dat::DiffReport;
using tarnwick_dat::HashAlgorithm;
using tarnwick_dat::Manifest;

py::object g_change_kind;
py::dict g_change_kind_members;

py::object change_kind_member(ChangeKind kind) {
    return g_change_kind_members[py::int_(static_cast<unsigned>(kind))];
}

HashAlgorithm algorithm_from(const std::string& name) {
    const auto algorithm = tarnwick_dat::hash_algorithm_from_name(name);
    if (!algorithm) {
        throw py::value_error("hash must be 'xxh3' or 'sha256', not '" + name + "'");
    }
    return *algorithm;
}

[[noreturn]] void raise_manifest_error(const tarnwick_dat::ManifestError& error) {
    py::object cls = py::module_::import("tarnwick_dat._errors").attr("ManifestError");
    py::object exception = cls(text(error.display()));
    exception.attr("path") =
        error.path.empty() ? py::object(py::none()) : py::object(text(error.path.string()));
    exception.attr("entry") = error.entry == 0 ? py::object(py::none()) : py::int_(error.entry);
    PyErr_SetObject(cls.ptr(), exception.ptr());
    throw py::error_already_set();
}

// One side: an open archive (its database held for the call) or a manifest
// read from a path.
struct Version {
    std::shared_ptr<const DatDatabase> database;
    std::optional<Manifest> manifest;

    tarnwick_dat::DiffSide side() const {
        return database ? tarnwick_dat::DiffSide(*database) : tarnwick_dat::DiffSide(*manifest);
    }
};

Version version_from(const py::object& value) {
    Version version;
    version.database = database_of(value);
    if (version.database) {
        return version;
    }
    if (!py::isinstance<py::str>(value) &&
        !py::isinstance(value, py::module_::import("os").attr("PathLike"))) {
        throw py::type_error(std::string("a version is an Archive or a manifest's path, not ") +
                             Py_TYPE(value.ptr())->tp_name);
    }
    const auto path = value.cast<std::filesystem::path>();
    auto manifest = without_gil([&] { return Manifest::read(path); });
    if (!manifest) {
        raise_manifest_error(manifest.error());
    }
    version.manifest = std::move(manifest).value();
    return version;
}

DiffReport diff(const py::object& old_value, const py::object& new_value, const py::object& ids,
                const py::object& types, const std::string& hash, unsigned threads) {
    tarnwick_dat::DiffOptions options;
    options.hash = algorithm_from(hash);
    options.threads = threads;
    if (!ids.is_none()) {
        for (py::handle id : ids) {
            options.ids.push_back(file_id_from(id));
        }
    }
    if (!types.is_none()) {
        for (py::handle type : types) {
            options.types.push_back(
                static_cast<tarnwick_dat::DatFileType>(type.cast<std::uint32_t>()));
        }
    }
    const Version old_version = version_from(old_value);
    const Version new_version = version_from(new_value);
    auto report = without_gil([&] {
        return tarnwick_dat::diff_archives(old_version.side(), new_version.side(), options);
    });
    if (!report) {
        throw py::value_error(report.error().display());
    }
    return std::move(report).value();
}

template <typename T>
py::object optional_of(const std::optional<T>& value) {
    return value ? py::cast(*value) : py::object(py::none());
}

py::object entry_or_none(const std::optional<tarnwick_dat::DatFileEntry>& entry) {
    return entry ? make_file_entry(*entry) : py::object(py::none());
}

py::dict totals_dict(const std::array<ChangeTotals, tarnwick_dat::kChangeKindCount>& kinds) {
    py::dict totals;
    for (const ChangeKind kind : tarnwick_dat::kAllChangeKinds) {
        totals[change_kind_member(kind)] = kinds[static_cast<std::size_t>(kind)];
    }
    return totals;
}

}  // namespace

std::string archive_manifest(const DatDatabase& database, const std::string& hash,
                             unsigned threads) {
    tarnwick_dat::ManifestOptions options;
    options.hash = algorithm_from(hash);
    options.threads = threads;
    return without_gil([&] { return tarnwick_dat::make_manifest(database, options).text(); });
}

void define_diff(py::module_& m) {
    py::list kinds;
    for (const ChangeKind kind : tarnwick_dat::kAllChangeKinds) {
        static const char* const kNames[] = {"Added", "Removed", "Modified", "MetadataOnly",
                                             "Unreadable"};
        kinds.append(
            py::make_tuple(kNames[static_cast<std::size_t>(kind)], static_cast<unsigned>(kind)));
    }
    g_change_kind = py::module_::import("enum").attr("IntEnum")("ChangeKind", kinds,
                                                                py::arg("module") = "tarnwick_dat");
    g_change_kind.attr("__doc__") = "How a file differs between two versions.";
    for (py::handle member : g_change_kind) {
        g_change_kind_members[member.attr("value")] = member;
    }
    // Kept for the life of the process, as the other enumerations.
    g_change_kind.inc_ref();
    g_change_kind_members.inc_ref();
    m.attr("ChangeKind") = g_change_kind;

    py::class_<ChangeTotals>(m, "ChangeTotals", "Files and decoded bytes of some changes.")
        .def_readonly("files", &ChangeTotals::files)
        .def_readonly("old_bytes", &ChangeTotals::old_bytes)
        .def_readonly("new_bytes", &ChangeTotals::new_bytes)
        .def("__repr__", [](const ChangeTotals& t) {
            return fmt::format("ChangeTotals(files={}, old_bytes={}, new_bytes={})", t.files,
                               t.old_bytes, t.new_bytes);
        });

    py::class_<Change>(m, "Change", "One file that differs between two versions.")
        .def_readonly("id", &Change::id)
        .def_property_readonly(
            "kind", [](const Change& c) { return change_kind_member(c.kind); }, "A ChangeKind.")
        .def_property_readonly(
            "type", [](const Change& c) { return file_type_object(c.type); }, "A FileType.")
        .def_property_readonly(
            "old_entry", [](const Change& c) { return entry_or_none(c.old_entry); },
            "The old version's FileEntry, or None.")
        .def_property_readonly(
            "new_entry", [](const Change& c) { return entry_or_none(c.new_entry); },
            "The new version's FileEntry, or None.")
        .def_property_readonly(
            "old_size", [](const Change& c) { return optional_of(c.old_size); },
            "The old decoded size, or None (not listed, or unreadable).")
        .def_property_readonly(
            "new_size", [](const Change& c) { return optional_of(c.new_size); },
            "The new decoded size, or None (not listed, or unreadable).")
        .def_property_readonly(
            "old_error", [](const Change& c) { return optional_of(c.old_error); },
            "Why the old version's bytes could not be read, or None.")
        .def_property_readonly(
            "new_error", [](const Change& c) { return optional_of(c.new_error); },
            "Why the new version's bytes could not be read, or None.")
        .def("__repr__", [](const Change& c) {
            auto size = [](const std::optional<std::uint64_t>& s) {
                return s ? fmt::format("{}", *s) : std::string("None");
            };
            return fmt::format("Change(id=0x{:08X}, kind={}, type={}, old_size={}, new_size={})",
                               c.id, tarnwick_dat::change_kind_name(c.kind),
                               tarnwick_dat::name(c.type), size(c.old_size), size(c.new_size));
        });

    py::class_<DiffReport>(m, "DiffReport", "Every file that differs, and the totals.")
        .def_property_readonly(
            "changes",
            [](const DiffReport& r) {
                py::tuple changes(r.changes.size());
                for (std::size_t i = 0; i < r.changes.size(); ++i) {
                    changes[i] = py::cast(r.changes[i]);
                }
                return changes;
            },
            "The changes, in ascending id order.")
        .def_readonly("compared", &DiffReport::compared, "Files compared.")
        .def_property_readonly(
            "totals", [](const DiffReport& r) { return totals_dict(r.by_kind); },
            "ChangeTotals by ChangeKind.")
        .def_property_readonly(
            "by_type",
            [](const DiffReport& r) {
                py::dict by_type;
                for (const tarnwick_dat::TypeTotals& t : r.by_type) {
                    by_type[file_type_object(t.type)] = totals_dict(t.kinds);
                }
                return by_type;
            },
            "For each FileType with a change, ChangeTotals by ChangeKind.")
        .def_property_readonly(
            "missing",
            [](const DiffReport& r) {
                py::tuple missing(r.missing.size());
                for (std::size_t i = 0; i < r.missing.size(); ++i) {
                    missing[i] = py::int_(r.missing[i]);
                }
                return missing;
            },
            "Ids asked for that neither version lists.")
        .def_property_readonly(
            "hash",
            [](const DiffReport& r) {
                return std::string(tarnwick_dat::hash_algorithm_name(r.hash));
            },
            "The content hash compared: 'xxh3' or 'sha256'.")
        .def_property_readonly("identical", &DiffReport::identical,
                               "True when no selected file differs.")
        .def("summary", &DiffReport::summary, "The one-line summary the tool prints.");

    m.def("diff", &diff, py::arg("old"), py::arg("new"), py::kw_only(), py::arg("ids") = py::none(),
          py::arg("types") = py::none(), py::arg("hash") = "xxh3", py::arg("threads") = 0U,
          "Compares two versions, each an open Archive or the path of a manifest (what "
          "Archive.manifest() returns, saved). ids and types select files; hash is used when "
          "both are archives.");
}

}  // namespace tarnwick_dat_python
