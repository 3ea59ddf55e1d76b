#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer harnesses of fuzz/ with clang-14 under AddressSanitizer
# and UndefinedBehaviorSanitizer into FUZZ_BUILD_DIR (default build-fuzz),
# writes each harness's seed corpus (fuzz/seeds/<name>.py, generated, never
# copied from samples), and runs every harness for SECONDS each (default 60).
# Fails if any harness finds a crash; the input that crashed is kept in
# FUZZ_BUILD_DIR/artifacts/. Corpora grow in FUZZ_BUILD_DIR/corpus/<name>/.
#
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build_dir=${FUZZ_BUILD_DIR:-$root/build-fuzz}

"$root/scripts/install-deps.sh" clang-14 libfuzzer-14-dev libclang-rt-14-dev python3

cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVEILCAST_FUZZ=ON -DVEILCAST_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --target fuzzers

mapfile -t harnesses < "$build_dir/fuzz/fuzzers.txt"
if ((${#harnesses[@]} == 0)); then
  echo "fuzz: no harness found" >&2
  exit 1
fi

mkdir -p "$build_dir/artifacts"
failed=()
for name in "${harnesses[@]}"; do
  corpus=$build_dir/corpus/$name
  mkdir -p "$corpus"
  if [[ -f $root/fuzz/seeds/$name.py ]]; then
    python3 "$root/fuzz/seeds/$name.py" "$corpus"
  fi
  echo "== $name: ${seconds}s"
  log=$build_dir/artifacts/$name.log
  # fuzz/<name>.supp lists leaks inside the libraries a harness drives; they
  # are only recognised with full stacks, which the libraries' own frames need.
  sanitizer_env=()
  if [[ -f $root/fuzz/$name.supp ]]; then
    sanitizer_env=(ASAN_OPTIONS=fast_unwind_on_malloc=0 LSAN_OPTIONS=suppressions=$root/fuzz/$name.supp)
  fi
  # A fixed seed (FUZZ_SEED, default 1) makes a CI run repeatable; campaigns set another.
  # Harnesses named in FUZZ_REPLAY_ONLY only replay their seeds and past
  # findings (-runs=0): for a harness whose mutations reach a fault in a
  # library this project cannot mend, until it is kept from that library.
  limit=(-max_total_time="$seconds")
  if [[ " ${FUZZ_REPLAY_ONLY:-} " == *" $name "* ]]; then
    limit=(-runs=0)
  fi
  if env "${sanitizer_env[@]}" "$build_dir/fuzz/$name" -seed="${FUZZ_SEED:-1}" "${limit[@]}" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
       -artifact_prefix="$build_dir/artifacts/$name-" "$corpus" >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units|stat::peak_rss_mb' "$log" || tail -n 3 "$log"
  else
    echo "fuzz: $name found a crash; the last lines of $log:" >&2
    tail -n 30 "$log" >&2
    failed+=("$name")
  fi
done

if ((${#failed[@]})); then
  echo "fuzz: crashes in ${failed[*]} (inputs in $build_dir/artifacts/)" >&2
  exit 1
fi
echo "fuzz: ${#harnesses[@]} harness(es), no crash in ${seconds}s each"
