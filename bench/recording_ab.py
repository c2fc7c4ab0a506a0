#!/usr/bin/env python3
"""Builds of the monitor side by side on one simulated lively controller.

  recording_ab.py SECONDS LABEL=BIN_DIR[,record][,ENV=VALUE...] ... [--rounds N]

Starts, for each round (default 3), one monitor of each LABEL in the order
given, each a part of a second after the one before so that each ticks
alone, headless at 1 Hz; with `record` it records to a file of its own.
After a 30 s warm-up it takes each monitor's CPU time over SECONDS and
prints, per label, the mean and its ratio to the first label's. Each round
starts the labels one place further on, so that no build keeps the places
that cost less (the last monitor started often costs 5 to 10 % less).
Runs of a few minutes scatter by several per cent: repeat them.
"""
import argparse
import os
import shutil
import signal
import tempfile
import time

from recording_figures import cpu_ns, parse_builds, start_rounds, start_simulator


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("seconds", type=int)
    ap.add_argument("builds", nargs="+")
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    builds = parse_builds(args.builds)
    here = os.path.dirname(os.path.abspath(__file__))
    work = tempfile.mkdtemp(prefix="kvx-recab-")
    monitors = []
    sim = None
    try:
        socket = os.path.join(work, "sim.sock")
        sim = start_simulator(builds[0][1], os.path.join(here, "..", "scenarios", "lively.scn"), socket)

        def record_where_asked(n, build, folder):
            return (["--record", os.path.join(folder, "run.kvxrec")] if "record" in build[2] else []), {}

        start_rounds(builds, args.rounds, work, socket, record_where_asked, monitors)
        time.sleep(30)
        start = [cpu_ns(p.pid) for _, _, p in monitors]
        time.sleep(args.seconds)
        used = {}
        for (label, _, p), before in zip(monitors, start):
            used.setdefault(label, []).append((cpu_ns(p.pid) - before) / 1e6)
        first = sum(used[builds[0][0]]) / len(used[builds[0][0]])
        for label, *_ in builds:
            mean = sum(used[label]) / len(used[label])
            print(f"{label} mean_ms {mean:.1f} ratio {mean / first:.3f} each "
                  + " ".join(f"{c:.1f}" for c in used[label]))
    finally:
        for _, _, p in monitors:
            p.send_signal(signal.SIGTERM)
            p.wait()
        if sim:
            sim.send_signal(signal.SIGTERM)
            sim.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
