#!/usr/bin/env bash
# Checks comm as other projects take it:
#   - installs a configured and built tree into a fresh prefix and checks the
#     shared library's SONAME and exported symbols;
#   - examples/c: C with pkg-config, linked with the shared and the static library;
#   - examples/cxx: C++ with find_package(comm), comm::comm static and shared;
#   - examples/subproject: comm built by add_subdirectory in a project with no
#     build type, whose asserts must stay on and which must get no comm targets
#     but the library;
#   - README.md shows the two examples as they are.
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
  cmake -S examples/subproject -B "$dir" -DBUILD_SHARED_LIBS=$shared >/dev/null
  cached=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$dir/CMakeCache.txt")
  [ -z "$cached" ] || { echo "the parent's cached build type became '$cached'"; exit 1; }
  cmake --build "$dir" -j2 >/dev/null
  "$dir/app"
  built=$(cd "$dir" && find . \( -type f -o -type l \) \( -name '*.a' -o -name '*.so*' -o -perm -u+x \) \
            ! -path '*/CMakeFiles/*' | sort | tr '\n' ' ')
  expected="./app ./comm/libcomm.a "
  [ $shared = OFF ] || expected="./app ./comm/libcomm.so ./comm/libcomm.so.$major ./comm/libcomm.so.$(pkg-config --modversion comm) "
  [ "$built" = "$expected" ] || { echo "the default build made: $built"; exit 1; }
done

echo "-- README.md shows the examples as they are"
readme=$(<README.md)
for f in examples/c/example.c examples/cxx/example.cpp; do
  [[ $readme == *"$(<"$f")"* ]] || { echo "README.md does not show $f as it is"; exit 1; }
done

echo "package: clean"
