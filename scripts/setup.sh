#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev googletest libbenchmark-dev "$@")
# The Python module and its tests, the manual-page checks, the install check.
packages+=(python3-dev pybind11-dev python3-numpy python3-pytest groff-base mandoc pkgconf)
# mirvo.dask and its test; setup.py of `pip install ./python`.
packages+=(python3-dask python3-distributed python3-pybind11 python3-setuptools)
# The sanitized build and the fuzz targets (clang with libFuzzer), the format check.
packages+=(clang-14 libclang-rt-14-dev clang-format-14)
# The arm64 cross-check: cross compiler and user-mode emulator.
packages+=(g++-aarch64-linux-gnu qemu-user)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
