#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, builds and runs every test.
# Extra arguments go to CMake (see build.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}

BUILD_DIR=$build_dir "$root/scripts/build.sh" "$@"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
