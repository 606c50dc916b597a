#!/usr/bin/env bash
# The reliability harness: libFuzzer targets, the C++ tests under
# AddressSanitizer/UBSan and under valgrind, and the Python tests against a
# sanitizer build of the module.
#
#   scripts/reliability.sh [short|long|fuzz|fuzz-long]
#
# short (default): replays fuzz/regressions, fuzzes each target for
#   QEL_FUZZ_SECONDS (30) seconds, then the sanitizer and valgrind runs.
# long: the same, but each target runs until the executions recorded for it
#   add up to QEL_FUZZ_RUNS (10 million); fuzz-long runs only the fuzzers
#   that way. Stopped (Ctrl-C, kill) and started again, they continue from
#   the corpora and the recorded executions.
# fuzz: only the fuzzers, QEL_FUZZ_SECONDS each (their executions are
#   recorded as well).
#
# Environment: QEL_FUZZ_TARGETS limits and orders the fuzz targets (default:
# all six); QEL_PLAIN_BUILD names an existing gcc build with the test
# executables to use for valgrind (scripts/run-tests.sh passes its own);
# QEL_PYTHON the interpreter for the sanitizer run (default: python3);
# QEL_FUZZ_PYTHON the interpreter the codec targets embed (default:
# QEL_PYTHON).
# Everything is built under build/reliability/. Exits non-zero when any
# stage fails; every stage runs regardless, and a summary ends the output.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mode=${1:-short}
case $mode in short|long|fuzz|fuzz-long) ;; *) echo "usage: $0 [short|long|fuzz|fuzz-long]" >&2; exit 2 ;; esac
out=$root/build/reliability
mkdir -p "$out"

log() { printf '\n=== %s\n' "$*"; }
results=()
failed=0
record() {  # stage name, exit status (130: stopped by a signal)
  if [[ $2 -eq 0 ]]; then results+=("PASS  $1"); elif [[ $2 -eq 130 ]]; then results+=("STOP  $1"); failed=1
  else results+=("FAIL  $1"); failed=1; fi
}

# --- tools -------------------------------------------------------------------
missing=()
for pkg in clang-14 libclang-rt-14-dev valgrind g++ libgtest-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  log "installing ${missing[*]}"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
jobs=-j2

# --- fuzzing -----------------------------------------------------------------
read -r -a targets <<<"${QEL_FUZZ_TARGETS:-fuzz_read_tree fuzz_qel_reader fuzz_variant_ops fuzz_codec_loads fuzz_codec_dumps fuzz_codec_stream}"
fuzz_build=$out/fuzz
# The codec targets embed this interpreter; it needs its shared libpython.
fuzz_python=$(command -v "${QEL_FUZZ_PYTHON:-${QEL_PYTHON:-python3}}")
goal=${QEL_FUZZ_RUNS:-10000000}

# Executions are kept per target in build/reliability/fuzz/executions/<target>.tsv,
# one row per run: date, mode, executions, seconds, cov, ft, corpus files,
# exit status. The long forms run each target until the rows add up to the
# goal, so a stopped run continues where it stood, from its corpus.
ledger() { echo "$fuzz_build/executions/$1.tsv"; }
executed() { awk -F'\t' '{n += $3} END {print n + 0}' "$(ledger "$1")" 2>/dev/null || echo 0; }

fuzzer_pid=
stop_fuzzer() {  # an interrupted harness stops the fuzzer, which prints its figures
  [[ -n $fuzzer_pid ]] && kill -TERM "$fuzzer_pid" 2>/dev/null
  interrupted=1
}
interrupted=0
trap stop_fuzzer INT TERM

