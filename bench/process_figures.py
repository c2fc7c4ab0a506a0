#!/usr/bin/env python3
"""Whole-process figures of the monitor against the simulator daemon.

  process_figures.py BIN_DIR SCENARIO_DIR [--cpu-seconds N] [--runs N]

Start-up: from the start of the process to the end of its first tick, which
always writes the first block of the protocol file (the first tick raises a
fault class of its own), as a ratio to starting and painting an empty Qt
window. CPU share: CPU time of all threads (from /proc/PID/task/*/schedstat,
in nanoseconds) over wall time while monitoring at 1 Hz, headless and with
the window (offscreen platform). Memory: resident size of the program with
its window, as a ratio to the empty window's. Prints one "name value" line
per figure.
"""
import argparse
import os
import shutil
import signal
import statistics
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
            pass  # a thread that just ended
    return total


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Rig:
    """A folder of its own with the program, both libraries, its settings and a daemon."""

    def __init__(self, bin_dir, scenario):
        self.dir = tempfile.mkdtemp(prefix="kvx-bench-")
        self.bin = os.path.join(self.dir, "bin")
        os.makedirs(self.bin)
        # The program with its plugins (the window, the metrics server) beside it.
        for name in ("KvxDiagnostics", "kvxg3.dll", "kvxg3X.DLL", "libkvxdiag_window.so", "libkvxdiag_metrics.so"):
            shutil.copy2(os.path.join(bin_dir, name), self.bin)
        self.socket = os.path.join(self.dir, "sim.sock")
        port_file = os.path.join(self.dir, "port")
        self.sim = subprocess.Popen(
            [os.path.join(bin_dir, "kvxsim"), "--scenario", scenario, "--socket", self.socket,
             "--port-file", port_file, "--quiet"],
            stdout=subprocess.DEVNULL)
        for _ in range(400):
            if os.path.exists(self.socket) and os.path.exists(port_file):
                break
            time.sleep(0.01)
        self.env = dict(os.environ, KVXSIM_SOCKET=self.socket, XDG_CONFIG_HOME=os.path.join(self.dir, "config"),
                        QT_QPA_PLATFORM="offscreen")
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)

    def settings(self, protocol):
        """Points the protocol at `protocol`, keeping what earlier runs wrote to the settings file."""
        path = os.path.join(self.bin, "KvxDiagnostics.INI")
        lines = []
        if os.path.exists(path):
            with open(path) as f:
                lines = [l for l in f.read().splitlines() if not l.startswith(("[PROTOCOL]", "FileName="))]
        with open(path, "w") as f:
            f.write(f"[PROTOCOL]\nFileName={protocol}\n" + "".join(l + "\n" for l in lines))

    def monitor(self, args, protocol):
        self.settings(protocol)
        return subprocess.Popen([os.path.join(self.bin, "KvxDiagnostics")] + args, cwd=self.dir, env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def close(self):
        stop(self.sim)
        shutil.rmtree(self.dir, ignore_errors=True)


def first_tick_seconds(rig, args, run):
    protocol = os.path.join(rig.dir, f"protocol-{run}.txt")
    start = time.perf_counter()
    proc = rig.monitor(args, protocol)
    while not (os.path.exists(protocol) and os.path.getsize(protocol) > 0):
        if proc.poll() is not None or time.perf_counter() - start > 30:
            raise RuntimeError("the monitor ended or hung before its first tick")
        time.sleep(0.0005)
    elapsed = time.perf_counter() - start
    stop(proc)
    return elapsed


def empty_window_seconds(bin_dir, env):
    start = time.perf_counter()
    proc = subprocess.Popen([os.path.join(bin_dir, "empty_window"), "--exit"], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    proc.stdout.readline()
    elapsed = time.perf_counter() - start
    proc.wait()
    return elapsed


def main():
    p = argparse.ArgumentParser()
    p.add_argument("bin_dir")
    p.add_argument("scenario_dir")
    p.add_argument("--cpu-seconds", type=float, default=60)
    p.add_argument("--runs", type=int, default=7)
    a = p.parse_args()

    rig = Rig(a.bin_dir, os.path.join(a.scenario_dir, "kvx2000.scn"))
    try:
        # Start-up: runs interleaved, so that both feel the same load. One
        # untimed start first, as an installation has had: the settings file
        # then holds what the program writes back at every start.
        first_tick_seconds(rig, ["--console"], "first")
        empty, window, headless = [], [], []
        for run in range(a.runs):
            empty.append(empty_window_seconds(a.bin_dir, rig.env))
            window.append(first_tick_seconds(rig, [], f"w{run}"))
            headless.append(first_tick_seconds(rig, ["--console"], f"h{run}"))
        e, w, h = (statistics.median(x) for x in (empty, window, headless))
        print(f"startup_empty_window_ms {e * 1000:.1f}")
        print(f"startup_window_first_tick_ms {w * 1000:.1f}")
        print(f"startup_headless_first_tick_ms {h * 1000:.1f}")
        print(f"startup_window_ratio {w / e:.2f}")
        print(f"startup_headless_ratio {h / e:.2f}")

        # CPU share and memory: headless, window and the empty window side by side.
        headless = rig.monitor(["--console"], os.path.join(rig.dir, "cpu-headless.txt"))
        window = rig.monitor([], os.path.join(rig.dir, "cpu-window.txt"))
        empty = subprocess.Popen([os.path.join(a.bin_dir, "empty_window")], env=rig.env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        time.sleep(3)  # past the start-up and the first ticks
        t0 = time.monotonic_ns()
        c0 = {p.pid: cpu_ns(p.pid) for p in (headless, window)}
        time.sleep(a.cpu_seconds)
        t1 = time.monotonic_ns()
        c1 = {p.pid: cpu_ns(p.pid) for p in (headless, window)}
        wall = t1 - t0
        print(f"cpu_seconds {wall / 1e9:.1f}")
        print(f"cpu_share_headless_percent {(c1[headless.pid] - c0[headless.pid]) * 100 / wall:.4f}")
        print(f"cpu_share_window_percent {(c1[window.pid] - c0[window.pid]) * 100 / wall:.4f}")
        rw, re = rss_kb(window.pid), rss_kb(empty.pid)
        print(f"rss_window_kb {rw}")
        print(f"rss_headless_kb {rss_kb(headless.pid)}")
        print(f"rss_empty_window_kb {re}")
        print(f"rss_window_ratio {rw / re:.2f}")
        for proc in (headless, window, empty):
            stop(proc)
    finally:
        rig.close()


if __name__ == "__main__":
    main()
