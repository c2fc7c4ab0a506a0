#!/usr/bin/env python3
"""Reads the results of scripts/bench.sh and prints each figure beside its target."""
import json
import os
import sys


def load(path):
    with open(path) as f:
        return {b["name"]: b for b in json.load(f)["benchmarks"]}


def main():
    out = sys.argv[1]
    engine = load(os.path.join(out, "engine.json"))
    window = load(os.path.join(out, "window.json"))
    library = load(os.path.join(out, "library.json"))
    figures = {}
    for name in ("instructions.txt", "process.txt"):
        with open(os.path.join(out, name)) as f:
            for line in f:
                key, value = line.split()
                figures[key] = float(value)

    rows = []

    def row(what, value, target="", ok=None):
        verdict = "" if ok is None else ("met" if ok else "MISSED")
        rows.append((what, value, target, verdict))

    def us(b):
        scale = {"ns": 1e-3, "us": 1, "ms": 1e3}[b["time_unit"]]
        return b["real_time"] * scale

    for board in (4, 8):
        for axes in (1, 4, 18):
            b = engine[f"BM_EngineTick/board:{board}/axes:{axes}"]
            ins = figures.get(f"instructions_board{board}_axes{axes}")
            row(f"engine tick, board {board}, {axes} axes",
                f"{us(b):.1f} us, {ins:.0f} instructions, {b['driver_calls']:.0f} driver calls")

    w = us(window["BM_WindowTick/real_time"]) / us(window["BM_EngineTickFlapping/real_time"])
    row("window tick / engine tick", f"{w:.1f}")

    inproc = us(library["BM_TickInProcess/real_time"])
    for key, what in (("remote:0/L:0", "kvxg3.dll, unix socket"), ("remote:1/L:0", "kvxg3X.DLL, loopback HTTP")):
        b = library[f"BM_TickThroughLibrary/{key}/real_time"]
        row(f"tick through {what}",
            f"{b['round_trips']:.0f} round trips, {us(b):.0f} us = {us(b) / inproc:.0f} x in-process")
    for latency in (20, 100):
        b = library[f"BM_TickThroughLibrary/remote:1/L:{latency}/iterations:15/real_time"]
        row(f"remote tick over a {latency} ms link",
            f"{b['round_trips']:.0f} round trips, {b['ms_per_tick']:.1f} ms = {b['tick_over_L']:.2f} x L",
            "<= 3 round trips, <= 4 x L", b["round_trips"] <= 3 and b["tick_over_L"] <= 4)
    b = library["BM_TickThroughLibrary/remote:0/L:20/iterations:15/real_time"]
    row("local tick over a 20 ms link (kvxg3.dll)",
        f"{b['round_trips']:.0f} round trips, {b['ms_per_tick']:.1f} ms = {b['tick_over_L']:.2f} x L")

    row("start-up to end of first tick (window) / empty Qt window", f"{figures['startup_window_ratio']:.2f}",
        "<= 1.5", figures["startup_window_ratio"] <= 1.5)
    row("start-up to end of first tick (headless) / empty Qt window", f"{figures['startup_headless_ratio']:.2f}",
        "<= 1.5", figures["startup_headless_ratio"] <= 1.5)
    row("CPU share of one core, headless, 1 Hz", f"{figures['cpu_share_headless_percent']:.3f} %", "<= 0.05 %",
        figures["cpu_share_headless_percent"] <= 0.05)
    row("CPU share of one core, window, 1 Hz", f"{figures['cpu_share_window_percent']:.3f} %", "<= 0.3 %",
        figures["cpu_share_window_percent"] <= 0.3)
    row("resident memory with window / empty Qt window", f"{figures['rss_window_ratio']:.2f}", "<= 1.3",
        figures["rss_window_ratio"] <= 1.3)

    # Growth against the axes: a straight line through the instruction counts.
    points = sorted((int(k.split("axes")[1]), v) for k, v in figures.items()
                    if k.startswith("instructions_board4_axes"))
    n = len(points)
    mx = sum(x for x, _ in points) / n
    my = sum(y for _, y in points) / n
    slope = sum((x - mx) * (y - my) for x, y in points) / sum((x - mx) ** 2 for x, _ in points)
    base = my - slope * mx
    worst = max(abs(y - (base + slope * x)) / y for x, y in points)
    row("growth against axes (1 to 18, instructions)",
        f"{base:.0f} + {slope:.0f} per axis, largest deviation from the line {worst * 100:.1f} %",
        "linear (deviation <= 2 %)", worst <= 0.02)
    p0 = us(engine["BM_EngineTickProtocolSize/MB:0/iterations:20000"])
    p100 = us(engine["BM_EngineTickProtocolSize/MB:100/iterations:20000"])
    row("protocol file holding 100 MB / empty", f"{p100 / p0:.2f}", "no slower (<= 1.1)", p100 / p0 <= 1.1)
    r1 = us(engine["BM_EngineTickAfterRun/ticks:1000/iterations:2000"])
    r2 = us(engine["BM_EngineTickAfterRun/ticks:100000/iterations:2000"])
    row("tick 100,000 / tick 1,000 (with the run's history)", f"{r2 / r1:.2f}", "no slower (<= 1.1)", r2 / r1 <= 1.1)

    width = max(len(r[0]) for r in rows)
    for what, value, target, verdict in rows:
        line = f"{what:<{width}}  {value}"
        if target:
            line += f"   target {target}: {verdict}"
        print(line)


if __name__ == "__main__":
    main()
