#!/usr/bin/env bash
# The demo: builds the server and the demo core, then runs a short MCP
# conversation through trelvo-mcp against the demo core and prints it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
TRELVO_MCP_BIN=build/release/trelvo-mcp TRELVO_DEMO_CORE_BIN=build/release/trelvo-demo-core \
  node scripts/demo.mjs "$@"
