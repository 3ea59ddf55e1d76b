#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Cross-builds the core, the image library, the operator module, the host and
# their tests for 64-bit ARM Linux into BUILD_DIR (default: build-aarch64) and
# runs the tests under qemu-aarch64. Installs what is missing. Extra arguments
# go to CMake.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build-aarch64}

"$root/scripts/install-deps.sh" --only cmake ninja-build g++-aarch64-linux-gnu qemu-user googletest >/dev/null

cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
  -DVEILCAST_BUILD_TOOLS=OFF "$@" >/dev/null
cmake --build "$build_dir" --parallel "${JOBS:-2}"

# What was built is for the target: refuse a build that quietly ran on this machine.
aarch64-linux-gnu-readelf -h "$build_dir/plugins/ZAVVeilcast.so" | grep -q "Machine:.*AArch64" || {
  echo "build-aarch64: the module is not a 64-bit ARM file" >&2
  exit 1
}

ctest --test-dir "$build_dir" --output-on-failure -j"${JOBS:-2}"
