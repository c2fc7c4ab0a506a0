#!/usr/bin/env python3
"""Whole-process figures of the monitor against the simulator daemon.

  process_figures.py BIN_DIR SCENARIO_DIR [--cpu-seconds N] [--runs N] [--details DIR]

Start-up with the window: from the start of the process to the first time it
draws into its window on an X server (Xvfb, seen through the X Damage
extension by BIN_DIR/first_paint), against an empty Qt window measured the
same way; interleaved runs, medians. Also without the two 10 ms waits of the
went-online steps (BIN_DIR/skip_waits.so preloaded). Headless start-up: to the
end of the first tick, which writes the protocol file's second block (the
start writes the first, "Diagnostic Program opened!"), against the empty
window's first paint on the offscreen platform. The window's end of the first
tick is printed as information.
Remote start-up: the headless monitor on the web services of a daemon that
delays every driver answer by L = 100 ms, to the end of its first tick, and
the driver requests (round trips) it took. CPU share: CPU time of all threads
(from /proc/PID/task/*/schedstat, in nanoseconds) over wall time while
monitoring at 1 Hz, headless and with the window (offscreen platform).
Memory: resident size of the program with its window against the empty
window's, on the offscreen platform and on Xvfb; with --details, where the
difference lies (/proc/PID/smaps, per mapped file). Prints one "name value"
line per figure.
"""
import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import tempfile
import time
import urllib.request

from proc_figures import cpu_ns, rss_kb, rss_by_mapping_kb


# The link delay of the remote start-up figure, in ms.
REMOTE_L_MS = 100








