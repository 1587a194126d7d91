#!/usr/bin/env python3
"""The whole-companion figures: run inside tests/with-desktop-session.sh by scripts/bench.sh.

usage: bench_companion.py BUILD OUT.json

- start to first diary shown and diary file written to page updated: bench/companion_harness
  (the companion started as the executable starts it, the page's quilloSetDiary wrapped by a
  user script that reports each handled diary), one fresh process per run;
- main-loop stall while an upload waits on a server that never answers: the harness again,
  against tools/quillo-review-server --stall;
- idle CPU, wake-ups and memory, in rounds that take turns so that each meets the same load:
  the anchor (bench/webkit_anchor, a bare WebKitGTK window with the companion's WebKit
  settings), the anchor started as the companion starts its processes, then the companion
  collapsed and wandering, with reduced motion, and expanded. Each
  counts the process and every process it started (the WebKit processes, and the summary reader,
  which shows as reaped children). Memory is taken once no WebKit process outside the run is
  left on the machine, waiting for that up to QUILLO_BENCH_QUIET_WAIT seconds; each sample says
  which ones were there if any were.
"""
import datetime
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

STARTUP_RUNS = int(os.environ.get("QUILLO_BENCH_STARTUP_RUNS", 5))
STALL_RUNS = int(os.environ.get("QUILLO_BENCH_STALL_RUNS", 3))
IDLE_RUNS = int(os.environ.get("QUILLO_BENCH_IDLE_RUNS", 3))
IDLE_S = int(os.environ.get("QUILLO_BENCH_IDLE_SECONDS", 60))
QUIET_WAIT_S = int(os.environ.get("QUILLO_BENCH_QUIET_WAIT", 180))
SETTLE_S = 5
TICK = os.sysconf("SC_CLK_TCK")
WEBKIT_LIBRARIES = ("/libwebkit2gtk-4.1.so", "/libjavascriptcoregtk-4.1.so")
# Scenario name, what runs, and the GTK settings it runs with.
SCENARIOS = (
    ("anchor", "anchor", {}),
    ("anchorProcessSetUp", "anchor-processes", {}),
    ("wandering", "collapsed", {}),
    ("reducedMotion", "collapsed", {"gtk-enable-animations": "0"}),
    ("expanded", "expanded", {}),
)


class Build:
    def __init__(self, folder):
        self.harness = os.path.join(folder, "bench", "companion_harness")
        self.anchor = os.path.join(folder, "bench", "webkit_anchor")
        self.server = os.path.join(folder, "tools", "quillo-review-server")
        self.anchor_page = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench",
                                        "anchor.html")


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


def harness(build, *args, env=None):
    out = subprocess.run([build.harness, *args], capture_output=True, text=True, timeout=120,
                         env=env)
    lines = [line for line in out.stdout.splitlines() if line.startswith("{")]
    if not lines:
        raise SystemExit(f"companion_harness {' '.join(args)} printed no result:\n{out.stderr}")
    return json.loads(lines[-1])


def stall_run(build):
    server = subprocess.Popen([build.server, "--port", "0", "--stall", "--quiet"],
                              stdout=subprocess.PIPE, text=True)
    try:
        url = server.stdout.readline().strip().removeprefix("listening on ")
        return harness(build, "stall", env=dict(os.environ, QUILLO_API_URL=url))
    finally:
        server.terminate()
        server.wait()


# --- Processes

def stat_fields(pid):
    try:
        stat = open(f"/proc/{pid}/stat").read()
    except OSError:
        return None
    return stat[stat.rfind(")") + 2:].split()


def descendants(root):
    children = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            fields = stat_fields(name)
            if fields:
                children.setdefault(int(fields[1]), []).append(int(name))
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo += children.get(pid, [])
    return found


def name_of(pid):
    try:
        return open(f"/proc/{pid}/comm").read().strip()
    except OSError:
        return "?"


def cpu_ticks(pid):
    """utime + stime, and cutime + cstime: what the process and its reaped children used."""
    fields = stat_fields(pid)
    if not fields:
        return 0, 0
    return int(fields[11]) + int(fields[12]), int(fields[13]) + int(fields[14])


def wakeups(pid):
    """Context switches of each thread of the process, how often it woke up, by thread id and
    name."""
    found = {}
    try:
        threads = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return found
    for tid in threads:
        try:
            lines = open(f"/proc/{pid}/task/{tid}/status").read().splitlines()
        except OSError:
            continue
        name = lines[0].partition(":")[2].strip()
        found[(tid, name)] = sum(int(line.split()[1]) for line in lines
                                 if line.startswith(("voluntary_ctxt", "nonvoluntary_ctxt")))
    return found


def memory_kb(pid):
    """Pss, and the private part of it (Private_Clean + Private_Dirty), from smaps_rollup."""
    found = {"pss": 0, "private": 0}
    try:
        for line in open(f"/proc/{pid}/smaps_rollup"):
            key, _, rest = line.partition(":")
            if key == "Pss":
                found["pss"] = int(rest.split()[0])
            elif key in ("Private_Clean", "Private_Dirty"):
                found["private"] += int(rest.split()[0])
    except OSError:
        pass
    return found


