#!/usr/bin/env python3
"""Runs every benchmark program of a build and prints one table: figure, peer, ratio.

    bench/run-benchmarks.py BUILD_DIR [NAME_FILTER]

Every executable under BUILD_DIR/bench is run, whatever its name. Three kinds are understood:

  * Google Benchmark programs: run with JSON output; each benchmark is paired with its peer by
    the PEERS table below (a benchmark without a peer is listed on its own).
  * Programs that print result lines, one per figure, tab-separated:
        result <TAB> measure <TAB> ours <TAB> peer <TAB> unit <TAB> higher|lower
    ("higher" when a higher figure is better, e.g. packets per second).
  * Programs with an output of their own: read through an adapter in ADAPTERS; without one
    (or when it finds nothing) their output is shown as it is.

The ratio column is always "how many times as good as the peer": above 1 we are faster or
cheaper, below 1 the peer is. A program that fails is reported with its exit status.
"""
import json
import os
import re
import subprocess
import sys

# Google Benchmark names: ours -> (peer, what the figure is).
PEERS = {
    "BM_CBBLog_Info": ("BM_Spdlog_Info", "info line, caller's cost"),
    "BM_CBBLog_DebugOff": ("BM_Spdlog_DebugOff", "disabled debug line"),
    "BM_SkyvaneDemuxAndParser": ("BM_Libdvbpsi", "PAT+NIT+SDT of a capture"),
    "BM_HuxSatelliteRoundTrip": ("BM_PlainMosquittoRoundTrip", "bus request/reply"),
}


def fmt(value):
    if value is None:
        return "-"
    if value >= 1e6:
        return "%.3g M" % (value / 1e6) if value < 1e9 else "%.3g G" % (value / 1e9)
    if value >= 1000:
        return "%.0f" % value
    return "%.3g" % value


class Table:
    def __init__(self):
        self.rows = []

    def add(self, program, measure, ours, peer, unit, higher_is_better):
        ratio = None
        if ours and peer:
            ratio = ours / peer if higher_is_better else peer / ours
        self.rows.append((program, measure, ours, peer, unit, ratio))

    def note(self, program, text):
        self.rows.append((program, text, None, None, "", None))

    def print(self):
        head = ("program", "figure", "ours", "peer", "unit", "ratio")
        cells = [head] + [
            (p, m, fmt(o) if u else "", fmt(q) if u else "", u, "%.2fx" % r if r else "")
            for p, m, o, q, u, r in self.rows
        ]
        widths = [max(len(str(c[i])) for c in cells) for i in range(len(head))]
        for n, c in enumerate(cells):
            print("  ".join(str(x).ljust(widths[i]) if i < 2 or i == 4 else str(x).rjust(widths[i])
                            for i, x in enumerate(c)).rstrip())
            if n == 0:
                print("  ".join("-" * w for w in widths))
        print("\nratio: times as good as the peer (speed or cost), above 1 is better than the peer.")


def google_benchmark(program, path, table):
    out = run([path, "--benchmark_format=json"], program, table)
    if out is None:
        return
    try:
        data = json.loads(out)
    except ValueError:
        table.note(program, "no JSON output")
        return
    runs = {}
    for b in data.get("benchmarks", []):
        if b.get("run_type", "iteration") != "iteration":
            continue
        name = b["name"].split("/")[0]
        if b.get("error_occurred"):
            runs[name] = ("skipped: " + b.get("error_message", "error"), None, None)
            continue
        # Wall time where the benchmark asks for it (round trips), else the thread's CPU time,
        # which on a shared machine says more. Google Benchmark computes its rates the same way.
        if "items_per_second" in b:
            # Cost per item keeps the table in one direction: lower is better.
            runs[name] = (None, 1e9 / b["items_per_second"], "ns/item")
        else:
            scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
            wall = "real_time" in b["name"]
            runs[name] = (None, b["real_time" if wall else "cpu_time"] * scale, "ns" if wall else "CPU ns")
    paired = set()
    for ours, (peer, what) in PEERS.items():
        if ours not in runs:
            continue
        paired.update((ours, peer))
        if runs[ours][0] or peer not in runs or runs[peer][0]:
            table.note(program, "%s: %s" % (what, runs[ours][0] or runs.get(peer, ("peer missing",))[0]))
            continue
        table.add(program, what, runs[ours][1], runs[peer][1], runs[ours][2], False)
    for name, (err, value, unit) in runs.items():
        if name not in paired:
            if err:
                table.note(program, "%s %s" % (name, err))
            else:
                table.add(program, name, value, None, unit, False)


def result_lines(program, out, table):
    found = False
    for line in out.splitlines():
        parts = line.split("\t")
        if len(parts) == 6 and parts[0] == "result":
            _, measure, ours, peer, unit, better = parts
            table.add(program, measure, float(ours), float(peer) if peer not in ("", "-") else None, unit,
                      better == "higher")
            found = True
    return found


def air_pacing(program, out, table):
    """who speed rate/speed error% worst-late CPU% (air and ffmpeg lines per speed)."""
    rows = {}
    for line in out.splitlines():
        m = re.match(r"^(air|ffmpeg)\s+(\d+)\s+([\d.]+)\s+([+-][\d.]+)\s+\S+\s+([\d.]+)$", line.strip())
        if m:
            rows[(m.group(1), m.group(2))] = (abs(float(m.group(4))), float(m.group(5)))
    found = False
    for (who, speed), (err, cpu) in sorted(rows.items()):
        if who != "air":
            continue
        peer = rows.get(("ffmpeg", speed))
        table.add(program, "pacing CPU at speed %s" % speed, cpu, peer[1] if peer else None, "% CPU", False)
        found = True
    return found


ADAPTERS = {"air_pacing_bench": air_pacing}


# No benchmark of this tree takes more than a few minutes, even on a busy machine.
TIMEOUT_SECONDS = 900


def run(cmd, program, table):
    try:
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, universal_newlines=True, timeout=TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired:
        table.note(program, "stopped after %d s" % TIMEOUT_SECONDS)
        return None
    if proc.returncode != 0:
        table.note(program, "failed with exit status %d" % proc.returncode)
        return None
    return proc.stdout


def programs(build):
    root = os.path.join(build, "bench")
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d != "CMakeFiles")
        for f in sorted(files):
            path = os.path.join(folder, f)
            if os.access(path, os.X_OK) and not f.endswith((".py", ".sh", ".cmake")):
                yield f, path


def main():
    if len(sys.argv) < 2 or not os.path.isdir(os.path.join(sys.argv[1], "bench")):
        sys.exit("usage: run-benchmarks.py BUILD_DIR [NAME_FILTER]  (BUILD_DIR/bench not found: build first)")
    only = sys.argv[2] if len(sys.argv) > 2 else ""
    table = Table()
    found = list(p for p in programs(sys.argv[1]) if only in p[0])
    if not found:
        sys.exit("no benchmark programs under %s/bench" % sys.argv[1])
    for program, path in found:
        print("running %s ..." % program, file=sys.stderr, flush=True)
        with open(path, "rb") as f:
            image = f.read()
        is_gbench = b"libbenchmark.so" in image or b"benchmark_format" in image
        if is_gbench:
            google_benchmark(program, path, table)
            continue
        out = run([path], program, table)
        if out is None:
            continue
        if result_lines(program, out, table):
            continue
        adapter = ADAPTERS.get(program)
        if adapter and adapter(program, out, table):
            continue
        table.note(program, "no figures understood; its output:")
        for line in out.splitlines():
            table.note(program, "  " + line)
    print()
    table.print()


if __name__ == "__main__":
    main()
