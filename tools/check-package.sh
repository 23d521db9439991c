#!/usr/bin/env bash
# Checks comm as other projects take it:
#   - installs a configured and built tree into a fresh prefix and checks the
#     shared library's SONAME and exported symbols;
#   - examples/c: C with pkg-config, linked with the shared and the static library;
#   - examples/cxx: C++ with find_package(comm), comm::comm static and shared;
#   - examples/subproject: comm built by add_subdirectory in a project with no
#     build type, whose asserts must stay on, whose own flags comm must leave
#     alone while it optimises its own sources, and which must get no comm
#     targets but the library;
#   - a library built unoptimised and without the short names: it exports and
#     defines only comm_ names, a C program with its own `split` links every
#     object of the static library with the C linker (no C++ runtime), and the
#     C++ example builds against it;
#   - the examples' sources are shown as they are in the documents.
# Usage: tools/check-package.sh [BUILD]   (BUILD: a built tree, default build)
# Works in build-package/ (removed first).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$PWD/build-package
prefix=$work/prefix

rm -rf "$work"
mkdir -p "$work"

echo "-- install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
libdir=$(pkg-config --variable=libdir comm)
major=$(pkg-config --modversion comm | cut -d. -f1)
for f in include/comm/Comm.h include/comm/comm.hpp include/comm/format_constants.hpp lib/cmake/comm/comm-config.cmake \
         lib/cmake/comm/comm-config-version.cmake share/doc/comm/LICENSE; do
  test -f "$prefix/$f" || { echo "not installed: $f"; exit 1; }
done
test -f "$libdir/libcomm.a" || { echo "not installed: libcomm.a"; exit 1; }
cmake -DLIBRARY="$libdir/libcomm.so" -DMAJOR="$major" -P cmake/check-exports.cmake

echo "-- C, pkg-config, shared library"
cc -std=c99 -Wall -Wextra -Wpedantic -Werror examples/c/example.c $(pkg-config --cflags --libs comm) \
  -o "$work/c-shared"
LD_LIBRARY_PATH=$libdir "$work/c-shared"
loaded=$(LD_LIBRARY_PATH=$libdir ldd "$work/c-shared")
[[ $loaded == *"libcomm.so.$major => $libdir/"* ]] || { echo "c-shared does not load $libdir/libcomm.so.$major"; exit 1; }

echo "-- C, pkg-config, static library (no C++ runtime named)"
cc -std=c99 -Wall -Wextra -Wpedantic -Werror examples/c/example.c $(pkg-config --cflags comm) \
  "$libdir/libcomm.a" -o "$work/c-static"
"$work/c-static"

for shared in OFF ON; do
  echo "-- C++, find_package, BUILD_SHARED_LIBS=$shared"
  cmake -S examples/cxx -B "$work/cxx-$shared" -DCMAKE_PREFIX_PATH="$prefix" -DBUILD_SHARED_LIBS=$shared \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Wconversion -Werror" >/dev/null
  cmake --build "$work/cxx-$shared" >/dev/null
  "$work/cxx-$shared/example"
  linked=OFF
  [[ $(ldd "$work/cxx-$shared/example") != *libcomm.so* ]] || linked=ON
  [ "$linked" = "$shared" ] || { echo "comm::comm is not the library BUILD_SHARED_LIBS=$shared asks for"; exit 1; }
done