run_fuzzers() {
  log "fuzz build (clang, libFuzzer + ASan + UBSan; codec targets embed $fuzz_python)"
  cmake -S . -B "$fuzz_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DPython_EXECUTABLE="$fuzz_python" \
    -DQEL_BUILD_FUZZERS=ON -DQEL_BUILD_MODULE=ON -DQEL_BUILD_TESTS=OFF >/dev/null &&
    cmake --build "$fuzz_build" $jobs --target "${targets[@]}"
  local status=$?
  record "fuzz build" $status
  ((status == 0)) || return
  python3 fuzz/seeds.py "$fuzz_build/seeds"
  mkdir -p "$fuzz_build/executions"

  for t in "${targets[@]}"; do
    ((interrupted == 0)) || break
    local bin=$fuzz_build/fuzz/$t
    local regressions=(fuzz/regressions/$t/*)
    if [[ -e ${regressions[0]} ]]; then
      log "$t: replaying ${#regressions[@]} regression inputs"
      "$bin" "${regressions[@]}" >"$out/$t.replay.log" 2>&1
      status=$?
      ((status == 0)) || tail -n 40 "$out/$t.replay.log"
      record "$t regressions" $status
    fi

    local corpus=$fuzz_build/corpus/$t findings=$fuzz_build/findings
    mkdir -p "$corpus" "$findings"
    local limit=(-max_total_time="${QEL_FUZZ_SECONDS:-30}")
    if [[ $mode == long || $mode == fuzz-long ]]; then
      local left=$((goal - $(executed "$t")))
      if ((left <= 0)); then
        echo "$t: $(executed "$t") executions recorded, the goal of $goal is reached"
        continue
      fi
      limit=(-runs="$left")
    fi
    local extra=()
    case $t in
      # Operation scripts longer than 1 KiB only repeat what shorter ones do,
      # at a fraction of the speed.
      fuzz_variant_ops) extra=(-max_len=1024) ;;
      # Leaks are looked for at exit only: a check after each new input scans
      # the interpreter's whole heap and takes most of the time. Inputs
      # describe trees; 2 KiB of them reach the generator's node limit.
      fuzz_codec_dumps) extra=(-dict=fuzz/codec_tree.dict -max_len=2048 -detect_leaks=0) ;;
      fuzz_codec_*) extra=(-dict=fuzz/qel.dict -detect_leaks=0) ;;
      *) extra=(-dict=fuzz/qel.dict) ;;
    esac
    log "$t: ${limit[*]} (executions recorded before: $(executed "$t"))"
    local start=$SECONDS
    "$bin" "$corpus" "$fuzz_build/seeds/$t" "${limit[@]}" "${extra[@]}" -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$findings/$t-" >"$out/$t.log" 2>&1 &
    fuzzer_pid=$!
    wait "$fuzzer_pid"
    status=$?
    # `wait` returns early when the harness is interrupted; the fuzzer is then
    # stopping and still has its figures to print.
    while kill -0 "$fuzzer_pid" 2>/dev/null; do wait "$fuzzer_pid"; status=$?; done
    fuzzer_pid=
    # The last status line carries coverage (cov), features (ft) and corpus
    # size; a fuzzer that was killed without its final figures counts the
    # executions of that line.
    local last runs
    last=$(grep -E '^#[0-9]+' "$out/$t.log" | tail -n 1)
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$t.log" | tail -n 1)
    [[ -n $runs ]] || runs=$(sed -E -n 's/^#([0-9]+).*/\1/p' <<<"$last")
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(date -u +%FT%TZ)" "$mode" "${runs:-0}" "$((SECONDS - start))" \
      "$(sed -E -n 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")" "$(sed -E -n 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")" \
      "$(ls "$corpus" | wc -l)" "$status" >>"$(ledger "$t")"
    echo "$last"
    grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$out/$t.log"
    echo "seconds: $((SECONDS - start)), corpus files: $(ls "$corpus" | wc -l), executions recorded: $(executed "$t")"
    if ((status != 0 && interrupted == 0)); then
      grep -E -A30 'ERROR|invariant failed|failed$|Finding' "$out/$t.log" | head -n 60
      ls -1 "$findings" | grep "^$t-" || true
    fi
    ((interrupted == 0)) || status=130
    record "$t ($mode)" $status
  done
}

# --- C++ tests under ASan + UBSan --------------------------------------------
run_sanitized_cpp() {
  log "C++ tests, gcc with AddressSanitizer + UBSan"
  local b=$out/asan
  cmake -S . -B "$b" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQEL_SANITIZE=ON \
    -DQEL_BUILD_TESTS=ON -DQEL_BUILD_MODULE=OFF >/dev/null &&
    cmake --build "$b" $jobs >/dev/null &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --test-dir "$b" --output-on-failure -j2 | grep -v -E '^ *(Start|[0-9]+/[0-9]+ Test) '
  record "C++ tests, ASan + UBSan" $?
}

# --- C++ tests under valgrind ----------------------------------------------------
run_valgrind() {
  log "C++ tests under valgrind memcheck"
  local b=${QEL_PLAIN_BUILD:-$out/plain}
  if [[ -z ${QEL_PLAIN_BUILD:-} ]]; then
    cmake -S . -B "$b" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_TESTS=ON \
      -DQEL_BUILD_MODULE=OFF >/dev/null && cmake --build "$b" $jobs >/dev/null || { record valgrind 1; return; }
  fi
  # A million nested levels take minutes under valgrind, and the shallower
  # tests cover the same code. Valgrind owns the allocator, so the tests that
  # replace calloc or free to fail or trace allocations do not see their hook.
  local valgrind_skip='*MillionLevels*:*OutOfMemory*:Destroy.FreesRecordsInDepthFirstOrder'
  local status=0 exe
  for exe in qel_tests qelt_tests bridge_tests; do
    local path=$b/tests/$exe
    [[ -x $path ]] || { echo "missing $path"; status=1; continue; }
    valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
      --log-file="$out/valgrind-$exe.log" "$path" --gtest_filter="-$valgrind_skip" \
      --gtest_brief=1 >"$out/valgrind-$exe.out" 2>&1
    local s=$?
    echo "$exe: $(grep -E 'ERROR SUMMARY' "$out/valgrind-$exe.log" | sed 's/^==[0-9]*== //')" \
      "$(grep -E 'definitely lost|indirectly lost|All heap blocks' "$out/valgrind-$exe.log" |
           sed 's/^==[0-9]*== *//' | tr '\n' ' ')"
    if ((s != 0)); then
      status=1
      tail -n 30 "$out/valgrind-$exe.out"
      grep -E -B2 -A20 'Invalid|uninitialised|definitely lost in' "$out/valgrind-$exe.log" | head -n 80
    fi
  done
  record "C++ tests under valgrind" $status
}

