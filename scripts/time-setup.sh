#!/usr/bin/env bash
# Usage: scripts/time-setup.sh [--fresh] [--loaded]
# Times the README's two set-up commands, scripts/demo.sh then scripts/test.sh,
# in a fresh clone of this checkout's last commit: no build folders and no
# node_modules, so the npm packages are downloaded as on a fresh machine.
#   --fresh   first removes (as root) the Debian packages that scripts/demo.sh
#             and scripts/test.sh install and a fresh machine lacks, and
#             empties apt's cache, so that their download and installation
#             count too
#   --loaded  runs six CPU-bound processes beside them the whole time
# Prints a row for bench/setup-times.md.
set -euo pipefail
cd "$(dirname "$0")/.."
fresh=no
load=quiet
for arg in "$@"; do
  case $arg in
    --fresh) fresh=yes ;;
    --loaded) load="stress-ng --cpu 6" ;;
    *) echo "usage: scripts/time-setup.sh [--fresh] [--loaded]" >&2; exit 2 ;;
  esac
done
if [ "$load" != quiet ] && ! command -v stress-ng >/dev/null; then
  echo "time-setup: --loaded needs stress-ng (apt-get install stress-ng)" >&2
  exit 2
fi
if [ $fresh = yes ]; then
  DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq ninja-build nlohmann-json3-dev clang \
    libclang-rt-14-dev libc++-dev libc++abi-dev g++-aarch64-linux-gnu qemu-user >/dev/null
  apt-get clean
fi
clone=$(mktemp -d /tmp/trelvo-setup-XXXXXX)
hogs=
trap '[ -n "$hogs" ] && kill "$hogs" 2>/dev/null; rm -rf "$clone"' EXIT
git clone -q . "$clone"
commit=$(git rev-parse --short HEAD)
cd "$clone"
if [ "$load" != quiet ]; then
  stress-ng --cpu 6 --quiet &
  hogs=$!
fi
minutes() { printf '%d min %02d s' $(($1 / 60)) $(($1 % 60)); }
start=$(date +%s)
scripts/demo.sh >demo.log 2>&1
demo=$(($(date +%s) - start))
start=$(date +%s)
scripts/test.sh >test.log 2>&1 || true
tests=$(($(date +%s) - start))
packages=$([ $fresh = yes ] && echo "downloaded" || echo "installed")
echo "| $(date -u +%F) | $commit | $(nproc) cores | $load | Debian packages $packages | $(minutes $demo) | $(minutes $tests) | $(tail -1 test.log) |"
