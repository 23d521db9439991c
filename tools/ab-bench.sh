#!/usr/bin/env bash
# A/B of two comm_benchmark binaries (say, main's and a change's, copied aside
# after each build): runs them one after the other, ROUNDS times each, pinned to
# one CPU, and prints per benchmark the fastest time of each in ns and B/A.
# Alternating the two spreads the host's drifts over both; the fastest time of
# each is the one least disturbed.
#
#   bash tools/ab-bench.sh FILTER A B [ROUNDS]
#
#   FILTER  a --benchmark_filter regex, e.g. '/1900/decode2/avx512vbmi2'
#   A, B    the two benchmark binaries
#   ROUNDS  default 8
# Environment: AB_CPU, the CPU to pin to (default 1); AB_FLAGS, more flags for
# both binaries (e.g. --comm_blocks=16). Run it from a build's bench/ folder.
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: $0 FILTER A B [ROUNDS]" >&2; exit 2; }
filter=$1
a=$2
b=$3
rounds=${4:-8}
cpu=${AB_CPU:-1}
read -r -a flags <<<"${AB_FLAGS:-}"
times=$(mktemp)
trap 'rm -f "$times"' EXIT
for _ in $(seq "$rounds"); do
  for side in A B; do
    binary=$a
    [ "$side" = B ] && binary=$b
    # CSV: name, iterations, real_time, ...
    taskset -c "$cpu" "$binary" "${flags[@]}" --benchmark_filter="$filter" --benchmark_min_time=0.05 --benchmark_format=csv 2>/dev/null |
      awk -F, -v side="$side" '/^"/ { gsub(/"/, "", $1); print side, $1, $3 }' >>"$times"
  done
done
awk '{
  k = $2; t = $3 + 0
  if (!(k in order)) { order[k] = ++n; name[n] = k }
  if ($1 == "A") { if (!(k in a) || t < a[k]) a[k] = t } else { if (!(k in b) || t < b[k]) b[k] = t }
}
END {
  printf "%-45s %9s %9s %6s\n", "benchmark", "A ns", "B ns", "B/A"
  for (i = 1; i <= n; i++) { k = name[i]; printf "%-45s %9.1f %9.1f %6.3f\n", k, a[k], b[k], b[k] / a[k] }
}' "$times"
