#!/usr/bin/env bash
# Builds the libFuzzer targets (in build-fuzz, with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS seconds.
#
#   bash tools/run-fuzzers.sh SECONDS [target...]
#
# Targets: fuzz_decode fuzz_decode2 fuzz_merge fuzz_paths fuzz_round_trip fuzz_wire_parse
# fuzz_reassembler (default: all).
# SECONDS 0 means no time limit (then give a limit in FUZZ_ARGS, e.g. -runs=N).
# Each target starts from a copy of its committed seed corpus, fuzz/corpus/<target>,
# in the scratch directory fuzz-runs/<target>/corpus (new inputs go there; the
# committed corpus is never changed), and logs to fuzz-runs/<target>/fuzz.log.
# A crash, leak, timeout or out-of-memory input is written to fuzz-runs/<target>/
# and its path printed; the script then exits 1 after running every target.
#
# Environment:
#   FUZZ_ARGS   extra libFuzzer flags for every target, e.g. "-runs=10000000"
#   FUZZ_JOBS   parallel build jobs (default 2)
set -euo pipefail

usage() {
  echo "usage: $0 SECONDS [fuzz_decode|fuzz_decode2|fuzz_merge|fuzz_paths|fuzz_round_trip|fuzz_wire_parse|fuzz_reassembler ...]" >&2
  exit 2
}

[ $# -ge 1 ] || usage
seconds=$1
shift
[[ $seconds =~ ^[0-9]+$ ]] || usage

all_targets=(fuzz_decode fuzz_decode2 fuzz_merge fuzz_paths fuzz_round_trip fuzz_wire_parse fuzz_reassembler)
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=("${all_targets[@]}")
fi
for t in "${targets[@]}"; do
  [[ " ${all_targets[*]} " == *" $t "* ]] || { echo "unknown target: $t" >&2; usage; }
done

# Per target: dictionary and largest input. Streams above ~5700 bytes and
# blocks above 5700 floats add nothing (the decoders stop at 5700 values),
# except for fuzz_paths, whose blocks cross the encoders' 8192-value chunks.
# The wire targets: a few packets' worth of bytes, and a stream of blocks.
declare -A dict=([fuzz_decode]=fuzz/escaped.dict [fuzz_decode2]=fuzz/escaped.dict
                 [fuzz_merge]=fuzz/packets.dict [fuzz_paths]=fuzz/escaped.dict [fuzz_round_trip]=fuzz/floats.dict
                 [fuzz_wire_parse]=fuzz/wire.dict [fuzz_reassembler]=fuzz/wire.dict)
declare -A max_len=([fuzz_decode]=8192 [fuzz_decode2]=8192 [fuzz_merge]=1024 [fuzz_paths]=36000
                    [fuzz_round_trip]=23000 [fuzz_wire_parse]=4096 [fuzz_reassembler]=20000)

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build="build-fuzz"

if [ ! -f "$build/CMakeCache.txt" ] || ! grep -q '^COMM_BUILD_FUZZERS:BOOL=ON$' "$build/CMakeCache.txt"; then
  echo "== configure $build"
  CC=clang CXX=clang++ cmake -S "$root" -B "$root/$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCOMM_BUILD_FUZZERS=ON -DCOMM_SANITIZERS=address,undefined -DCOMM_BUILD_TESTS=OFF
fi
echo "== build ${targets[*]}"
cmake --build "$build" -j "${FUZZ_JOBS:-2}" --target "${targets[@]}"

extra=()
if [ -n "${FUZZ_ARGS:-}" ]; then
  read -r -a extra <<<"$FUZZ_ARGS"
fi

failed=0
for t in "${targets[@]}"; do
  dir=fuzz-runs/$t
  mkdir -p "$dir/corpus"
  cp -R fuzz/corpus/"$t"/. "$dir/corpus/"
  log=$dir/fuzz.log
  limit="${seconds}s"
  [ "$seconds" -ne 0 ] || limit="no time limit"
  [ ${#extra[@]} -eq 0 ] || limit="$limit, ${extra[*]}"
  echo "== $t: $limit; log in $log"

  start=$(date +%s.%N)
  status=0
  "$build/fuzz/$t" "$dir/corpus" \
    -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -dict="${dict[$t]}" -max_len="${max_len[$t]}" -artifact_prefix="$dir/" \
    ${extra[@]+"${extra[@]}"} >"$log" 2>&1 || status=$?
  end=$(date +%s.%N)

  execs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  execs=${execs:-unknown}
  awk -v t="$t" -v n="$execs" -v a="$start" -v b="$end" 'BEGIN {
        s = b - a
        rate = (n ~ /^[0-9]+$/ && s > 0) ? sprintf(" (%.0f exec/s)", n / s) : ""
        printf "%s: %s executions in %.1f s%s\n", t, n, s, rate
      }'

  artifacts=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log")
  if [ "$status" -ne 0 ] || [ -n "$artifacts" ]; then
    failed=1
    echo "$t: FAILED (libFuzzer exit status $status); last lines of $log:"
    tail -n 30 "$log" | sed 's/^/    /'
    if [ -n "$artifacts" ]; then
      while IFS= read -r a; do
        echo "$t: reproducer: $a  (replay: $build/fuzz/$t $a)"
      done <<<"$artifacts"
    else
      echo "$t: no reproducer file was written"
    fi
  fi
done

if [ "$failed" -ne 0 ]; then
  echo "== fuzzing found problems"
  exit 1
fi
echo "== all fuzz targets clean"
