#!/usr/bin/env bash
# Usage: scripts/test-under-load.sh [LANE ...]
# Runs scripts/test.sh (every lane, or the ones named) with six CPU-bound
# processes beside it for the whole run, as on a busy shared machine: a test's
# outcome may depend on the code, never on how fast the machine is. Prints how
# long the run took.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v stress-ng >/dev/null 2>&1; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq stress-ng >/dev/null
fi
stress-ng --cpu 6 --quiet &
hogs=$!
trap 'kill "$hogs" 2>/dev/null; wait "$hogs" 2>/dev/null || true' EXIT
start=$(date +%s)
status=0
scripts/test.sh "$@" || status=$?
echo "== scripts/test.sh took $(( ($(date +%s) - start) / 60 )) min $(( ($(date +%s) - start) % 60 )) s with stress-ng --cpu 6 beside it"
exit $status
