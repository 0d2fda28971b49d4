#!/usr/bin/env bash
# Checks the README's host entries with a host's own command-line tool: Claude
# Code's `claude mcp get` starts the registered server and reports whether it
# connected. Claude Code (about 400 MB) goes into build/host-tools, pinned here,
# not into package.json, so the default test run does not download it.
set -euo pipefail
cd "$(dirname "$0")/.."
claude_code_version=2.1.332

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target trelvo-mcp trelvo-demo-core

tools=build/host-tools
if [ "$("$tools/node_modules/.bin/claude" --version 2>/dev/null)" != "$claude_code_version (Claude Code)" ]; then
  # Its install script puts the platform's native binary in place of its bin.
  npm install --prefix "$tools" --no-save --no-audit --no-fund --loglevel=error \
    "@anthropic-ai/claude-code@$claude_code_version"
fi

CLAUDE_BIN="$PWD/$tools/node_modules/.bin/claude" \
  TRELVO_MCP_BIN="$PWD/build/release/trelvo-mcp" TRELVO_DEMO_CORE_BIN="$PWD/build/release/trelvo-demo-core" \
  node --test tests/hosts/
