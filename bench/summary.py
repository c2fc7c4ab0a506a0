#!/usr/bin/env python3
"""Reads the results of scripts/bench.sh and prints each figure beside its target."""
import json
import os
import sys


def load(path):
    with open(path) as f:
        return {b["name"]: b for b in json.load(f)["benchmarks"]}


# Driver requests from the start of the remote program to the end of its
# first tick that the original's order of calls needs: the open, the start's
# initialisation, the tick's, and the two link op codes of going online (the
# last of which brings the snapshot the tick's reads use).
REMOTE_STARTUP_ROUND_TRIPS = 5


def fit(points):
    """Least-squares line through (x, y): base, slope and the largest relative deviation."""
    n = len(points)
    mx = sum(x for x, _ in points) / n
    my = sum(y for _, y in points) / n
    slope = sum((x - mx) * (y - my) for x, y in points) / sum((x - mx) ** 2 for x, _ in points)
    base = my - slope * mx
    return base, slope, max(abs(y - (base + slope * x)) / y for x, y in points)


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
        b = library[f"BM_TickThroughLibrary/{key}/snapshots:1/real_time"]
        naive = library[f"BM_TickThroughLibrary/{key}/snapshots:0/real_time"]
        row(f"tick through {what}",
            f"{b['round_trips']:.0f} round trips, {us(b):.0f} us = {us(b) / inproc:.0f} x in-process; "
            f"one request per operation: {naive['round_trips']:.0f} round trips, {us(naive):.0f} us")
    for latency in (20, 100):
        b = library[f"BM_TickThroughLibrary/remote:1/L:{latency}/snapshots:1/iterations:15/real_time"]
        row(f"remote tick over a {latency} ms link",
            f"{b['round_trips']:.0f} round trips, {b['ms_per_tick']:.1f} ms = {b['tick_over_L']:.2f} x L",
            "<= 3 round trips, <= 4 x L", b["round_trips"] <= 3 and b["tick_over_L"] <= 4)
    b = library["BM_TickThroughLibrary/remote:1/L:20/snapshots:0/iterations:15/real_time"]
    row("  the same, one request per operation", f"{b['round_trips']:.0f} round trips, {b['ms_per_tick']:.1f} ms = "
        f"{b['tick_over_L']:.2f} x L")
    b = library["BM_TickThroughLibrary/remote:0/L:20/snapshots:1/iterations:15/real_time"]
    row("local tick over a 20 ms link (kvxg3.dll)",
        f"{b['round_trips']:.0f} round trips, {b['ms_per_tick']:.1f} ms = {b['tick_over_L']:.2f} x L")
    opened = max(b["connections"] for name, b in library.items() if "remote:1" in name)
    row("connections a remote handle opened in a benchmark run", f"{opened:.0f}", "1", opened == 1)
    if "remote_startup_round_trips" in figures:
        trips = figures["remote_startup_round_trips"]
        row("remote start-up to end of first tick, L = 100 ms",
            f"{trips:.0f} round trips, {figures['remote_startup_ms']:.0f} ms = {figures['remote_startup_over_L']:.2f} x L",
            f"<= {REMOTE_STARTUP_ROUND_TRIPS} round trips", trips <= REMOTE_STARTUP_ROUND_TRIPS)

    if "paint_window_ratio" in figures:
        row("start-up to first paint (window, Xvfb) / empty Qt window",
            f"{figures['paint_window_ratio']:.2f} ({figures['paint_window_ms']:.0f} ms against "
            f"{figures['paint_empty_window_ms']:.0f} ms)", "<= 1.5", figures["paint_window_ratio"] <= 1.5)
        row("  the same without the two 10 ms went-online waits",
            f"{figures['paint_window_without_waits_ratio']:.2f} ({figures['paint_window_without_waits_ms']:.0f} ms)",
            "<= 1.5", figures["paint_window_without_waits_ratio"] <= 1.5)
    else:
        row("start-up to first paint (window, Xvfb)", "not measured: needs Xvfb and the X Damage library")
    row("start-up to end of first tick (headless) / empty Qt window",
        f"{figures['startup_headless_ratio']:.2f} ({figures['startup_headless_first_tick_ms']:.0f} ms against "
        f"{figures['startup_empty_window_ms']:.0f} ms offscreen)", "<= 1.5", figures["startup_headless_ratio"] <= 1.5)
    if "startup_headless_without_waits_ratio" in figures:
        row("  the same without the two 10 ms went-online waits",
            f"{figures['startup_headless_without_waits_ratio']:.2f} "
            f"({figures['startup_headless_without_waits_ms']:.0f} ms)",
            "<= 1.5", figures["startup_headless_without_waits_ratio"] <= 1.5)
    row("CPU share of one core, headless, 1 Hz", f"{figures['cpu_share_headless_percent']:.3f} %", "<= 0.05 %",
        figures["cpu_share_headless_percent"] <= 0.05)
    row("CPU share of one core, window, 1 Hz", f"{figures['cpu_share_window_percent']:.3f} %", "<= 0.3 %",
        figures["cpu_share_window_percent"] <= 0.3)
    row("resident memory with window / empty Qt window, offscreen",
        f"{figures['rss_window_ratio']:.2f} ({figures['rss_window_kb'] / 1024:.1f} MB)", "<= 1.3",
        figures["rss_window_ratio"] <= 1.3)
    if "rss_x_window_ratio" in figures:
        row("resident memory with window / empty Qt window, Xvfb",
            f"{figures['rss_x_window_ratio']:.2f} ({figures['rss_x_window_kb'] / 1024:.1f} MB against "
            f"{figures['rss_x_empty_window_kb'] / 1024:.1f} MB)", "<= 1.3", figures["rss_x_window_ratio"] <= 1.3)

    # Growth against the axes: a straight line through the instruction counts.
    points = sorted((int(k.split("axes")[1]), v) for k, v in figures.items()
                    if k.startswith("instructions_board4_axes"))
    base, slope, worst = fit(points)
    row("growth against axes (1 to 18, instructions)",
        f"{base:.0f} + {slope:.0f} per axis, largest deviation from the line {worst * 100:.1f} %",
        "linear (deviation <= 2 %)", worst <= 0.02)
    # Flatness by instruction counts, which are exact; times as information.
    i0, i100 = figures["instructions_protocol_mb0"], figures["instructions_protocol_mb100"]
    p0 = us(engine["BM_EngineTickProtocolSize/MB:0/iterations:20000"])
    p100 = us(engine["BM_EngineTickProtocolSize/MB:100/iterations:20000"])
    row("protocol file holding 100 MB / empty (instructions)",
        f"{i100 / i0:.3f} ({i100:.0f} against {i0:.0f}; times {p100 / p0:.2f})", "no more (<= 1.1)", i100 / i0 <= 1.1)
    i1, i2 = figures["instructions_run_ticks1000"], figures["instructions_run_ticks100000"]
    r1 = us(engine["BM_EngineTickAfterRun/ticks:1000/iterations:2000"])
    r2 = us(engine["BM_EngineTickAfterRun/ticks:100000/iterations:2000"])
    row("tick 100,000 / tick 1,000 with the run's history (instructions)",
        f"{i2 / i1:.3f} ({i2:.0f} against {i1:.0f}; times {r2 / r1:.2f})", "no more (<= 1.1)", i2 / i1 <= 1.1)

    # The whole headless program per steady tick through kvxg3.dll against the
    # engine's own tick, at the same axis counts.
    # The engine's own: the engine tick without the scripted controller's
    # entry points; the engine tick with them is the figure the rows above show.
    whole = sorted((int(k.split("axes")[1]), v) for k, v in figures.items() if k.startswith("whole_local_tick_axes"))
    own = sorted((int(k.split("axes")[1]), v) for k, v in figures.items() if k.startswith("instructions_engine_only_axes"))
    if whole and own:
        engine_at, own_at = dict(points), dict(own)
        for x, y in whole:
            r = y / own_at[x]
            row(f"whole program per local tick / engine's own, {x} axes",
                f"{r:.2f} ({y:.0f} against {own_at[x]:.0f} instructions; against the engine tick "
                f"with the scripted controller {y / engine_at[x]:.2f})", "<= 2", r <= 2)
        wb, ws, wworst = fit(whole)
        ob, os_, _ = fit(own)
        row("whole program per local tick against axes",
            f"{wb:.0f} + {ws:.0f} per axis (engine's own {os_:.0f}), slope ratio {ws / os_:.2f}, "
            f"largest deviation from the line {wworst * 100:.1f} %",
            "linear, slope <= 2 x engine's", ws <= 2 * os_ and wworst <= 0.02)

    recording_path = os.path.join(out, "recording.txt")
    if os.path.exists(recording_path):
        rec = {}
        with open(recording_path) as f:
            for line in f:
                key, *values = line.split()
                rec[key] = values
        plain, recording = float(rec["recording_instructions_plain"][0]), float(rec["recording_instructions_recording"][0])
        added = recording - plain
        row("flight recorder: instructions added per steady tick",
            f"{added:.0f} ({recording:.0f} recording against {plain:.0f} plain, lively controller)",
            "<= 60000", added <= 60000)
        if "recording_bytes_per_tick_hour" in rec:
            per_hour = float(rec["recording_bytes_per_tick_hour"][0])
            row("flight recorder: bytes per tick over an hour, lively controller",
                f"{per_hour:.1f} (scaled from {rec['ticks'][0]} ticks: {rec['recording_bytes_per_tick'][0]} measured)",
                "<= 100", per_hour <= 100)
            same = rec["replay_same_ticks"][0] == "1" and rec["replay_same_protocol"][0] == "1"
            row("replay at 60x: same ticks (--json) and same protocol file", "yes" if same else "NO", "yes", same)

    width = max(len(r[0]) for r in rows)
    for what, value, target, verdict in rows:
        line = f"{what:<{width}}  {value}"
        if target:
            line += f"   target {target}: {verdict}"
        print(line)


if __name__ == "__main__":
    main()
