#!/usr/bin/env bash
# Builds the release configuration and runs the end-to-end benchmark: the
# server against a canned core, each figure next to its floor. Prints the
# table and writes it as JSON (to the path given, or build/release/bench/e2e.json).
# Run it on a quiet machine: other work on the cores shows up in the figures.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release >/dev/null
cmake --build --preset release

json="${1:-build/release/bench/e2e.json}"
build/release/bench/e2e_bench "$json"
echo "bench: table written to $json"
