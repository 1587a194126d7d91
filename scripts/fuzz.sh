#!/usr/bin/env bash
# Runs each fuzzer of a fuzz build for a set time on its committed corpus (plus what it finds).
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-60}
status=0
for exe in "$build"/fuzz/*_fuzzer; do
  [[ -x "$exe" ]] || continue
  name=$(basename "$exe" _fuzzer)
  seeds="fuzz/corpus/$name"
  dict=()
  [[ -f fuzz/$name.dict ]] && dict=(-dict="fuzz/$name.dict")
  work=$(mktemp -d)
  echo "== $name: ${seconds}s"
  "$exe" -max_total_time="$seconds" -print_final_stats=1 "${dict[@]}" "$work" \
    ${seeds:+$( [[ -d $seeds ]] && echo "$seeds")} || status=1
  rm -rf "$work"
done
exit $status
