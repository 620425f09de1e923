#!/usr/bin/env bash
# Installs what is missing, builds, runs every test and ends with "N passed, N failed":
#   1. the whole suite, as built by scripts/build.sh;
#   2. the whole suite again, built by clang with AddressSanitizer and UndefinedBehaviorSanitizer
#      and leak detection on, into build-sanitize/;
#   3. each fuzz harness for FUZZ_SECONDS (default 30) from its seed corpus; a finding fails it.
# The store tests run against SQLite and against a throw-away PostgreSQL cluster that ctest starts
# in a temporary folder (tests/support/pgcluster.sh) and always stops and removes.
# With --quick only the first stage runs.
set -uo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = "--quick" ] && quick=1
scripts/install-deps.sh || exit 1
scripts/build.sh || exit 1
export QT_QPA_PLATFORM=offscreen
# Should ctest itself be killed, its cluster goes all the same.
stop_clusters() {
  for b in build build-sanitize; do tests/support/pgcluster.sh stop "$b/pgcluster" >/dev/null 2>&1 || true; done
}
trap stop_clusters EXIT
passed=0
failed=0

# Runs ctest in a build folder and adds its counts to the totals.
run_suite() {
  local log
  log=$(mktemp)
  (cd "$1" && ctest --output-on-failure --timeout 300 -j 2) 2>&1 | tee "$log"
  local summary
  summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [ -z "$summary" ]; then
    failed=$((failed + 1))
    return
  fi
  local f t
  f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
  t=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
  passed=$((passed + t - f))
  failed=$((failed + f))
}

run_suite build

if [ $quick -eq 0 ]; then
  echo "== The suite under AddressSanitizer and UndefinedBehaviorSanitizer =="
  if CC=clang CXX=clang++ cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
       -DBREVORA_SANITIZE=ON >/dev/null && cmake --build build-sanitize -j "$(nproc)"; then
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
    run_suite build-sanitize

    echo "== Fuzzing, ${FUZZ_SECONDS:-30} s a harness =="
    for harness in build-sanitize/fuzz/fuzz_*; do
      name=${harness##*/fuzz_}
      corpus=$(mktemp -d)
      cp tests/fuzz/corpus/"$name"/* "$corpus"/
      log=$(mktemp)
      if "$harness" -max_total_time="${FUZZ_SECONDS:-30}" -max_len=4096 -timeout=20 \
           -artifact_prefix="build-sanitize/fuzz/$name-" "$corpus" >"$log" 2>&1; then
        passed=$((passed + 1))
        echo "fuzz $name: no finding, $(grep -oE 'exec/s: [0-9]+' "$log" | tail -n 1)"
      else
        failed=$((failed + 1))
        echo "fuzz $name: FINDING"
        tail -n 40 "$log"
      fi
      rm -rf "$corpus" "$log"
    done
  else
    failed=$((failed + 1))
    echo "the sanitizer build failed"
  fi
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
