#!/usr/bin/env bash
# Installs the Debian packages a task needs, when they are missing (apt-get,
# as root; through sudo otherwise), without the packages they only
# recommend:
#
#   scripts/setup.sh build   building the program, the library and the Python
#                            module, and running them (scripts/run-example.sh)
#   scripts/setup.sh test    that, and what every test needs: GoogleTest,
#                            pytest, Dask, the image example's scikit-image
#                            and matplotlib, the manual-page and install
#                            checks, clang for the sanitized build and the
#                            fuzz targets, the format and tidy checks, the
#                            arm64 cross compiler and qemu-user
#                            (scripts/run-tests.sh)
#   scripts/setup.sh fuzz    building and running the fuzz targets
#
# Package names after the task are installed as well.
set -euo pipefail
task=${1:-test}
[ $# -gt 0 ] && shift
build=(cmake ninja-build g++ python3-dev pybind11-dev python3-numpy)
clang=(clang-14 libclang-rt-14-dev)
case "$task" in
  build) packages=("${build[@]}") ;;
  fuzz) packages=(cmake ninja-build "${clang[@]}") ;;
  test)
    packages=("${build[@]}" libgtest-dev libgmock-dev googletest "${clang[@]}" clang-format-14 clang-tidy-14)
    # The Python tests: the Dask part, the progress bar, the image example.
    packages+=(python3-pytest python3-dask python3-distributed python3-tqdm python3-skimage python3-matplotlib)
    # The manual-page and install checks; the arm64 cross-check.
    packages+=(groff-base mandoc pkgconf g++-aarch64-linux-gnu qemu-user)
    ;;
  *)
    echo "usage: scripts/setup.sh build|test|fuzz [PACKAGE...]" >&2
    exit 2
    ;;
esac
packages+=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "setup: installing ${missing[*]}"
  # apt-get's and dpkg's lines are shown only when installing fails.
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  if ! { $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "setup: installing failed" >&2
    exit 1
  fi
  echo "setup: installed $(grep -c '^Setting up' "$log") packages"
fi
