#!/usr/bin/env python3
"""Figures of the flight recorder on the lively scenario.

  recording_figures.py BIN_DIR SCENARIO [--seconds N]

Two headless monitors watch one simulated controller at 1 Hz for N seconds
(default 600), one with --record, one without. Prints, one "name value" line
each: the recording's bytes per tick; the CPU time of the recording monitor
over the other's (CPU time of all threads, from /proc/PID/task/*/schedstat);
and whether the recording, replayed at 60x, gave the same ticks (--json, tick
for tick) and the same protocol file, byte for byte.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time


def cpu_ns(pid):
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


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
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="kvx-recfig-")
    try:
        socket = os.path.join(work, "sim.sock")
        sim = subprocess.Popen([os.path.join(args.bin, "kvxsim"), "--scenario", args.scenario, "--socket", socket,
                                "--no-http", "--quiet"], stdout=subprocess.DEVNULL)
        while not os.path.exists(socket):
            time.sleep(0.05)
        monitors = {}
        for name in ("plain", "recording"):
            folder = os.path.join(work, name)
            os.makedirs(os.path.join(folder, "bin"))
            for f in ("KvxDiagnostics", "kvxg3.dll", "kvxg3X.DLL"):
                shutil.copy(os.path.join(args.bin, f), os.path.join(folder, "bin", f))
            cmd = [os.path.join(folder, "bin", "KvxDiagnostics"), "--console", "--json"]
            if name == "recording":
                cmd += ["--record", os.path.join(work, "run.kvxrec")]
            out = open(os.path.join(folder, "ticks.json"), "w")
            monitors[name] = (subprocess.Popen(cmd, cwd=folder, stdout=out, stderr=subprocess.DEVNULL,
                                               env=dict(os.environ, KVXSIM_SOCKET=socket)), folder, out)
        time.sleep(args.seconds)
        cpu = {}
        for name, (proc, folder, out) in monitors.items():
            cpu[name] = cpu_ns(proc.pid)
            proc.send_signal(signal.SIGTERM)
            proc.wait()
            out.close()
        sim.send_signal(signal.SIGTERM)
        sim.wait()

        folder = monitors["recording"][1]
        ticks = sum(1 for _ in open(os.path.join(folder, "ticks.json")))
        size = os.path.getsize(os.path.join(work, "run.kvxrec"))
        print(f"ticks {ticks}")
        print(f"recording_bytes {size}")
        print(f"recording_bytes_per_tick {size / ticks:.1f}")
        print(f"recording_cpu_ratio {cpu['recording'] / cpu['plain']:.3f}")
        print(f"cpu_ms_plain {cpu['plain'] / 1e6:.0f}")
        print(f"cpu_ms_recording {cpu['recording'] / 1e6:.0f}")

        replayed = os.path.join(work, "replayed.txt")
        r = subprocess.run([os.path.join(args.bin, "KvxDiagnostics"), "--console", "--json", "--replay",
                            os.path.join(work, "run.kvxrec"), "--speed", "60", "--protocol", replayed],
                           capture_output=True, text=True)
        live = open(os.path.join(folder, "ticks.json")).read()
        print(f"replay_seconds_at_60x {ticks / 60:.0f}")
        print(f"replay_same_ticks {int(without_times(r.stdout) == without_times(live))}")
        print(f"replay_same_protocol {int(open(replayed, 'rb').read() == open(os.path.join(folder, 'DiagProtocol.txt'), 'rb').read())}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
