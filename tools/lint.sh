#!/usr/bin/env bash
# Static checks: formatting, clang-tidy and cppcheck, all required to be clean.
# Usage: tools/lint.sh   (configures a clang build in build-tidy for its
# compile database)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-tidy

mapfile -t cxx < <(git ls-files '*.cpp' '*.hpp' '*.h' '*.c')

echo "-- clang-format"
clang-format --dry-run --Werror "${cxx[@]}"

echo "-- clang-tidy"
# A clang build, so the compile database holds only flags clang-tidy knows.
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
mapfile -t sources < <(git ls-files '*.cpp' | grep -v '^fuzz/')
mapfile -t fuzz_sources < <(git ls-files 'fuzz/*.cpp')
# The fuzz targets are in no gcc build, so they get their flags here.
if ! report=$( (printf '%s\n' "${sources[@]}" | xargs -P 2 -n 2 clang-tidy -p "$build" --quiet &&
                clang-tidy --quiet "${fuzz_sources[@]}" -- -std=c++20 -I .) 2>&1); then
  grep -v -E '^[0-9]+ warnings? generated\.$' <<<"$report"
  echo "clang-tidy found problems"
  exit 1
fi

echo "-- cppcheck"
common=(--error-exitcode=1 --inline-suppr --suppress=missingIncludeSystem -I . --quiet)
# The reference coders' plain loops are the point.
cppcheck "${common[@]}" --enable=warning,style,performance,portability --std=c++20 --language=c++ \
  --suppress=useStlAlgorithm:reference/reference.hpp \
  $(git ls-files 'comm/*.cpp' 'driver/*.cpp' 'bench/*.cpp' 'fuzz/*.cpp' 'cli/*.cpp' ':(exclude)*/tests/*')
# Tests: no style checks, which misread GoogleTest's parameterised fixtures.
cppcheck "${common[@]}" --enable=warning,performance,portability --std=c++20 --language=c++ --library=googletest \
  tests/ driver/tests/ bench/tests/ cli/tests/
cppcheck "${common[@]}" --enable=warning,style,portability --std=c99 --language=c tests/c_header_test.c tests/prefixed_names_test.c tests/c_wire_test.c
echo "lint: clean"
