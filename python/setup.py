"""Builds the native module with the project's CMake build (the same flags,
the same library sources) and puts it in the package. Needs cmake, a C++20
compiler, pybind11 and Python's headers: scripts/install-deps.sh installs them."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

PACKAGE_DIR = Path(__file__).resolve().parent
PROJECT_ROOT = PACKAGE_DIR.parent


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        build_dir = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(PROJECT_ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DTARNWICK_BUILD_PYTHON=ON",
            "-DTARNWICK_BUILD_TESTS=OFF",
            "-DTARNWICK_BUILD_TOOLS=OFF",
            "-DTARNWICK_BUILD_BENCHMARKS=OFF",
            "-DTARNWICK_INSTALL=OFF",
            # A user's newer compiler may warn where ours does not.
            "-DTARNWICK_WARNINGS_AS_ERRORS=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        if "CMAKE_GENERATOR" not in os.environ and shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        # The tests' writer module is built only when asked for, into a
        # folder of its own: it is never part of the package.
        testing_dir = os.environ.get("TARNWICK_PYTHON_TESTING_DIR")
        targets = ["tarnwick_dat_python"] + (["tarnwick_dat_python_testing"] if testing_dir else [])
        subprocess.run(["cmake", "--build", str(build_dir), "--target", *targets, "-j", jobs],
                       check=True)
        if testing_dir:
            for module in (build_dir / "python").glob("tarnwick_dat_testing*.so"):
                shutil.copy(module, testing_dir)
        built = sorted((build_dir / "python" / "tarnwick_dat").glob("_native*.so"))
        if len(built) != 1:
            raise RuntimeError(f"expected one native module in {build_dir}, found {built}")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    ext_modules=[Extension("tarnwick_dat._native", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
