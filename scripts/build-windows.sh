#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Cross-builds the Windows x64 image library, operator module and test programs
# with MinGW-w64 into BUILD_DIR (default: build-windows) and runs the tests
# under Wine, headless, in a throw-away Wine prefix. Installs what is missing.
# Extra arguments go to CMake.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build-windows}

# Debian's wine64 puts its program in /usr/lib/wine; the wine package adds the usual command.
wine_package=()
if [[ ! -x /usr/lib/wine/wine64 ]] && ! command -v wine >/dev/null; then
  wine_package=(wine64)
fi
"$root/scripts/install-deps.sh" --only cmake ninja-build g++-mingw-w64-x86-64-posix googletest "${wine_package[@]}"

cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" "$@" >/dev/null
cmake --build "$build_dir" --parallel "${JOBS:-2}"

wine=$(sed -n 's/^VEILCAST_WINE:FILEPATH=//p' "$build_dir/CMakeCache.txt")
if [[ ! -x $wine ]]; then
  echo "build-windows: no Wine program found to run the tests" >&2
  exit 1
fi
export WINEDEBUG=-all
WINEPREFIX=$(mktemp -d)
export WINEPREFIX
wineserver=$(dirname "$wine")/wineserver
[[ -x $wineserver ]] || wineserver=/usr/lib/wine/wineserver
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# Wine's first start creates the prefix and is slow; doing it once here keeps
# the parallel test runs from racing to create it.
start=$(date +%s%N)
"$wine" wineboot --init >/dev/null 2>&1
echo "Wine's first start: $((($(date +%s%N) - start) / 1000000)) ms"

ctest --test-dir "$build_dir" --output-on-failure -j"${JOBS:-2}"
