#!/usr/bin/env python3
"""The whole-companion figures: run inside tests/with-desktop-session.sh by scripts/bench.sh.

usage: bench_companion.py BUILD OUT.json

- start to first diary shown and diary file written to page updated: bench/companion_harness
  (the companion started as the executable starts it, the page's quilloSetDiary wrapped by a
  user script that reports each handled diary), one fresh process per run;
- main-loop stall while an upload waits on a server that never answers: the harness again,
  against tools/quillo-review-server --stall;
- idle CPU and PSS: the real executable, collapsed and wandering, plus every process it started
  (the WebKit network and web processes, and the summary reader it runs once a minute).
"""
import datetime
import json
import os
import statistics
import subprocess
import sys
import time

BUILD, OUT = sys.argv[1], sys.argv[2]
STARTUP_RUNS = int(os.environ.get("QUILLO_BENCH_STARTUP_RUNS", 5))
STALL_RUNS = int(os.environ.get("QUILLO_BENCH_STALL_RUNS", 3))
IDLE_RUNS = int(os.environ.get("QUILLO_BENCH_IDLE_RUNS", 3))
SETTLE_S = 5
IDLE_S = int(os.environ.get("QUILLO_BENCH_IDLE_SECONDS", 60))
HARNESS = os.path.join(BUILD, "bench", "companion_harness")
COMPANION = os.path.join(BUILD, "src", "app", "quillo-companion")
SERVER = os.path.join(BUILD, "tools", "quillo-review-server")
TICK = os.sysconf("SC_CLK_TCK")


def today_file(folder):
    day = datetime.date.today().isoformat()
    path = os.path.join(os.environ["HOME"], "Documents", "Quillo", folder, "daily", day[:4])
    os.makedirs(path, exist_ok=True)
    return os.path.join(path, day + ".md")


def write_diaries():
    """About 4 KB for each source, in the shape the agents write."""
    for folder, flavour in (("kiln", "烧窑"), ("tansy-work", "周报")):
        work = "".join(f"- 第{i}件事：{flavour}，整理了同步的日志，补上了测试。\n" for i in range(40))
        learning = "".join(f"- 学到第{i}点：文件监视要看最近存在的上级文件夹。\n" for i in range(30))
        with open(today_file(folder), "w") as f:
            f.write(f"# 日记\n\n## 今天做了什么\n\n{work}\n## 今天学到了什么\n\n{learning}")


def harness(*args, env=None):
    out = subprocess.run([HARNESS, *args], capture_output=True, text=True, timeout=120, env=env)
    lines = [line for line in out.stdout.splitlines() if line.startswith("{")]
    if not lines:
        raise SystemExit(f"companion_harness {' '.join(args)} printed no result:\n{out.stderr}")
    return json.loads(lines[-1])


def stall_run():
    server = subprocess.Popen([SERVER, "--port", "0", "--stall", "--quiet"],
                              stdout=subprocess.PIPE, text=True)
    try:
        url = server.stdout.readline().strip().removeprefix("listening on ")
        return harness("stall", env=dict(os.environ, QUILLO_API_URL=url))
    finally:
        server.terminate()
        server.wait()


def descendants(root):
    children = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                stat = open(f"/proc/{name}/stat").read()
            except OSError:
                continue
            children.setdefault(int(stat[stat.rfind(")") + 2:].split()[1]), []).append(int(name))
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo += children.get(pid, [])
    return found


def cpu_ticks(pid):
    """utime + stime, and cutime + cstime: what the process and its reaped children used."""
    try:
        stat = open(f"/proc/{pid}/stat").read()
    except OSError:
        return 0, 0
    fields = stat[stat.rfind(")") + 2:].split()
    return int(fields[11]) + int(fields[12]), int(fields[13]) + int(fields[14])


def memory_kb(pid):
    """Pss, and the private part of it (Private_Clean + Private_Dirty), from smaps_rollup."""
    found = {"Pss": 0, "Private": 0}
    try:
        for line in open(f"/proc/{pid}/smaps_rollup"):
            key, _, rest = line.partition(":")
            if key == "Pss":
                found["Pss"] = int(rest.split()[0])
            elif key in ("Private_Clean", "Private_Dirty"):
                found["Private"] += int(rest.split()[0])
    except OSError:
        pass
    return found


def name_of(pid):
    try:
        return open(f"/proc/{pid}/comm").read().strip()
    except OSError:
        return "?"


def idle_run():
    companion = subprocess.Popen([COMPANION], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(SETTLE_S)
        before = {pid: cpu_ticks(pid) for pid in descendants(companion.pid)}
        start = time.monotonic()
        time.sleep(IDLE_S)
        elapsed = time.monotonic() - start
        parts = {}
        for pid in descendants(companion.pid):
            own, reaped = cpu_ticks(pid)
            own0, reaped0 = before.get(pid, (0, 0))
            name = name_of(pid)
            part = parts.setdefault(name, {"cpu": 0.0, "pss": 0.0, "private": 0.0})
            part["cpu"] += 100 * (own - own0) / TICK / elapsed
            memory = memory_kb(pid)
            part["pss"] += memory["Pss"] / 1024
            part["private"] += memory["Private"] / 1024
            if reaped > reaped0:
                other = parts.setdefault("reaped children", {"cpu": 0.0, "pss": 0.0, "private": 0.0})
                other["cpu"] += 100 * (reaped - reaped0) / TICK / elapsed
        return {"cpuPercent": sum(p["cpu"] for p in parts.values()),
                "pssMB": sum(p["pss"] for p in parts.values()),
                "privateMB": sum(p["private"] for p in parts.values()),
                "seconds": elapsed, "processes": parts}
    finally:
        companion.terminate()
        companion.wait()


def main():
    result = {"loadBefore": os.getloadavg()}
    startups = []
    for _ in range(STARTUP_RUNS):
        write_diaries()  # the runs before wrote their own
        startups.append(harness("startup", "10"))
    result["startToFirstDiaryMs"] = [r["startToFirstDiaryMs"] for r in startups]
    result["writeToPageMs"] = [r["writeToPageMedianMs"] for r in startups]
    write_diaries()
    stalls, controls = [], []
    for _ in range(STALL_RUNS):  # alternating, so both meet the same load on the machine
        stalls.append(stall_run()["largestGapMs"])
        controls.append(harness("control")["largestGapMs"])
    result["stallMs"], result["bareLoopGapMs"] = stalls, controls
    idle = [idle_run() for _ in range(IDLE_RUNS)]
    result["idleCpuPercent"] = [r["cpuPercent"] for r in idle]
    result["pssMB"] = [r["pssMB"] for r in idle]
    result["privateMB"] = [r["privateMB"] for r in idle]
    result["idleRuns"] = idle
    result["idleSeconds"] = IDLE_S
    result["loadAfter"] = os.getloadavg()
    result["median"] = {key: statistics.median(result[key]) for key in
                        ("startToFirstDiaryMs", "writeToPageMs", "stallMs", "bareLoopGapMs",
                         "idleCpuPercent", "pssMB", "privateMB")}
    with open(OUT, "w") as f:
        json.dump(result, f, indent=1)


main()
