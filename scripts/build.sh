#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Configures and builds the project into BUILD_DIR (default: build).
# Extra arguments go to CMake, e.g. -DVEILCAST_SANITIZE=address,undefined.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build_dir" -G Ninja --log-level=WARNING "$@"
cmake --build "$build_dir"
