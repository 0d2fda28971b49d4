#!/usr/bin/env bash
# Usage: scripts/test.sh [LANE ...]   (default: every lane, in this order)
#
# Builds and runs every test, in four lanes:
#   debug       g++ and libstdc++: unit, integration (real binaries over real
#               sockets; one of them, UpstreamRealTimeTest, waits out the real
#               10 s line-read limit) and the end-to-end tests with real MCP
#               clients, which then run once more with a TMPDIR as long as a
#               Mac's (48 characters), where every socket must still fit;
#   sanitizers  unit and integration again under AddressSanitizer (leak check
#               on) and UndefinedBehaviorSanitizer, the real-time one left out;
#   clang       clang and libc++, as on a Mac, with every refused connect
#               read as macOS reads it (TRELVO_REFUSALS_AS_MACOS): unit and
#               integration, then one scripted MCP session answered byte for
#               byte as the debug lane's programs answer it;
#   aarch64     64-bit ARM with signed char, as on Apple Silicon: a cross-build
#               run under qemu user emulation, the unit tests and the same
#               scripted session.
# Ends with one line counting the tests of every lane, "PASS: N passed, 0 failed"
# or "FAIL: N passed, M failed". Benchmarks are
# scripts/bench.sh; fuzzing scripts/fuzz.sh; the chaos soak scripts/soak.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
lanes=("$@")
((${#lanes[@]})) || lanes=(debug sanitizers clang aarch64)
scripts/install-deps.sh --mac-lanes

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

# Runs one command as one test.
run_check() {
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    return 1
  fi
}

# The end-to-end tests with a TMPDIR of a Mac's length: no test may put a
# socket where its path would pass the 103 bytes a Mac allows.
e2e_with_long_tmpdir() {
  local dir=/tmp/trelvo-mac-like-tmpdir-xxxxxxxxxxxxxxxxxxxx
  mkdir -p "$dir"
  TMPDIR=$dir TRELVO_MCP_BIN=build/debug/trelvo-mcp TRELVO_DEMO_CORE_BIN=build/debug/trelvo-demo-core \
    node --test tests/e2e/
}

# The programs every other build's answers are compared with.
build_reference() {
  cmake --preset debug >/dev/null
  cmake --build --preset debug --target trelvo-mcp trelvo-demo-core
}

echo "== lanes: ${lanes[*]} (measured times in bench/setup-times.md; each lane can be"
echo "   run alone: scripts/test.sh LANE)"
status=0
for lane in "${lanes[@]}"; do
  echo "== $lane"
  case $lane in
    debug)
      cmake --preset debug >/dev/null
      cmake --build --preset debug
      run_tests debug -j2 || status=1
      run_check e2e_with_long_tmpdir || status=1
      ;;
    sanitizers)
      cmake --preset asan-ubsan >/dev/null
      cmake --build --preset asan-ubsan
      run_tests asan-ubsan -j2 -E 'e2e|RealTime' || status=1
      ;;
    clang)
      cmake --preset clang-libcxx >/dev/null
      cmake --build --preset clang-libcxx
      run_tests clang-libcxx -j2 -E 'e2e' || status=1
      build_reference
      run_check node scripts/same-answers.mjs --reference build/debug \
        --candidate build/clang-libcxx || status=1
      ;;
    aarch64)
      cmake --preset aarch64 >/dev/null
      cmake --build --preset aarch64
      run_tests aarch64 -j2 || status=1
      build_reference
      run_check node scripts/same-answers.mjs --reference build/debug \
        --candidate build/aarch64 --emulator qemu-aarch64 || status=1
      ;;
    *)
      echo "unknown lane: $lane (debug, sanitizers, clang, aarch64)" >&2
      exit 2
      ;;
  esac
done

mkdir -p build
if ((status == 0 && failed == 0)); then
  verdict=PASS
else
  verdict=FAIL
  status=1
fi
echo "== lanes run: ${lanes[*]}"
echo "$verdict: $passed passed, $failed failed" | tee build/test-summary.txt
exit $status
