#!/usr/bin/env bash
# Builds the MCP Bundle a desktop host installs in one step:
# build/trelvo-mcp-<version>-<os>-<arch>.mcpb, from the release build, with the
# manifest in bundle/ validated and the archive packed by the official mcpb tool
# (pinned in package-lock.json). <os> and <arch> are Node's names (linux,
# darwin; x64, arm64), the ones the manifest's platform list uses.
#
# On macOS the bundle holds a universal binary when a release build for the
# other architecture is at hand in build/release-<arch> (for example
# `cmake --preset release -B build/release-x86_64 -DCMAKE_OSX_ARCHITECTURES=x86_64`
# on an Apple silicon Mac, then `cmake --build build/release-x86_64 --target trelvo-mcp`);
# otherwise it holds this Mac's own.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -x node_modules/.bin/mcpb ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi

cmake --preset release >/dev/null
cmake --build --preset release --target trelvo-mcp

machine=$(uname -m)
case "$machine" in
  x86_64 | amd64) arch=x64 ;;
  aarch64 | arm64) arch=arm64 ;;
  *) echo "bundle: no bundle name for the architecture $machine" >&2; exit 1 ;;
esac

binary=build/release/trelvo-mcp
if [ "$(uname -s)" = Darwin ]; then
  if [ "$arch" = arm64 ]; then other=x86_64; else other=arm64; fi
  if [ -x "build/release-$other/trelvo-mcp" ]; then
    binary=build/bundle-universal/trelvo-mcp
    mkdir -p "$(dirname "$binary")"
    lipo -create build/release/trelvo-mcp "build/release-$other/trelvo-mcp" -output "$binary"
    arch=universal
  fi
fi

stage=build/bundle-stage
rm -rf "$stage"
name=$(node bundle/stage.mjs "$binary" "$stage" "$arch")
node_modules/.bin/mcpb validate "$stage/manifest.json"
node_modules/.bin/mcpb pack "$stage" "build/$name"
echo "bundle: build/$name"
