#!/usr/bin/env python3
"""Figures of the flight recorder on the lively scenario.

  recording_figures.py BIN_DIR SCENARIO [--seconds N]

A headless monitor watches one simulated controller at 1 Hz for N seconds
(default 600) with --json and --record. Prints, one "name value" line each:
the recording's bytes per tick as measured, and scaled to an hour of the
same scenario (the run's start, written once, spread over 3600 ticks, plus
the steady ticks' bytes each); and whether the recording, replayed at 60x,
gave the same ticks (--json, tick for tick) and the same protocol file, byte
for byte.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

HEADER = 12  # magic and version


def frames(data):
    """(start, end) of each frame after the header."""
    at, out = HEADER, []
    while at < len(data):
        length, shift, p = 0, 0, at
        while True:
            b = data[p]
            p += 1
            length |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                break
        out.append((at, p + length + 4))
        at = p + length + 4
    return out


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
        folder = os.path.join(work, "proof")
        os.makedirs(os.path.join(folder, "bin"))
        for f in ("KvxDiagnostics", "kvxg3.dll"):
            shutil.copy(os.path.join(args.bin, f), os.path.join(folder, "bin", f))
        rec = os.path.join(work, "run.kvxrec")
        with open(os.path.join(folder, "ticks.json"), "w") as out:
            proc = subprocess.Popen([os.path.join(folder, "bin", "KvxDiagnostics"), "--console", "--json",
                                     "--record", rec], cwd=folder, stdout=out, stderr=subprocess.DEVNULL,
                                    env=dict(os.environ, KVXSIM_SOCKET=socket))
            time.sleep(args.seconds)
            proc.send_signal(signal.SIGTERM)
            proc.wait()
        sim.send_signal(signal.SIGTERM)
        sim.wait()

        ticks = sum(1 for _ in open(os.path.join(folder, "ticks.json")))
        data = open(rec, "rb").read()
        spans = frames(data)
        start = spans[1][1]  # header, the run's start information and the start segment
        per_steady_tick = (len(data) - start) / max(1, ticks - 1)
        print(f"ticks {ticks}")
        print(f"recording_bytes {len(data)}")
        print(f"recording_start_bytes {start}")
        print(f"recording_bytes_per_tick {len(data) / ticks:.1f}")
        print(f"recording_bytes_per_tick_hour {(start + per_steady_tick * 3599) / 3600:.1f}")

        replayed = os.path.join(work, "replayed.txt")
        r = subprocess.run([os.path.join(args.bin, "KvxDiagnostics"), "--console", "--json", "--replay", rec,
                            "--speed", "60", "--protocol", replayed], capture_output=True, text=True)
        live = open(os.path.join(folder, "ticks.json")).read()
        print(f"replay_seconds_at_60x {ticks / 60:.0f}")
        print(f"replay_same_ticks {int(without_times(r.stdout) == without_times(live))}")
        print(f"replay_same_protocol {int(open(replayed, 'rb').read() == open(os.path.join(folder, 'DiagProtocol.txt'), 'rb').read())}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
