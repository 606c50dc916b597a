#!/usr/bin/env bash
# Line coverage of the C++ libraries by their GoogleTest suites: a gcc
# --coverage build in build/coverage, CTest, then plain gcov. Prints each
# source's covered lines and writes the annotated sources (*.gcov, where
# "#####" marks a line never run and "=====" one only an exception reaches) to
# build/coverage/gcov/.
#
# Usage: scripts/coverage.sh [SOURCE[:FIRST-LAST]...]
#   SOURCE, e.g. variant/src/map.cpp (default: every source of libqel-c,
#   variant and bridge); with :FIRST-LAST, also prints those lines with the
#   number of times each ran.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/coverage

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQEL_BUILD_TESTS=ON -DQEL_BUILD_MODULE=OFF \
  -DCMAKE_C_FLAGS=--coverage -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" -j2
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" -j2 >/dev/null || ctest --test-dir "$build" --output-on-failure --rerun-failed

if (($#)); then sources=("$@"); else
  mapfile -t sources < <(git ls-files 'libqel-c/src/*.cpp' 'variant/src/*.cpp' 'bridge/src/*.cpp')
fi
out=$build/gcov
rm -rf "$out" && mkdir -p "$out"
for arg in "${sources[@]}"; do
  src=${arg%%:*}
  # The library target's data of LIB/src/FILE is LIB/CMakeFiles/TARGET.dir/src/FILE.gcda.
  data=$(find "$build/${src%%/*}" -path "*/CMakeFiles/*.dir/${src#*/}.gcda" | head -n 1)
  [[ -n $data ]] || { echo "$src: not run"; continue; }
  # The build names sources relative to the project (-ffile-prefix-map), so
  # gcov runs from the project's root; -r leaves out the system headers.
  # Each object's listing holds its private headers too: keep the source's.
  gcov -r -t -o "$data" "$src" 2>/dev/null |
    awk -v want="$src" '/^ *-: *0:Source:/ { keep = ($0 ~ ("Source:" want "$")) } keep' >"$out/$(basename "$src").gcov"
  run=$(grep -cE '^ *[0-9]+\*?:' "$out/$(basename "$src").gcov" || true)
  never=$(grep -cE '^ *(#####|=====):' "$out/$(basename "$src").gcov" || true)
  printf '%-32s %5d of %5d lines run\n' "$src" "$run" "$((run + never))"
  if [[ $arg == *:* ]]; then
    range=${arg#*:}
    awk -F: -v first="${range%-*}" -v last="${range#*-}" '$2 + 0 >= first && $2 + 0 <= last' \
      "$out/$(basename "$src").gcov"
  fi
done
echo "annotated sources: $out"
