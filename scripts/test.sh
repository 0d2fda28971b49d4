#!/usr/bin/env bash
# Builds everything and runs every test: unit, integration (real binaries over
# real sockets; two of them wait out the real 10 s and 15 s limits), and the
# end-to-end tests with real MCP clients; then the unit and integration tests
# again under AddressSanitizer and UndefinedBehaviorSanitizer; then the release
# build that the demo uses, with a short run of the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset debug >/dev/null
cmake --build --preset debug
ctest --preset debug -j2

cmake --preset asan-ubsan >/dev/null
cmake --build --preset asan-ubsan
ctest --preset asan-ubsan -j2 -E 'e2e|Timers'

cmake --preset release >/dev/null
cmake --build --preset release
build/release/bench/benchmarks --benchmark_min_time=0.2
