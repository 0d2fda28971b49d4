#!/usr/bin/env bash
# Usage: scripts/soak.sh [chaos_soak options: --seed N, --calls N]
# Builds the release configuration's trelvo-mcp, trelvo-demo-core and
# chaos_soak, then runs the chaos soak: at least 5,000 mixed calls through
# trelvo-mcp against the demo core's chaos mode (a fixed seed), every response
# checked against the faults the core logged. Takes a minute or two; fails
# with the first wrong response, or past three minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target trelvo-mcp trelvo-demo-core chaos_soak
build/release/soak/chaos_soak "$@"
