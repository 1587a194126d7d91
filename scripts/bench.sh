#!/usr/bin/env bash
# Runs every benchmark of a benchmark build, prints one table and writes docs/performance.md.
set -euo pipefail
build=${1:-build-bench}
out=docs/performance.md
mkdir -p docs
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT

for exe in "$build"/bench/*_bench; do
  [[ -x "$exe" ]] || continue
  "$exe" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
         --benchmark_format=json > "$tmp/$(basename "$exe").json"
done

python3 - "$tmp" "$out" <<'PY'
import json, os, platform, subprocess, sys, datetime
folder, out = sys.argv[1], sys.argv[2]
rows = []
for name in sorted(os.listdir(folder)):
    data = json.load(open(os.path.join(folder, name)))
    for b in data["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        unit = b.get("time_unit", "ns")
        rows.append((b["run_name"], f'{b["real_time"]:.3f} {unit}',
                     f'{b.get("bytes_per_second", 0) / 1e6:.1f} MB/s' if b.get("bytes_per_second") else ""))
cpu = subprocess.run(["sh", "-c", "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"],
                     capture_output=True, text=True).stdout.strip()
lines = [f"# Performance", "",
         f"Measured {datetime.date.today()} on {cpu} ({os.cpu_count()} cores), {platform.platform()}.",
         "Each figure is the median of 5 runs.", "",
         "| Benchmark | Median | Throughput |", "|---|---|---|"]
lines += [f"| {a} | {b} | {c} |" for a, b, c in rows]
open(out, "w").write("\n".join(lines) + "\n")
print("\n".join(lines))
PY
echo "written: $out"
