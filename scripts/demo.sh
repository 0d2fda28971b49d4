#!/usr/bin/env bash
# The demo: builds the server and the demo core, then runs a short MCP
# conversation through trelvo-mcp against the demo core and prints it.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== set-up: Debian and npm packages when missing, then a release build of trelvo-mcp and"
echo "   trelvo-demo-core (measured times in bench/setup-times.md; seconds once built)"
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target trelvo-mcp trelvo-demo-core
echo "== the conversation"
TRELVO_MCP_BIN=build/release/trelvo-mcp TRELVO_DEMO_CORE_BIN=build/release/trelvo-demo-core \
  node scripts/demo.mjs "$@"
