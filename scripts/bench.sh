#!/usr/bin/env bash
# Runs every benchmark of a benchmark build and the whole-companion measurements beside the bare
# WebKitGTK anchor (in a throwaway desktop session), prints the table of figures against their
# targets and writes docs/performance.md. About twenty minutes on a quiet machine (longer while
# other WebKit programs run: memory waits for them); QUILLO_BENCH_IDLE_SECONDS shortens the idle
# runs, QUILLO_BENCH_IDLE_RUNS and QUILLO_BENCH_QUIET_WAIT set their number and the wait.
# --render-only writes the table again from the results of the last run (kept in the build folder).
set -euo pipefail
build=${1:-build-bench}
out=docs/performance.md
mkdir -p docs
tmp=$build/bench-results
if [[ "${2:-}" != --render-only ]]; then
  rm -rf "$tmp" && mkdir -p "$tmp"
  for exe in "$build"/bench/*_bench; do
    [[ -x "$exe" ]] || continue
    echo "== $(basename "$exe")" >&2
    "$exe" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
           --benchmark_format=json > "$tmp/$(basename "$exe").json"
  done
  echo "== the whole companion and the anchor" >&2
  tests/with-desktop-session.sh python3 scripts/bench_companion.py "$build" "$tmp/companion.result" \
    2> "$tmp/session.log" || { cat "$tmp/session.log" >&2; exit 1; }
fi

python3 scripts/bench_report.py "$tmp" "$out"
echo "written: $out"