# --- Python tests against a sanitizer build of the module ---------------------
run_sanitized_python() {
  log "Python tests against an ASan + UBSan build of the module"
  local py=${QEL_PYTHON:-python3} venv=$out/venv-asan
  [[ -x $venv/bin/python ]] || "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja pytest hypothesis &&
    rm -rf "$out/asan-wheelhouse" &&
    "$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$out/asan-wheelhouse" \
      -Ccmake.define.QEL_SANITIZE=ON -Ccmake.build-type=Debug -Cbuild-dir="$out/asan-wheel" . &&
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$out"/asan-wheelhouse/qeltypes-*.whl
  local status=$?
  if ((status == 0)); then
    # The interpreter is not instrumented, so the runtime must come first;
    # CPython's own allocations at exit are not the module's leaks. Objects
    # come from malloc, so that a read past one is seen, not lost inside the
    # interpreter's own arenas.
    (cd tests/python &&
      LD_PRELOAD=$(gcc -print-file-name=libasan.so) PYTHONMALLOC=malloc \
      ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$venv/bin/python" -m pytest -q -p no:cacheprovider . 2>&1 | tail -n 15
      exit "${PIPESTATUS[0]}")
    status=$?
  fi
  record "Python tests, ASan + UBSan module" $status
}

run_fuzzers
if [[ $mode != fuzz* && $interrupted == 0 ]]; then
  run_sanitized_cpp
  run_valgrind
  run_sanitized_python
fi

log "reliability summary ($mode)"
printf '%s\n' "${results[@]}"
exit $failed