def webkit_processes_besides(ours):
    """Processes outside ours that map WebKit: they share its pages, which lowers our PSS and
    moves pages out of our private part."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) in ours:
            continue
        try:
            with open(f"/proc/{name}/maps") as maps:
                if any(library in line for line in maps for library in WEBKIT_LIBRARIES):
                    found.append(f"{name} {name_of(name)}")
        except OSError:
            pass
    return found


def wait_for_quiet(ours):
    deadline = time.monotonic() + QUIET_WAIT_S
    while True:
        others = webkit_processes_besides(set(ours))
        if not others or time.monotonic() > deadline:
            return others
        time.sleep(1)


def end(process, tree):
    process.terminate()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    # The WebKit processes follow their UI process; the next run must not meet them.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and any(os.path.exists(f"/proc/{p}") for p in tree):
        time.sleep(0.1)
    for pid in tree:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


def gtk_settings_config(settings):
    """An XDG_CONFIG_HOME whose GTK settings carry the scenario's settings."""
    folder = tempfile.mkdtemp(prefix="quillo-bench-config-")
    os.makedirs(os.path.join(folder, "gtk-3.0"))
    with open(os.path.join(folder, "gtk-3.0", "settings.ini"), "w") as f:
        f.write("[Settings]\n" + "".join(f"{k}={v}\n" for k, v in settings.items()))
    return folder


def idle_run(build, what, settings):
    """One idle scenario: SETTLE_S of settling, IDLE_S of counting, then the memory."""
    env, config = dict(os.environ), None
    if settings:
        config = env["XDG_CONFIG_HOME"] = gtk_settings_config(settings)
    if what.startswith("anchor"):
        command = [build.anchor] + (["--process-set-up"] if what == "anchor-processes" else []) + [
            build.anchor_page]
    else:
        command = [build.harness, "idle"] + (["expanded"] if what == "expanded" else [])
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               env=env, text=True)
    tree = [process.pid]
    try:
        result = {}
        if what.startswith("anchor"):
            result.update(json.loads(process.stdout.readline() or "{}"))
        time.sleep(SETTLE_S)
        tree = descendants(process.pid)
        before = {pid: (cpu_ticks(pid), wakeups(pid)) for pid in tree}
        gone = {pid: name_of(pid) for pid in tree}
        if not what.startswith("anchor"):
            process.send_signal(signal.SIGHUP)
        start = time.monotonic()
        time.sleep(IDLE_S)
        elapsed = time.monotonic() - start
        tree = descendants(process.pid)
        parts = {}
        for pid in tree:
            (own, reaped), woke = cpu_ticks(pid), wakeups(pid)
            (own0, reaped0), woke0 = before.get(pid, ((0, 0), {}))
            gone.pop(pid, None)
            part = parts.setdefault(name_of(pid), {"cpu": 0.0, "wakeupsPerMinute": 0.0})
            part["cpu"] += 100 * (own - own0) / TICK / elapsed
            woken = {t: n - woke0.get(t, 0) for t, n in woke.items()}
            part["wakeupsPerMinute"] += 60 * sum(woken.values()) / elapsed
            # WebKit's display refresh monitor: a thread that ticks while the page animates.
            vblank = sum(n for (_, thread), n in woken.items() if thread == "VBlankMonitor")
            part["vblankWakeupsPerMinute"] = part.get("vblankWakeupsPerMinute", 0) + 60 * vblank / elapsed
            if reaped > reaped0:
                other = parts.setdefault("reaped children", {"cpu": 0.0, "wakeupsPerMinute": 0.0})
                other["cpu"] += 100 * (reaped - reaped0) / TICK / elapsed
        if gone:  # a process that ends takes its figures with it: say so rather than guess
            result["endedDuringRun"] = sorted(gone.values())
        if not what.startswith("anchor"):
            process.send_signal(signal.SIGUSR2)
            result.update(json.loads(process.stdout.readline() or "{}"))
        others = wait_for_quiet(tree)
        tree = descendants(process.pid)
        for pid in tree:
            memory = memory_kb(pid)
            part = parts.setdefault(name_of(pid), {"cpu": 0.0, "wakeupsPerMinute": 0.0})
            part["pssMB"] = part.get("pssMB", 0) + memory["pss"] / 1024
            part["privateMB"] = part.get("privateMB", 0) + memory["private"] / 1024
        result.update({
            "cpuPercent": sum(p["cpu"] for p in parts.values()),
            "wakeupsPerMinute": sum(p["wakeupsPerMinute"] for p in parts.values()),
            "vblankWakeupsPerMinute": sum(p.get("vblankWakeupsPerMinute", 0)
                                          for p in parts.values()),
            "pssMB": sum(p.get("pssMB", 0) for p in parts.values()),
            "privateMB": sum(p.get("privateMB", 0) for p in parts.values()),
            "otherWebKitProcesses": others,
            "seconds": elapsed,
            "processes": parts,
        })
        return result
    finally:
        end(process, tree)
        if config:
            shutil.rmtree(config, ignore_errors=True)


def main():
    build, out = Build(sys.argv[1]), sys.argv[2]
    result = {"loadBefore": os.getloadavg(), "idleSeconds": IDLE_S, "settleSeconds": SETTLE_S}
    startups = []
    for _ in range(STARTUP_RUNS):
        write_diaries()  # the runs before wrote their own
        startups.append(harness(build, "startup", "10"))
    result["startToFirstDiaryMs"] = [r["startToFirstDiaryMs"] for r in startups]
    result["writeToPageMs"] = [r["writeToPageMedianMs"] for r in startups]
    write_diaries()
    stalls, controls = [], []
    for _ in range(STALL_RUNS):  # alternating, so both meet the same load on the machine
        stalls.append(stall_run(build)["largestGapMs"])
        controls.append(harness(build, "control")["largestGapMs"])
    result["stallMs"], result["bareLoopGapMs"] = stalls, controls

    result["idle"] = {name: [] for name, _, _ in SCENARIOS}
    for _ in range(IDLE_RUNS):
        for name, what, settings in SCENARIOS:
            print(f"== idle: {name}", flush=True)
            result["idle"][name].append(idle_run(build, what, settings))
    result["loadAfter"] = os.getloadavg()
    with open(out, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
