#!/usr/bin/env bash
# Installs what building, testing and the demo need, from Debian's archive and
# the npm registry. Does nothing when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ nlohmann-json3-dev
          libgtest-dev libgmock-dev libbenchmark-dev)
# With --mac-lanes, also what the test lanes that stand in for a Mac need:
# clang with libc++, and a 64-bit ARM cross-build run under emulation.
if [[ ${1:-} == --mac-lanes ]]; then
  packages+=(clang libc++-dev libc++abi-dev g++-aarch64-linux-gnu qemu-user)
fi
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The end-to-end tests drive the server with real MCP clients from npm.
if [ ! -d node_modules ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
