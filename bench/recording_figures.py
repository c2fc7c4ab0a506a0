#!/usr/bin/env python3
"""Figures of the flight recorder on the lively scenario.

  recording_figures.py BIN_DIR SCENARIO [--seconds N] [--pairs N] [--window]

Headless monitors watch one simulated controller at 1 Hz for N seconds
(default 600): one recording with --json (the proof), and --pairs pairs
(default 3) of plain and recording monitors as a technician or a fleet runs
them, without --json, started in turn so that neither kind gets the better
places, each ticking in a part of the second of its own. Prints, one
"name value" line each: the recording's bytes per tick; the CPU time of the
recording monitors over the plain ones (CPU time of all threads, from
/proc/PID/task/*/schedstat, summed per kind, and the spread within each
kind; with --window the pairs run as windows, as a technician at the machine
runs them, on a virtual display of their own); and whether the recording,
replayed at 60x, gave the same ticks (--json, tick for tick) and the same
protocol file, byte for byte.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

from proc_figures import cpu_ns
from process_figures import start_xvfb, stop




def start_simulator(bin_dir, scenario, socket):
    """kvxsim on SCENARIO, once it listens on SOCKET."""
    sim = subprocess.Popen([os.path.join(bin_dir, "kvxsim"), "--scenario", scenario, "--socket", socket,
                            "--no-http", "--quiet"], stdout=subprocess.DEVNULL)
    while not os.path.exists(socket):
        time.sleep(0.05)
    return sim


def monitor_in(folder, bin_dir):
    """A copy of the monitor and its driver libraries in FOLDER/bin, so that
    each monitor keeps its settings and protocol apart; gives its path."""
    os.makedirs(os.path.join(folder, "bin"))
    for f in ("KvxDiagnostics", "kvxg3.dll", "kvxg3X.DLL"):
        shutil.copy(os.path.join(bin_dir, f), os.path.join(folder, "bin", f))
    return os.path.join(folder, "bin", "KvxDiagnostics")


def parse_builds(specs):
    """LABEL=BIN_DIR[,WORD...][,ENV=VALUE...] each, as (label, bin_dir, words, env)."""
    builds = []
    for spec in specs:
        label, rest = spec.split("=", 1)
        parts = rest.split(",")
        env = dict(p.split("=", 1) for p in parts[1:] if "=" in p)
        builds.append((label, parts[0], [p for p in parts[1:] if "=" not in p], env))
    return builds


def start_rounds(builds, rounds, work, socket, extra_for, monitors):
    """One headless monitor of each build per round, each round starting the
    builds one place further on (the last monitor started often costs less),
    each monitor a part of a second after the one before so that each ticks
    alone. extra_for(n, build, folder) gives the n-th monitor's further
    arguments and environment. Each started monitor is added to MONITORS as
    (label, folder, process) at once, so that a caller stops all of them
    even when a later one fails to start."""
    order = []
    for r in range(rounds):
        order += builds[r % len(builds):] + builds[:r % len(builds)]
    for n, build in enumerate(order):
        label, bin_dir, _, env = build
        folder = os.path.join(work, f"{n}-{label}")
        cmd = [monitor_in(folder, bin_dir), "--console"]
        more_args, more_env = extra_for(n, build, folder)
        monitors.append((label, folder, subprocess.Popen(
            cmd + more_args, cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=dict(os.environ, KVXSIM_SOCKET=socket, **env, **more_env))))
        time.sleep(1.0 / len(order))


def without_times(text):
    """The ticks without their time fields (how old the data was when printed)."""
    ticks = []
    for line in text.splitlines():
        tick = json.loads(line)
        tick.pop("dataAgeMs", None)
        ticks.append(tick)
    return ticks


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bin")
    ap.add_argument("scenario")
    ap.add_argument("--seconds", type=int, default=600)
    ap.add_argument("--pairs", type=int, default=3)
    ap.add_argument("--window", action="store_true")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="kvx-recfig-")
    display = None
    try:
        env = dict(os.environ)
        if args.window:
            display = start_xvfb()
            if not display:
                raise SystemExit("recording_figures: no virtual display (Xvfb) could be started")
            env["DISPLAY"] = display[1]
        socket = os.path.join(work, "sim.sock")
        sim = start_simulator(args.bin, args.scenario, socket)
        monitors = {}
        names = ["proof"]
        for i in range(args.pairs):
            names += [f"plain{i}", f"rec{i}"] if i % 2 == 0 else [f"rec{i}", f"plain{i}"]
        for name in names:
            folder = os.path.join(work, name)
            cmd = [monitor_in(folder, args.bin)]
            if name == "proof" or not args.window:
                cmd.append("--console")
            if name == "proof":
                cmd += ["--json", "--record", os.path.join(work, "run.kvxrec")]
            elif name.startswith("rec"):
                cmd += ["--record", os.path.join(folder, "run.kvxrec")]
            out = open(os.path.join(folder, "ticks.json"), "w")
            monitors[name] = (subprocess.Popen(cmd, cwd=folder, stdout=out, stderr=subprocess.DEVNULL,
                                               env=dict(env, KVXSIM_SOCKET=socket)), folder, out)
            # Each monitor ticks in a part of the second of its own, as
            # monitors on different machines would: ticks that met would
            # queue at the one simulator and compete for the cores, in an
            # order that varies, which spreads the figures of equal monitors.
            time.sleep(1.0 / len(names))
        # The steady run from the first minute on (or its first quarter)
        # apart from the whole: the recorder's start costs under a millisecond
        # once, which weighs on a short run but not on an hour.
        settle = min(60, args.seconds // 4)
        time.sleep(settle)
        settled = {name: cpu_ns(proc.pid) for name, (proc, _, _) in monitors.items()}
        time.sleep(args.seconds - settle)
        cpu = {}
        steady = {}
        for name, (proc, folder, out) in monitors.items():
            cpu[name] = cpu_ns(proc.pid)
            steady[name] = cpu[name] - settled[name]
            proc.send_signal(signal.SIGTERM)
            proc.wait()
            out.close()
        sim.send_signal(signal.SIGTERM)
        sim.wait()

        plain = [cpu[n] for n in names if n.startswith("plain")]
        recording = [cpu[n] for n in names if n.startswith("rec")]
        print(f"recording_cpu_ratio {sum(steady[n] for n in names if n.startswith('rec')) / sum(steady[n] for n in names if n.startswith('plain')):.3f}")
        print(f"recording_cpu_ratio_with_start {sum(recording) / sum(plain):.3f}")
        print(f"cpu_ms_plain {' '.join(f'{c / 1e6:.0f}' for c in plain)}")
        print(f"cpu_ms_recording {' '.join(f'{c / 1e6:.0f}' for c in recording)}")
        print(f"cpu_spread_plain {max(plain) / min(plain):.3f}")
        print(f"cpu_spread_recording {max(recording) / min(recording):.3f}")

        folder = monitors["proof"][1]
        ticks = sum(1 for _ in open(os.path.join(folder, "ticks.json")))
        size = os.path.getsize(os.path.join(work, "run.kvxrec"))
        print(f"ticks {ticks}")
        print(f"recording_bytes {size}")
        print(f"recording_bytes_per_tick {size / ticks:.1f}")

        replayed = os.path.join(work, "replayed.txt")
        r = subprocess.run([os.path.join(args.bin, "KvxDiagnostics"), "--console", "--json", "--replay",
                            os.path.join(work, "run.kvxrec"), "--speed", "60", "--protocol", replayed],
                           capture_output=True, text=True)
        live = open(os.path.join(folder, "ticks.json")).read()
        print(f"replay_seconds_at_60x {ticks / 60:.0f}")
        print(f"replay_same_ticks {int(without_times(r.stdout) == without_times(live))}")
        print(f"replay_same_protocol {int(open(replayed, 'rb').read() == open(os.path.join(folder, 'DiagProtocol.txt'), 'rb').read())}")
    finally:
        if display:
            stop(display[0])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
