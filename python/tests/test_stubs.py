"""The shipped stubs describe the native module: the same public names, the
same members per class, the same enum members and the same parameters
(names, keyword-only, defaults) as pybind11 reports in each docstring."""

from __future__ import annotations

import ast
import enum
import inspect
import types
from pathlib import Path

import pytest

from tarnwick_dat import _native

STUB = ast.parse(Path(_native.__file__).with_name("_native.pyi").read_text())
# Members pybind11 or Python define on every class, and the comparisons that
# come with __eq__ on a C type.
IMPLICIT = {"__init__", "__new__", "__doc__", "__module__", "__dict__", "__weakref__", "__repr__",
            "__ne__", "__lt__", "__le__", "__gt__", "__ge__"}


def public(names):
    return {n for n in names if not n.startswith("_")}


def stub_definitions(body):
    found = {}
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            found[node.name] = node
        elif isinstance(node, ast.Assign):
            found[node.targets[0].id] = node
    return found


def stub_parameters(node):
    args = node.args
    plain = [a.arg for a in args.posonlyargs + args.args if a.arg != "self"]
    first_default = len(plain) - len(args.defaults)
    params = [(name, "", i >= first_default) for i, name in enumerate(plain)]
    if args.vararg:
        params.append((args.vararg.arg, "*", False))
    params += [(a.arg, "kw", d is not None) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return params


def split_top_level(text):
    parts, depth, current = [], 0, ""
    for char in text:
        depth += char in "[(" and 1 or (char in "])" and -1 or 0)
        if char == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += char
    return [p for p in parts + [current.strip()] if p]


def runtime_parameters(function):
    if getattr(function, "__text_signature__", None):  # a plain C method
        kinds = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.KEYWORD_ONLY: "kw"}
        return [(p.name, kinds.get(p.kind, ""), p.default is not p.empty)
                for p in inspect.signature(function).parameters.values() if p.name != "self"]
    # pybind11 puts its signature on the docstring's first line.
    signature = function.__doc__.splitlines()[0]
    inner = signature[signature.index("(") + 1: signature.rindex(")")]
    params, keyword_only = [], False
    for part in split_top_level(inner):
        name = part.split(":")[0].split("=")[0].strip()
        if name == "*":
            keyword_only = True
        elif name.startswith("*"):
            params.append((name.lstrip("*"), "*", False))
        elif name != "self":
            params.append((name, "kw" if keyword_only else "", "=" in part))
    return params


TOP = stub_definitions(STUB.body)


def test_public_names_match():
    stubbed = public(name for name, node in TOP.items() if not isinstance(node, ast.Assign))
    assert stubbed == public(dir(_native))


@pytest.mark.parametrize("name", sorted(n for n, v in TOP.items() if isinstance(v, ast.FunctionDef)))
def test_function_parameters(name):
    assert stub_parameters(TOP[name]) == runtime_parameters(getattr(_native, name))


CLASSES = sorted(n for n, v in TOP.items() if isinstance(v, ast.ClassDef))


@pytest.mark.parametrize("name", CLASSES)
def test_class_members(name):
    cls = getattr(_native, name)
    members = stub_definitions(TOP[name].body)
    if issubclass(cls, enum.Enum):
        stubbed = [(n, ast.literal_eval(v.value)) for n, v in members.items()]
        assert stubbed == [(m.name, m.value) for m in cls]
        return
    runtime = {n for n, v in vars(cls).items() if v is not None} - IMPLICIT
    assert set(members) - IMPLICIT == runtime
    for member, node in members.items():
        if member in IMPLICIT:
            continue
        value = vars(cls)[member]
        is_property = any(getattr(d, "id", None) == "property" for d in node.decorator_list)
        assert is_property == inspect.isdatadescriptor(value), member
        # Slot wrappers (__eq__ of a C type) have Python's own fixed signature.
        if not is_property and not isinstance(value, types.WrapperDescriptorType):
            assert stub_parameters(node) == runtime_parameters(value), member


def test_the_package_ships_no_test_helpers():
    # The writer and the benchmark's loop live in tarnwick_dat_testing, a
    # module beside the package that is never packaged.
    import tarnwick_dat_testing

    helpers = {"_testing", "_read_all_native", "ArchiveBuilder", "write_sample_archive"}
    assert helpers.isdisjoint(dir(_native))
    package_dir = Path(_native.__file__).parent
    assert not list(package_dir.glob("tarnwick_dat_testing*"))
    assert Path(tarnwick_dat_testing.__file__).parent != package_dir
    assert {"ArchiveBuilder", "write_sample_archive", "read_all_native"} <= set(
        dir(tarnwick_dat_testing))
