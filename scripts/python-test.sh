#!/usr/bin/env bash
# Installs the Python package with the README's command into a throwaway
# virtual environment, offline (pybind11, setuptools and pytest come from
# Debian's packages), and runs the package's tests there under pytest.
# Exits non-zero on any failure.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Debian's interpreter, explicitly: another one earlier in PATH (pyenv)
# would not see Debian's pybind11 and pytest.
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
# The tests' writer module (tarnwick_dat_testing) is built beside the
# package, from the same build, into a folder of its own.
mkdir "$work/testing"
TARNWICK_PYTHON_TESTING_DIR="$work/testing" \
    "$work/venv/bin/pip" install --quiet --no-index --no-build-isolation "$root/python"

# Run from outside the source tree, so that the installed package is the one
# imported rather than python/tarnwick_dat.
cd "$work"
PYTHONPATH="$work/testing" "$work/venv/bin/python" -m pytest -q -p no:cacheprovider \
    "$root/python/tests"
