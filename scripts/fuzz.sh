#!/usr/bin/env bash
# Usage: scripts/fuzz.sh [SECONDS]   (default 60)
# Builds the libFuzzer harnesses (the "fuzz" preset: clang, with clang and
# libclang-rt-14-dev installed beforehand) and runs every harness found in
# build/fuzz/fuzz/ for SECONDS, each on a scratch copy of its seed corpus
# fuzz/corpus/<name>/ when there is one, so the corpus in the repository never
# grows. Any crash, leak, sanitizer report or input slower than 20 s fails the
# run; the input and the log stay in build/fuzz/findings/<name>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz  # the library and the harnesses alone

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
findings=build/fuzz/findings
rm -rf "$findings"
report=()
failed=()
for target in build/fuzz/fuzz/*; do
  [[ -f $target && -x $target ]] || continue
  name=$(basename "$target")
  corpus=$scratch/$name
  mkdir -p "$corpus" "$findings/$name"
  if [[ -d fuzz/corpus/$name ]]; then cp -R "fuzz/corpus/$name/." "$corpus/"; fi
  log=$findings/$name/log.txt
  echo "fuzzing $name for $seconds s"
  if "$target" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
      -artifact_prefix="$findings/$name/" "$corpus" >"$log" 2>&1; then
    outcome=ok
  else
    outcome=FAILED
    failed+=("$name")
    tail -n 80 "$log"
  fi
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  report+=("$(printf '%-24s %12s executions in %s s  %s' "$name" "${executions:-?}" "$seconds" \
    "$outcome")")
done

((${#report[@]})) || { echo "no fuzz targets in build/fuzz/fuzz/"; exit 1; }
printf '%s\n' "${report[@]}"
if ((${#failed[@]})); then
  echo "fuzzing found faults in: ${failed[*]} (inputs and logs in $findings/)"
  exit 1
fi
