#!/usr/bin/env bash
# Builds comm_benchmark in Release (build-bench/) and prints its tables: every
# coder on every path this CPU runs, the reference coders, split, merge and LZ4,
# each as a multiple of a memcpy timed in the same run. About two minutes on a
# busy two-core machine.
# Usage: tools/bench.sh [more benchmark flags, e.g. --benchmark_filter=/1900/]
#        tools/bench.sh --full ...   also prints every benchmark's own lines
set -euo pipefail
cd "$(dirname "$0")/.."

table_only=--comm_table_only
if [ "${1:-}" = --full ]; then
  table_only=
  shift
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j2 --target comm_benchmark >/dev/null
./build-bench/bench/comm_benchmark $table_only --benchmark_repetitions=5 --benchmark_min_time=0.05 \
  --benchmark_enable_random_interleaving=true "$@"
