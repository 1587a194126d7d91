#!/usr/bin/env python3
"""Writes docs/performance.md from the results scripts/bench.sh collected, and prints its table.

usage: bench_report.py RESULTS-FOLDER OUT.md
"""
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys

folder, out = sys.argv[1], sys.argv[2]


def sh(command):
    return subprocess.run(["sh", "-c", command], capture_output=True, text=True).stdout.strip()


micro = {}
for name in sorted(os.listdir(folder)):
    if name.endswith(".json"):
        for b in json.load(open(os.path.join(folder, name)))["benchmarks"]:
            if b.get("aggregate_name") == "median":
                micro[b["run_name"]] = b


def micro_ms(run):
    b = micro[run]
    return b["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1, "s": 1e3}[b.get("time_unit", "ns")]


c = json.load(open(os.path.join(folder, "companion.result")))
idle = c["idle"]
median = statistics.median


def figure(scenario, key):
    return median(run[key] for run in idle[scenario])


def quiet_runs(scenario):
    """The runs whose memory was taken with no other WebKit process on the machine; all of them
    when there is none."""
    runs = [run for run in idle[scenario] if not run["otherWebKitProcesses"]]
    return runs or idle[scenario]


def memory(scenario, key):
    return median(run[key] for run in quiet_runs(scenario))


def memory_note(scenario):
    quiet, runs = quiet_runs(scenario), idle[scenario]
    if quiet is runs:
        return " (not quiet: other WebKit processes ran at every sample)"
    if len(quiet) < len(runs):
        return f" ({len(quiet)} of {len(runs)} samples: the others had other WebKit processes beside them)"
    return ""


def part(scenario, process, key):
    """Median over the runs of one process's figure (the UI process is the one that is not WebKit's)."""
    values = []
    for run in idle[scenario]:
        found = [p for name, p in run["processes"].items()
                 if (process == "ui" and not name.startswith(("WebKit", "reaped")))
                 or name.startswith(process)]
        values.append(sum(p.get(key, 0) for p in found))
    return median(values)


def ratio(value, anchor):
    return f"{value / anchor:.2f} ×" if anchor > 0 else "—"


anchor_cpu = figure("anchor", "cpuPercent")
anchor_private = memory("anchor", "privateMB")
anchor_pss = memory("anchor", "pssMB")
anchor_loaded = median(run["loadedMs"] for run in idle["anchor"] if "loadedMs" in run)
startup = median(c["startToFirstDiaryMs"])
noisy = sorted({p for runs in idle.values() for run in runs for p in run["otherWebKitProcesses"]})

rows = [  # figure, target, value, anchor, ratio, passed, runs
    ("start to first diary shown in the page (process start → first `quilloSetDiary` handled; "
     "anchor: process start → page loaded)", "≤ 800 ms", f"{startup:.0f} ms", f"{anchor_loaded:.0f} ms",
     ratio(startup, anchor_loaded), startup <= 800, len(c["startToFirstDiaryMs"]))]
for scenario, text, limit in (
        ("wandering", "collapsed and wandering", 0.5),
        ("reducedMotion", "collapsed, reduced motion (`gtk-enable-animations=0`)", 0.2),
        ("expanded", "expanded and untouched", 0.3)):
    value = figure(scenario, "cpuPercent")
    rows.append((f"idle CPU, {text}, companion plus its processes, over {c['idleSeconds']} s",
                 f"≤ {limit} % of one core", f"{value:.2f} %", f"{anchor_cpu:.2f} %",
                 ratio(value, anchor_cpu), value <= limit, len(idle[scenario])))
private = memory("wandering", "privateMB")
pss = memory("wandering", "pssMB")
set_up_private = memory("anchorProcessSetUp", "privateMB")
set_up_pss = memory("anchorProcessSetUp", "pssMB")
note = memory_note("wandering") + memory_note("anchor")
rows += [
    ("private memory (Private_Clean + Private_Dirty of the companion and its processes), collapsed "
     "and wandering, after the idle run" + note, "≤ the anchor", f"{private:.1f} MB",
     f"{anchor_private:.1f} MB", ratio(private, anchor_private), private <= anchor_private,
     len(quiet_runs("wandering"))),
    ("PSS of the same processes, beside it" + note, "—", f"{pss:.1f} MB",
     f"{anchor_pss:.1f} MB", ratio(pss, anchor_pss), None, len(quiet_runs("wandering"))),
    ("the same private memory against the anchor started as the companion starts its processes "
     "(no GL in the UI process, no JIT in the web process): what the companion adds to WebKit as "
     "it runs it" + memory_note("anchorProcessSetUp"), "—", f"{private:.1f} MB",
     f"{set_up_private:.1f} MB (PSS {set_up_pss:.1f} MB)", ratio(private, set_up_private), None,
     len(quiet_runs("wandering"))),
    ("diary file written → page updated (real page, real folder watches)", "≤ 250 ms",
     f"{median(c['writeToPageMs']):.0f} ms", "—", "—", median(c["writeToPageMs"]) <= 250,
     len(c["writeToPageMs"])),
    ("main-loop stall while an upload waits 15 s on a silent server (anchor: the same timer in a "
     "bare GLib loop)", "≤ 10 ms", f"{median(c['stallMs']):.1f} ms",
     f"{median(c['bareLoopGapMs']):.1f} ms", ratio(median(c["stallMs"]), median(c["bareLoopGapMs"])),
     median(c["stallMs"]) <= 10, len(c["stallMs"])),
]
if "BM_AggregateTwoSources/1048576" in micro:
    v = micro_ms("BM_AggregateTwoSources/1048576")
    rows.append(("aggregation of a 1 MB diary", "≤ 20 ms", f"{v:.2f} ms", "—", "—", v <= 20, 5))
if "BM_UnchangedDiaryTick" in micro:
    v = micro_ms("BM_UnchangedDiaryTick") * 1000
    rows.append(("one unchanged poll (two 10 KB diaries)", "≤ 50 µs", f"{v:.1f} µs", "—", "—",
                 v <= 50, 5))


def listed(runs, key, digits):
    return ", ".join(f"{run.get(key, 0):.{digits}f}" for run in runs)


def result(passed):
    return "—" if passed is None else "pass" if passed else "**miss**"


table = ["| Figure | Target | Median | Anchor | Ratio | Runs | Result |",
         "|---|---|---|---|---|---|---|"]
table += [f"| {f} | {t} | {v} | {a} | {r} | {n} | {result(ok)} |" for f, t, v, a, r, ok, n in rows]

awake = ["| Set-up | CPU % of one core | wake-ups a minute: UI process | of them WebKit's display "
         "refresh monitor | web process | wander steps a minute | X window moves per step | "
         "web view draws per step |",
         "|---|---|---|---|---|---|---|---|"]
for scenario, text in (("anchor", "anchor (bare WebKitGTK window, static page)"),
                       ("anchorProcessSetUp", "anchor, companion's process set-up"),
                       ("wandering", "collapsed, wandering"),
                       ("reducedMotion", "collapsed, reduced motion"),
                       ("expanded", "expanded, untouched")):
    runs = idle[scenario]
    walks = sum(run.get("walks", 0) for run in runs)
    per_step = (lambda key: f"{sum(run.get(key, 0) for run in runs) / walks:.1f}") if walks else (
        lambda key: "no steps")
    minutes = sum(run["seconds"] for run in runs) / 60
    awake.append(f"| {text} | {figure(scenario, 'cpuPercent'):.2f} | "
                 f"{part(scenario, 'ui', 'wakeupsPerMinute'):.0f} | "
                 f"{figure(scenario, 'vblankWakeupsPerMinute'):.0f} | "
                 f"{part(scenario, 'WebKitWebProces', 'wakeupsPerMinute'):.0f} | "
                 f"{walks / minutes:.1f} | "
                 f"{'—' if scenario.startswith('anchor') else per_step('moves')} | "
                 f"{'—' if scenario.startswith('anchor') else per_step('draws')} |")

cpu = sh("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2").strip()
webkit = sh("pkg-config --modversion webkit2gtk-4.1")
load = lambda key: " / ".join(f"{x:.2f}" for x in c[key])
quiet = ("Every memory figure was taken with no other WebKit process on the machine."
         if not noisy else
         "Not every memory sample was taken on a quiet machine: other WebKit processes ran beside "
         f"some ({', '.join(noisy[:6])}{' …' if len(noisy) > 6 else ''}). They share WebKit's "
         "pages, which lowers PSS and moves pages out of the private part, so the memory figures "
         "are the medians of the quiet samples only, and say so where some were left out.")
lines = ["# Performance", "",
         f"Measured {datetime.datetime.now():%Y-%m-%d %H:%M} on {cpu} ({os.cpu_count()} cores), "
         f"Linux {platform.release()}, WebKitGTK {webkit}, under Xvfb 1600×900×24 without a "
         f"compositor. Load average (1, 5, 15 min) {load('loadBefore')} before and "
         f"{load('loadAfter')} after the whole-companion runs: the machine is shared, and other "
         "work running at the same time makes the times longer.", "", quiet, "",
         "Each figure is the median of its runs. The anchor is `bench/webkit_anchor`: a bare "
         "WebKitGTK program (one undecorated 64 × 64 RGBA window, a web view with the companion's "
         "WebKit settings from the same `WebKitProfile`, a static one-element page), measured in "
         "the same desktop session in turns with the companion; a second run of it also starts "
         "its processes as the companion does.", ""] + table + [
         "", "## What stays awake", "",
         f"Medians over the runs, {c['idleSeconds']} s each after {c['settleSeconds']} s of "
         "settling. Wake-ups are context switches of every thread (the display refresh monitor is "
         "WebKit's `VBlankMonitor` thread, which ticks while the page animates); wander steps are the calls of "
         "the page's `quilloWalk`; moves are configure events with a new window position; draws "
         "are draws of the web view in the UI process.", ""] + awake + [
         "", "## How each figure is taken", "",
         "- **Start to first diary**: `bench/companion_harness` starts the companion exactly as the "
         "executable does (the GTK application, the controller on the GTK platform, the tray item) "
         "and adds one user script that wraps the page's `window.quilloSetDiary` and "
         "`window.quilloWalk`: after the page's own function has returned, it posts to a message "
         "handler of the harness. The time is taken when the first diary arrives, from the "
         "process's start time in `/proc/self/stat` (10 ms resolution). The anchor prints the same "
         "measure when its page has loaded.",
         "- **Diary file written → page updated**: the same harness writes today's file ten times "
         "and times each write until the page has handled the new diary; 100 ms of it is the "
         "deliberate coalescing of the several steps an editor writes a file in.",
         "- **Main-loop stall**: the harness connects with a made-up token while `QUILLO_API_URL` "
         "points at `quillo-review-server --stall`, and records the largest gap between ticks of a "
         "1 ms main-loop timer until the 15 s time limit ends the upload. After each run the same "
         "timer runs for 15 s in a bare GLib main loop: the gaps the loaded machine causes by "
         "itself.",
         "- **Idle CPU, wake-ups, memory**: rounds of the anchor, the companion collapsed and "
         "wandering, collapsed with reduced motion (a GTK `settings.ini` with "
         "`gtk-enable-animations=0` in the run's `XDG_CONFIG_HOME`), and expanded (as the tray "
         "item expands it). CPU is `utime + stime` of the process and every process it started, "
         "including the summary reader (reaped children). Memory is `Private_Clean + Private_Dirty` "
         "and `Pss` of `/proc/PID/smaps_rollup`, summed, taken after the idle run once no WebKit "
         "process outside the run is left on the machine (waiting up to 3 minutes).",
         "- **Aggregation and the unchanged poll**: Google Benchmark, `bench/DiaryAggregatorBench.cpp` "
         "and `bench/DiaryPollBench.cpp`.", "",
         "## Idle runs by process", "",
         "| Set-up | Run | Process | CPU % of one core | wake-ups a minute | PSS MB | private MB |",
         "|---|---|---|---|---|---|---|"]
for scenario, runs in idle.items():
    for i, run in enumerate(runs, 1):
        for name, p in sorted(run["processes"].items()):
            lines.append(f"| {scenario} | {i} | {name} | {p['cpu']:.2f} | "
                         f"{p['wakeupsPerMinute']:.0f} | {p.get('pssMB', 0):.1f} | "
                         f"{p.get('privateMB', 0):.1f} |")
lines += ["", "## Every run", "",
          f"- start to first diary (ms): {', '.join(f'{x:.0f}' for x in c['startToFirstDiaryMs'])}",
          f"- anchor, start to page loaded (ms): {listed(idle['anchor'], 'loadedMs', 0)}",
          f"- write to page, median of ten writes (ms): "
          f"{', '.join(f'{x:.1f}' for x in c['writeToPageMs'])}",
          f"- upload stall (ms): {', '.join(f'{x:.1f}' for x in c['stallMs'])}",
          f"- largest gap of the same timer in a bare GLib loop (ms): "
          f"{', '.join(f'{x:.1f}' for x in c['bareLoopGapMs'])}"]
for scenario, runs in idle.items():
    others = ", ".join(str(len(run["otherWebKitProcesses"])) for run in runs)
    lines.append(f"- {scenario}: CPU (%) {listed(runs, 'cpuPercent', 2)}; private (MB) "
                 f"{listed(runs, 'privateMB', 1)}; PSS (MB) {listed(runs, 'pssMB', 1)}; other "
                 f"WebKit processes at the memory sample: {others}")
lines += ["", "## Micro-benchmarks (median of 5)", "", "| Benchmark | Median | Throughput |",
          "|---|---|---|"]
for name, b in micro.items():
    rate = f'{b["bytes_per_second"] / 1e6:.1f} MB/s' if b.get("bytes_per_second") else ""
    lines.append(f'| {name} | {b["real_time"]:.3f} {b.get("time_unit", "ns")} | {rate} |')
notes = "docs/performance-notes.md"
if os.path.exists(notes):
    lines += ["", open(notes).read().rstrip()]
open(out, "w").write("\n".join(lines) + "\n")
print("\n".join(table + [""] + awake))
