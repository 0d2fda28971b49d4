#!/usr/bin/env bash
# Builds the MCP Bundle a desktop host installs in one step:
# build/trelvo-mcp-<version>.mcpb, with the manifest in bundle/ validated and
# the archive packed by the official mcpb tool (pinned in package-lock.json).
# Its manifest names the system it is for (darwin, or linux where built on
# Linux).
#
# The server is built here every time, alone (no tests, no benchmarks) and
# without symbols, in a folder of its own. On macOS it is built for both
# architectures into one binary: the bundle says only "darwin", so it installs
# on every Mac and must run on each. Elsewhere it is this machine's.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -x node_modules/.bin/mcpb ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi

options=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DTRELVO_BUILD_TESTS=OFF -DTRELVO_BUILD_BENCH=OFF
         -DTRELVO_STRIP=ON)
if [ "$(uname -s)" = Darwin ]; then
  build=build/bundle-darwin
  options+=("-DCMAKE_OSX_ARCHITECTURES=arm64;x86_64")
else
  build=build/bundle-linux
  options+=(-DTRELVO_STATIC_RUNTIME=ON)
fi
cmake -S . -B "$build" "${options[@]}" >/dev/null
cmake --build "$build" --target trelvo-mcp
binary=$build/trelvo-mcp
if [ "$(uname -s)" = Darwin ] && ! lipo "$binary" -verify_arch arm64 x86_64; then
  echo "bundle: $binary is not built for both arm64 and x86_64" >&2
  exit 1
fi

stage=build/bundle-stage
rm -rf "$stage"
name=$(node bundle/stage.mjs "$binary" "$stage")
mcpb=$PWD/node_modules/.bin/mcpb
"$mcpb" validate "$stage/manifest.json"
# From inside the folder, so that the tool lists the bundle's files by their own names.
(cd "$stage" && "$mcpb" pack . "../$name")
echo "bundle: build/$name"
