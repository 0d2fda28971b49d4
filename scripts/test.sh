#!/usr/bin/env bash
# Builds everything and runs every test: unit, integration (real binaries over
# real sockets; two of them wait out the real 10 s and 15 s limits), and the
# end-to-end tests with real MCP clients; then the unit and integration tests
# again under AddressSanitizer (leak check on) and UndefinedBehaviorSanitizer.
# Ends with one line counting the tests of both runs. Benchmarks are
# scripts/bench.sh; fuzzing scripts/fuzz.sh; the chaos soak scripts/soak.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

passed=0
failed=0
# Runs ctest for a preset and adds its counts to the totals.
run_tests() {
  local log
  log=$(mktemp)
  local status=0
  ctest --preset "$@" 2>&1 | tee "$log" || status=$?
  local counts
  counts=$(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p' "$log")
  rm -f "$log"
  if [[ -n $counts ]]; then
    read -r f total <<<"$counts"
    failed=$((failed + f))
    passed=$((passed + total - f))
  fi
  return $status
}

echo "== every test, twice: a debug build, then a sanitizer build (10-15 minutes on a fresh"
echo "   2-core machine, Debian and npm packages included)"
echo "== debug build"
cmake --preset debug >/dev/null
cmake --build --preset debug
status=0
run_tests debug -j2 || status=1

echo "== sanitizer build"
cmake --preset asan-ubsan >/dev/null
cmake --build --preset asan-ubsan
run_tests asan-ubsan -j2 -E 'e2e|Timers' || status=1

mkdir -p build
total=$((passed + failed))
if ((status == 0 && failed == 0)); then
  summary="PASS: all $total tests passed (debug and sanitizer builds)"
else
  summary="FAIL: $failed of $total tests failed (the log above names them)"
  status=1
fi
echo "$summary" | tee build/test-summary.txt
exit $status
