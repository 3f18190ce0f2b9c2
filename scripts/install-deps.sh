#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when
# any of them is missing. Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang clang-14 libclang-rt-14-dev
    libfmt-dev libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
    libcli11-dev pkg-config liblz4-dev lz4 libxxhash-dev libssl-dev bc time hyperfine llvm-14
    python3 python3-dev python3-venv python3-setuptools python3-wheel
    pybind11-dev python3-pybind11 python3-pytest
    libfuse3-dev fuse3
    clang-format-14 git
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} > 0)); then
    echo "Installing missing packages: ${missing[*]}"
    sudo_cmd=()
    if [[ $(id -u) -ne 0 ]]; then
        sudo_cmd=(sudo)
    fi
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
