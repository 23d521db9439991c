#!/usr/bin/env bash
# Builds and tests comm for other CPUs with Debian's cross compilers, running
# everything under qemu-user: aarch64 (little-endian) and s390x (big-endian).
# Formats and files are defined in bytes, so every CPU must give and take the
# same ones. For each target:
#   - configures with cmake/toolchains/<triple>.cmake (no benchmark, no
#     fuzzers) and builds;
#   - checks the library's object code: no x86 vector path, no cpuid or xgetbv;
#   - runs every test through the emulator with ctest, the longest ones on a
#     sample of their inputs (tests/emulation.hpp);
#   - runs comm_roundtrip;
#   - installs the package and builds and runs the C example (pkg-config,
#     shared and static library) and the C++ example (find_package, static and
#     shared) against it;
#   - packs a file on this machine and unpacks it on the target, and the other
#     way round, with the comm tool: the values must come back byte-identical
#     (skipped, saying so, while the tree has no comm tool).
# Usage: tools/cross-test.sh [aarch64|s390x|all]   (default all)
# Works in build-cross/ (each target's folder is reconfigured, not removed).
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-all}" in
  aarch64 | s390x) cpus=("$1") ;;
  all) cpus=(aarch64 s390x) ;;
  *) echo "usage: tools/cross-test.sh [aarch64|s390x|all]" >&2; exit 2 ;;
esac

bash tools/install-deps.sh --cross

work=$PWD/build-cross
host=$work/host
mkdir -p "$work"

# A float32 file, little-endian: a slow sine wave, then noise, then values
# outside [0, 1], 30,000 of each.
samples=$work/samples.raw
perl -e 'srand(7); print pack("f<*", (map { 0.5 + 0.45 * sin($_ / 300) } 0 .. 29999),
                                  (map { rand() } 0 .. 29999), (map { 3 * rand() - 1 } 0 .. 29999))' >"$samples"

for cpu in "${cpus[@]}"; do
  triple=$cpu-linux-gnu
  build=$work/$cpu
  emulator=(qemu-$cpu -L /usr/$triple)
  started=$SECONDS

  echo "== $cpu: configure and build"
  cmake -S . -B "$build" --toolchain cmake/toolchains/$triple.cmake -DCOMM_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$build" -j2 >/dev/null

  echo "== $cpu: the library holds no x86 code"
  symbols=$("$triple-nm" -C "$build/libcomm.a" "$build/libcomm.so" | sed -n 's/^[0-9a-f ]* [A-Za-z] //p')
  # (The decoding of CPUID words into features is plain C++ and may be there.)
  if grep -i 'avx' <<<"$symbols"; then
    echo "$cpu: the library defines or calls x86 vector paths"
    exit 1
  fi
  if "$triple-objdump" -d "$build/libcomm.a" "$build/libcomm.so" | grep -wiE 'cpuid|xgetbv'; then
    echo "$cpu: the library runs x86 CPU detection"
    exit 1
  fi

  echo "== $cpu: every test"
  ctest --test-dir "$build" --output-on-failure -j2

  echo "== $cpu: the round-trip program"
  "${emulator[@]}" "$build/comm_roundtrip"

  echo "== $cpu: the installed package, from C and C++"
  prefix=$build-package/prefix
  rm -rf "$build-package"
  cmake --install "$build" --prefix "$prefix" >/dev/null
  libdir=$prefix/lib
  pc() { PKG_CONFIG_LIBDIR=$libdir/pkgconfig pkg-config "$@" comm; }
  "$triple-gcc" -std=c99 -Wall -Wextra -Wpedantic -Werror examples/c/example.c $(pc --cflags --libs) \
    -o "$build-package/c-shared"
  LD_LIBRARY_PATH=$libdir "${emulator[@]}" "$build-package/c-shared"
  "$triple-gcc" -std=c99 -Wall -Wextra -Wpedantic -Werror examples/c/example.c $(pc --cflags) \
    "$libdir/libcomm.a" -o "$build-package/c-static"
  "${emulator[@]}" "$build-package/c-static"
  for shared in OFF ON; do
    cxx=$build-package/cxx-$shared
    cmake -S examples/cxx -B "$cxx" --toolchain "$PWD/cmake/toolchains/$triple.cmake" -Dcomm_DIR="$libdir/cmake/comm" \
      -DBUILD_SHARED_LIBS=$shared -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Wconversion -Werror" >/dev/null
    cmake --build "$cxx" >/dev/null
    LD_LIBRARY_PATH=$libdir "${emulator[@]}" "$cxx/example"
    linked=OFF
    ! "$triple-readelf" -d "$cxx/example" | grep -q 'NEEDED.*libcomm\.so' || linked=ON
    [ "$linked" = "$shared" ] || { echo "comm::comm is not the library BUILD_SHARED_LIBS=$shared asks for"; exit 1; }
  done

  echo "== $cpu: a file packed here unpacked there, and the other way round"
  tool=$build/cli/comm
  if [ ! -x "$tool" ]; then
    echo "skipped: this tree has no comm tool (pack and unpack) yet"
  else
    if [ ! -x "$host/cli/comm" ]; then
      cmake -S . -B "$host" -DCOMM_BUILD_TESTS=OFF -DCOMM_BUILD_BENCHMARKS=OFF >/dev/null
      cmake --build "$host" -j2 --target comm_program >/dev/null
    fi
    pair=$work/$cpu-wire
    rm -rf "$pair" && mkdir -p "$pair"
    "$host/cli/comm" pack -q "$samples" "$pair/here.comm"
    "$host/cli/comm" unpack -q "$pair/here.comm" "$pair/here.raw"
    "${emulator[@]}" "$tool" unpack -q "$pair/here.comm" "$pair/there-from-here.raw"
    cmp "$pair/here.raw" "$pair/there-from-here.raw"
    "${emulator[@]}" "$tool" pack -q "$samples" "$pair/there.comm"
    "$host/cli/comm" unpack -q "$pair/there.comm" "$pair/here-from-there.raw"
    cmp "$pair/here.raw" "$pair/here-from-there.raw"
    echo "the same values from either side"
  fi

  echo "== $cpu: passed in $((SECONDS - started)) s"
done