def start_xvfb():
    """A bare X server (no window manager) on a free display; (process, env) or None."""
    if not shutil.which("Xvfb"):
        return None
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1920x1200x24", "-nolisten",
                             "tcp", "-noreset"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        display = f.readline().strip()
    if not display:
        stop(proc)
        return None
    return proc, ":" + display


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

    def __init__(self, bin_dir, scenario, daemon_args=()):
        self.dir = tempfile.mkdtemp(prefix="kvx-bench-")
        self.bin = os.path.join(self.dir, "bin")
        os.makedirs(self.bin)
        # The program with its plugins (the window, the metrics server) beside it.
        for name in ("KvxDiagnostics", "kvxg3.dll", "kvxg3X.DLL", "libkvxdiag_window.so", "libkvxdiag_metrics.so",
                     "libkvxdiag_metrics_tls.so"):
            shutil.copy2(os.path.join(bin_dir, name), self.bin)
        self.socket = os.path.join(self.dir, "sim.sock")
        port_file = os.path.join(self.dir, "port")
        self.sim = subprocess.Popen(
            [os.path.join(bin_dir, "kvxsim"), "--scenario", scenario, "--socket", self.socket,
             "--port-file", port_file, "--quiet", *daemon_args],
            stdout=subprocess.DEVNULL)
        for _ in range(400):
            if os.path.exists(self.socket) and os.path.exists(port_file):
                break
            time.sleep(0.01)
        with open(port_file) as f:
            self.port = int(f.read())
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

    def monitor(self, args, protocol, env=None):
        self.settings(protocol)
        return subprocess.Popen([os.path.join(self.bin, "KvxDiagnostics")] + args, cwd=self.dir,
                                env=env or self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def requests(self):
        """Driver requests the daemon has answered so far."""
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/kvxg3/v1/requests") as r:
            return int(r.read())

    def close(self):
        stop(self.sim)
        shutil.rmtree(self.dir, ignore_errors=True)


# A block of the protocol file starts with its date and time.
BLOCK_HEAD = re.compile(rb"(?m)^\d{4}/\d\d/\d\d - \d\d:\d\d:\d\d:")


def blocks(path):
    try:
        with open(path, "rb") as f:
            return len(BLOCK_HEAD.findall(f.read()))
    except OSError:
        return 0


def first_tick_seconds(rig, args, run, env=None):
    """Process start to the end of the first tick: the start writes the program's
    opening block, the first tick the next one."""
    protocol = os.path.join(rig.dir, f"protocol-{run}.txt")
    start = time.perf_counter()
    proc = rig.monitor(args, protocol, env)
    while blocks(protocol) < 2:
        if proc.poll() is not None or time.perf_counter() - start > 30:
            raise RuntimeError("the monitor ended or hung before its first tick")
        time.sleep(0.0005)
    elapsed = time.perf_counter() - start
    stop(proc)
    return elapsed


def first_paint_ms(bin_dir, command, env):
    """Process start to its first drawing into its window, measured by first_paint."""
    out = subprocess.run([os.path.join(bin_dir, "first_paint")] + command, env=env, cwd=os.path.dirname(command[0]),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
    if out.returncode != 0:
        raise RuntimeError(f"{command[0]} drew nothing: {out.stderr.strip()}")
    return float(out.stdout.split()[0])


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
    p.add_argument("--runs", type=int, default=9)
    p.add_argument("--details", help="folder for the memory breakdown")
    a = p.parse_args()
    a.bin_dir, a.scenario_dir = os.path.abspath(a.bin_dir), os.path.abspath(a.scenario_dir)

    xvfb = start_xvfb()
    x_env = None

    rig = Rig(a.bin_dir, os.path.join(a.scenario_dir, "kvx2000.scn"))
    if xvfb:
        x_env = dict(rig.env, DISPLAY=xvfb[1])
        x_env.pop("QT_QPA_PLATFORM")
    try:
        # Start-up: runs interleaved, so that both feel the same load. One
        # untimed start first, as an installation has had: the settings file
        # then holds what the program writes back at every start.
        first_tick_seconds(rig, ["--console"], "first")
        empty, window, headless, quick = [], [], [], []
        no_waits = dict(rig.env, LD_PRELOAD=os.path.join(a.bin_dir, "skip_waits.so"))
        for run in range(a.runs):
            empty.append(empty_window_seconds(a.bin_dir, rig.env))
            window.append(first_tick_seconds(rig, [], f"w{run}"))
            headless.append(first_tick_seconds(rig, ["--console"], f"h{run}"))
            quick.append(first_tick_seconds(rig, ["--console"], f"q{run}", no_waits))
        e, w, h = (statistics.median(x) for x in (empty, window, headless))
        print(f"startup_empty_window_ms {e * 1000:.1f}")
        print(f"startup_window_first_tick_ms {w * 1000:.1f}")
        print(f"startup_headless_first_tick_ms {h * 1000:.1f}")
        print(f"startup_headless_ratio {h / e:.2f}")
        q = statistics.median(quick)
        print(f"startup_headless_without_waits_ms {q * 1000:.1f}")
        print(f"startup_headless_without_waits_ratio {q / e:.2f}")

        # The window's first paint on an X server, against the empty window's.
        if xvfb and os.path.exists(os.path.join(a.bin_dir, "first_paint")):
            program = os.path.join(rig.bin, "KvxDiagnostics")
            no_waits = dict(x_env, LD_PRELOAD=os.path.join(a.bin_dir, "skip_waits.so"))
            empty, window, quick = [], [], []
            first_paint_ms(a.bin_dir, [program], x_env)  # untimed, as above
            for run in range(a.runs):
                empty.append(first_paint_ms(a.bin_dir, [os.path.join(a.bin_dir, "empty_window")], x_env))
                rig.settings(os.path.join(rig.dir, f"paint-{run}.txt"))
                window.append(first_paint_ms(a.bin_dir, [program], x_env))
                quick.append(first_paint_ms(a.bin_dir, [program], no_waits))
            e, w, q = (statistics.median(x) for x in (empty, window, quick))
            print(f"paint_empty_window_ms {e:.1f}")
            print(f"paint_window_ms {w:.1f}")
            print(f"paint_window_without_waits_ms {q:.1f}")
            print(f"paint_window_ratio {w / e:.2f}")
            print(f"paint_window_without_waits_ratio {q / e:.2f}")

        # Remote start-up over a slow link: the daemon delays each driver answer.
        slow = Rig(a.bin_dir, os.path.join(a.scenario_dir, "kvx2000.scn"), ["--latency-ms", str(REMOTE_L_MS)])
        try:
            with open(os.path.join(slow.bin, "KvxDiagnostics.INI"), "w") as f:
                f.write(f"[Project data]\nUse Webservices=1\nURL=http://127.0.0.1:{slow.port}\n")
            times, trips = [], []
            for run in range(3):
                before = slow.requests()
                times.append(first_tick_seconds(slow, ["--console"], f"remote{run}"))
                trips.append(slow.requests() - before)
            print(f"remote_startup_ms {statistics.median(times) * 1000:.1f}")
            print(f"remote_startup_round_trips {statistics.median(trips)}")
            print(f"remote_startup_over_L {statistics.median(times) * 1000 / REMOTE_L_MS:.2f}")
        finally:
            slow.close()

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

        # Memory on an X server: the window and the empty window side by side.
        if xvfb:
            window = rig.monitor([], os.path.join(rig.dir, "rss-x.txt"), x_env)
            empty = subprocess.Popen([os.path.join(a.bin_dir, "empty_window")], env=x_env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(3)
            rw, re = rss_kb(window.pid), rss_kb(empty.pid)
            print(f"rss_x_window_kb {rw}")
            print(f"rss_x_empty_window_kb {re}")
            print(f"rss_x_window_ratio {rw / re:.2f}")
            if a.details:
                mw, me = rss_by_mapping_kb(window.pid), rss_by_mapping_kb(empty.pid)
                with open(os.path.join(a.details, "memory-by-mapping.txt"), "w") as f:
                    f.write(f"{'resident kB on Xvfb':<40} {'window':>8} {'empty':>8} {'more':>8}\n")
                    for name in sorted(set(mw) | set(me), key=lambda n: me[n] - mw[n]):
                        if mw[name] != me[name]:
                            f.write(f"{name:<40} {mw[name]:>8} {me[name]:>8} {mw[name] - me[name]:>8}\n")
                    f.write(f"{'total':<40} {sum(mw.values()):>8} {sum(me.values()):>8} "
                            f"{sum(mw.values()) - sum(me.values()):>8}\n")
            for proc in (window, empty):
                stop(proc)
    finally:
        rig.close()
        if xvfb:
            stop(xvfb[0])


if __name__ == "__main__":
    main()