for shared in OFF ON; do
  echo "-- subproject, no build type, BUILD_SHARED_LIBS=$shared"
  dir=$work/subproject-$shared
  cmake -S examples/subproject -B "$dir" -DBUILD_SHARED_LIBS=$shared -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
  cached=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$dir/CMakeCache.txt")
  [ -z "$cached" ] || { echo "the parent's cached build type became '$cached'"; exit 1; }
  cmake --build "$dir" -j2 >/dev/null
  "$dir/app"
  built=$(cd "$dir" && find . \( -type f -o -type l \) \( -name '*.a' -o -name '*.so*' -o -perm -u+x \) \
            ! -path '*/CMakeFiles/*' | sort | tr '\n' ' ')
  expected="./app ./comm/libcomm.a "
  [ $shared = OFF ] || expected="./app ./comm/libcomm.so ./comm/libcomm.so.$major ./comm/libcomm.so.$(pkg-config --modversion comm) "
  [ "$built" = "$expected" ] || { echo "the default build made: $built"; exit 1; }
  # Compile commands: comm's sources optimised, the parent's app.c as the parent left it.
  awk -F'"' '/"command":/ { command = $4 }
             /"file":/ { if ($4 ~ /\/app\.c$/) { if (command ~ / -O/) { print "app.c got an optimisation flag: " command; bad = 1 } }
                         else if (command !~ / -O[1-3s]( |$)/) { print "unoptimised: " command; bad = 1 } }
             END { exit bad }' "$dir/compile_commands.json"
done

echo "-- unoptimised library without the short names"
plain=$work/short-names-off
cmake -S . -B "$plain/build" -DCMAKE_BUILD_TYPE=Debug -DCOMM_SHORT_NAMES=OFF -DCOMM_BUILD_TESTS=OFF \
  -DCOMM_BUILD_PROGRAMS=OFF -DCOMM_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$plain/build" -j2 >/dev/null
cmake --install "$plain/build" --prefix "$plain/prefix" >/dev/null
plain_libdir=$plain/prefix/lib
cmake -DLIBRARY="$plain_libdir/libcomm.so" -DMAJOR="$major" -DSHORT_NAMES=OFF -P cmake/check-exports.cmake
[[ $(PKG_CONFIG_PATH=$plain_libdir/pkgconfig pkg-config --cflags comm) == *-DCOMM_NO_SHORT_NAMES* ]] ||
  { echo "comm.pc does not define COMM_NO_SHORT_NAMES"; exit 1; }
grep -q 'INTERFACE_COMPILE_DEFINITIONS "COMM_NO_SHORT_NAMES"' "$plain_libdir"/cmake/comm/comm-targets.cmake ||
  { echo "the CMake package does not define COMM_NO_SHORT_NAMES"; exit 1; }
short=$(nm --defined-only "$plain_libdir/libcomm.a" | awk '$2 == "T" && $3 !~ /^(comm_|_Z)/ { print $3 }')
[ -z "$short" ] || { echo "libcomm.a without short names defines: $short"; exit 1; }
cc -std=c99 -Wall -Wextra -Wpedantic -Werror tests/prefixed_names_test.c \
  $(PKG_CONFIG_PATH=$plain_libdir/pkgconfig pkg-config --cflags comm) \
  -Wl,--whole-archive "$plain_libdir/libcomm.a" -Wl,--no-whole-archive -o "$work/own-names"
"$work/own-names"
cc -std=c99 -Wall -Wextra -Wpedantic -Werror examples/c/example.c \
  $(PKG_CONFIG_PATH=$plain_libdir/pkgconfig pkg-config --cflags comm) "$plain_libdir/libcomm.a" -o "$work/c-plain"
"$work/c-plain" >/dev/null
cmake -S examples/cxx -B "$plain/cxx" -DCMAKE_PREFIX_PATH="$plain/prefix" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Wconversion -Werror" >/dev/null
cmake --build "$plain/cxx" >/dev/null
"$plain/cxx/example" >/dev/null

echo "-- README.md shows the examples as they are"
readme=$(<README.md)
[[ $readme == *"$(<examples/c/example.c)"* ]] || { echo "README.md does not show examples/c/example.c whole"; exit 1; }
excerpt=$(awk '/^```cpp$/ { inside = 1; next } /^```$/ { inside = 0 } inside' README.md)
[ -n "$excerpt" ] || { echo "README.md shows no C++ example"; exit 1; }
[[ $(<examples/cxx/example.cpp) == *"$excerpt"* ]] || { echo "README.md's C++ lines are not in examples/cxx/example.cpp"; exit 1; }

echo "package: clean"
