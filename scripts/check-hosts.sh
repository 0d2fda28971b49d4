#!/usr/bin/env bash
# Checks the README's host entries with real hosts: Claude Code's `claude mcp
# get` starts the registered server and reports whether it connected; the Codex
# CLI's app server and the MCP Inspector's command-line mode list the tools and
# call them against a demo core. Claude Code and Codex (about 400 MB each) go
# into build/host-tools, pinned here, not into package.json, so the default
# test run does not download them; the Inspector is package.json's own.
set -euo pipefail
cd "$(dirname "$0")/.."
claude_code_version=2.1.332
codex_version=0.171.0
inspector_version=0.15.0

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target trelvo-mcp trelvo-demo-core

tools=build/host-tools
if [ "$("$tools/node_modules/.bin/claude" --version 2>/dev/null)" != "$claude_code_version (Claude Code)" ] ||
   [ "$("$tools/node_modules/.bin/codex" --version 2>/dev/null)" != "codex-cli $codex_version" ]; then
  # Both in one install: an install of one alone would drop the other, which
  # no package.json keeps. Their install scripts and optional dependencies put
  # each platform's native binary in place.
  npm install --prefix "$tools" --no-save --no-audit --no-fund --loglevel=error \
    "@anthropic-ai/claude-code@$claude_code_version" "@openai/codex@$codex_version"
fi

# The Inspector comes from package.json; a change there must be checked here too.
inspector=node_modules/@modelcontextprotocol/inspector
installed=$(node -p "require('./$inspector/package.json').version")
if [ "$installed" != "$inspector_version" ]; then
  echo "check-hosts.sh: the MCP Inspector installed is $installed, this check is for $inspector_version" >&2
  exit 1
fi

# The Inspector's check is one of the end-to-end tests too, run by scripts/test.sh.
CLAUDE_BIN="$PWD/$tools/node_modules/.bin/claude" CODEX_BIN="$PWD/$tools/node_modules/.bin/codex" \
  TRELVO_MCP_BIN="$PWD/build/release/trelvo-mcp" TRELVO_DEMO_CORE_BIN="$PWD/build/release/trelvo-demo-core" \
  node --test tests/hosts/ tests/e2e/inspector.test.mjs
