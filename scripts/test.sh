#!/usr/bin/env bash
# Sets up and runs every test: installs the packages, builds the default and the sanitizer presets,
# runs the whole suite on both, the fuzzer for 30 s, builds, installs, checks and removes the Debian
# package (as root), and runs the benchmarks briefly.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $(id -u) -eq 0 ]] || command -v sudo >/dev/null; then scripts/install-deps.sh; fi

jobs=$(nproc)
mkdir -p artifacts

for preset in default asan; do
  echo "== build ($preset)"
  extra=(-DJOYRELAY_TESTS=ON); [[ $preset == default ]] && extra+=(-DJOYRELAY_BENCH=ON)
  cmake --preset "$preset" "${extra[@]}" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== tests ($preset)"
  ctest --preset "$preset" -j "$jobs" --timeout 600
done

echo "== fuzz (30 s)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
mkdir -p build/fuzz/corpus
build/fuzz/fuzz/fuzz_report_path -max_total_time=30 -max_len=8192 -print_final_stats=1 build/fuzz/corpus 2>&1 | tail -n 12

echo "== package"
if [[ $(id -u) -eq 0 ]]; then
  packaging/check-package.sh build/package
else
  echo "(skipped: installing and removing the package needs root)"
fi

echo "== benchmarks (brief)"
for b in build/default/bench/bench_*; do
  [[ -x "$b" ]] || continue
  "$b" --benchmark_min_time=0.2 --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    | tee "artifacts/$(basename "$b").txt"
done
echo "== all tests passed"
