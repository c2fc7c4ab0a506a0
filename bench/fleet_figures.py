#!/usr/bin/env python3
"""Fleet figures: many monitor instances against one simulator serving as many
controllers, at 1 Hz, collected by a real Prometheus and alerted on by a real
Alertmanager, as docs/fleet.md describes.

  fleet_figures.py BIN_DIR ALERT_RULES [--instances N] [--cpu-seconds S]
                   [--evaluation-seconds E] [--trials T] [--flapping F]
                   [--base-port P] [--tls] [--remote-write]

The simulator serves N controllers from the shipped scenarios in turn, the
lively one on every tenth. Each instance is started as the template unit
kvxdiagnostics@.service starts it: the unit file's ExecStart, Environment and
EnvironmentFile with its own settings file (NAME.ini) and options file
(NAME.env, its metrics on 127.0.0.1:P+i), in its own state folder, under the
1,024 descriptors a service gets by default. All N are started at once, as
`systemctl start kvxdiagnostics@c{1..N}` does (the start storm), and the
target file Prometheus reads is generated from the instance list.

Figures, each beside its target where it has one:
- start storm: from the first start to each instance's first tick, and how
  many failed (ended, reported an error or found the controller offline);
- CPU: all monitors together, the simulator, Prometheus and Alertmanager
  (CPU time of every thread over wall time, as a share of one core);
- memory per monitor: proportional share (Pss) and what it alone holds
  (private pages), resident size beside them;
- scrape durations over the CPU window, as Prometheus recorded them;
- alert: from `kvxsimctl inject` into controller c777 (c(0.777 N) in a
  smaller fleet) to the webhook receiving KvxFaultClassRaised for it, first
  with the fleet as it is, then while F other controllers flap (a fault
  injected and cleared every evaluation interval); the tick that saw the
  fault came after the injection, so this bounds the time from that tick;
- alerts for any controller that was not touched (neither lively, flapping
  nor c777): none expected.

With --tls every monitor serves its metrics over TLS with basic
authentication (a web configuration with the test certificate of
tests/metrics/tls), and Prometheus scrapes with the credentials.

With --remote-write a Prometheus in agent mode scrapes the instances and
writes to a central Prometheus (--web.enable-remote-write-receiver) that
holds the rules and alerts; the remote-write delay (a sample's arrival in the
central one after its scrape) is measured too.
"""
import argparse
import http.server
import json
import os
import re
import resource
import shlex
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.parse
import urllib.request

from proc_figures import cpu_ns, memory_kb, rss_by_mapping_kb

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
TLS_DIR = os.path.join(ROOT, "tests", "metrics", "tls")
UNIT = os.path.join(ROOT, "packaging", "kvxdiagnostics@.service.in")
EXAMPLE_OPTIONS = os.path.join(ROOT, "packaging", "examples", "c17.env")
# The user prometheus with the password s3cret (htpasswd -nbBC 4).
USER_HASH = "$2y$04$CsatAQ.FUJUQlgnyrnaUqOzFKoyT8z2XhIWG0PqDvJmrLr98yqCmG"
# The controllers take these in turn: the lively scenario on every tenth.
SCENARIO_MIX = ["kvx2000", "kvx2100", "kvx4000", "kvx2400"] * 2 + ["kvx2000", "lively"]
# What systemd gives a service unless its unit raises it.
SERVICE_DESCRIPTORS = 1024


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100 * len(values)))] if values else float("nan")


class UnitTemplate:
    """kvxdiagnostics@.service as systemd reads it, for an instance NAME:
    the command, environment and working folder it starts the program with."""

    def __init__(self, program, etc, state_root):
        self.lines = []
        with open(UNIT) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                if key in ("ExecStart", "Environment", "EnvironmentFile", "WorkingDirectory", "StateDirectory"):
                    self.lines.append((key, value))
        self.program, self.etc, self.state_root = program, etc, state_root

    def _expand(self, text, name):
        return (text.replace("@KVX_PROGRAM@", self.program).replace("/etc/kvxdiagnostics", self.etc)
                .replace("%S", self.state_root).replace("%i", name))

    def start(self, name):
        env, argv, cwd = dict(os.environ), [], None
        for key, value in self.lines:
            value = self._expand(value, name)
            if key == "Environment":
                k, _, v = value.partition("=")
                env[k] = v
            elif key == "EnvironmentFile":
                path = value.lstrip("-")
                if os.path.exists(path):
                    with open(path) as f:
                        for line in f:
                            k, sep, v = line.strip().partition("=")
                            if sep and not k.startswith("#"):
                                env[k] = v
            elif key == "StateDirectory":
                os.makedirs(os.path.join(self.state_root, value), exist_ok=True)
            elif key == "WorkingDirectory":
                cwd = value
            elif key == "ExecStart":
                for word in shlex.split(value):
                    # An unbraced $VAR stands for its value split at white space.
                    argv += env.get(word[1:], "").split() if word.startswith("$") else [word]
        return argv, env, cwd


def user_system_ticks(pid):
    """(user, kernel) CPU time of all threads of PID, in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]), int(fields[12])


def counts(pid):
    """(open descriptors, threads) of PID."""
    return len(os.listdir(f"/proc/{pid}/fd")), len(os.listdir(f"/proc/{pid}/task"))


def instance_options(address, web_config):
    """The packaged example's KVX_OPTIONS with this instance's metrics address,
    and its web configuration only when `web_config` names one."""
    with open(EXAMPLE_OPTIONS) as f:
        words = re.search(r"^KVX_OPTIONS=(.*)$", f.read(), re.M).group(1).split()
    options = []
    for option, value in zip(words[::2], words[1::2]):
        if "address" in option:
            options += [option, address]
        elif "web" in option and "config" in option:
            options += [option, web_config] if web_config else []
        else:
            options += [option, value]
    return " ".join(options)


class Webhook(http.server.BaseHTTPRequestHandler):
    alerts = []  # (time received, status, alertname, controller)
    lock = threading.Lock()

    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        now = time.time()
        with Webhook.lock:
            for a in body.get("alerts", []):
                Webhook.alerts.append((now, a["status"], a["labels"].get("alertname"), a["labels"].get("controller")))
        self.send_response(200)
        self.end_headers()

    def log_message(self, *args):
        pass


def wait_for(predicate, limit, step=0.1):
    deadline = time.time() + limit
    while time.time() < deadline:
        result = predicate()
        if result:
            return result
        time.sleep(step)
    return None


class Flapper(threading.Thread):
    """Injects and clears a fault in each of `names` every `period` seconds,
    their phases spread over the period, by control requests to the simulator."""

    def __init__(self, sim_url, names, period):
        super().__init__(daemon=True)
        self.sim_url, self.names, self.period = sim_url, names, period
        self.stop = threading.Event()

    def control(self, name, words):
        body = json.dumps({"op": "control", "words": words}).encode()
        request = urllib.request.Request(f"{self.sim_url}/{name}/kvxg3/v1/call", body,
                                         {"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=5) as r:
            r.read()

    def run(self):
        step, verb, i = self.period / max(1, len(self.names)), "inject", 0
        while self.names and not self.stop.wait(step):
            self.control(self.names[i], [verb, "emergency-out", "axis", "1"])
            i += 1
            if i == len(self.names):
                i, verb = 0, "clear" if verb == "inject" else "inject"

    def end(self):
        self.stop.set()
        self.join()
        for name in self.names:
            self.control(name, ["clear", "emergency-out", "axis", "1"])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bin_dir")
    ap.add_argument("alert_rules")
    ap.add_argument("--instances", type=int, default=100)
    ap.add_argument("--cpu-seconds", type=int, default=60)
    ap.add_argument("--evaluation-seconds", type=int, default=5)
    ap.add_argument("--trials", type=int, default=3)
    ap.add_argument("--flapping", type=int, help="controllers that flap during the second trials (default N/10)")
    ap.add_argument("--base-port", type=int, default=23000, help="instance i serves its metrics on BASE+i")
    ap.add_argument("--tls", action="store_true", help="serve and scrape over TLS with basic authentication")
    ap.add_argument("--remote-write", action="store_true",
                    help="an agent scrapes, a central Prometheus receives by remote write and holds the rules")
    args = ap.parse_args()
    n, e = args.instances, args.evaluation_seconds
    flapping = n // 10 if args.flapping is None else args.flapping
    bin_dir = os.path.abspath(args.bin_dir)
    procs = []
    names = [f"c{i}" for i in range(1, n + 1)]
    target = f"c{max(1, n * 777 // 1000)}"
    mix = SCENARIO_MIX[:n]
    lively = {name for i, name in enumerate(names) if mix[i % len(mix)] == "lively"}
    flappers = [name for name in names if name not in lively and name != target][:flapping]
    for port in range(args.base_port + 1, args.base_port + n + 1):
        with socket.socket() as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as the monitor binds
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                raise SystemExit(f"port {port} is taken: choose another --base-port")
    work = tempfile.mkdtemp(prefix="kvx-fleet-bench-")  # after the checks: removed by the end below
    # Every process started from here gets a service's descriptor limit.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(SERVICE_DESCRIPTORS, soft), hard))

    def spawn(argv, cwd=work, out=None, err=None, env=None):
        with open(out or os.devnull, "w") as o, open(err or os.devnull, "w") as r:
            p = subprocess.Popen(argv, cwd=cwd, stdout=o, stderr=r, env=env)
        procs.append(p)
        return p

    def query(port, expr):
        q = urllib.parse.urlencode({"query": expr})
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/api/v1/query?{q}", timeout=10) as r:
                return json.load(r)["data"]["result"]
        except OSError:
            return []

    try:
        # The simulator, as a service.
        port_file = os.path.join(work, "port")
        scenario_args = []
        for scenario in mix:
            scenario_args += ["--scenario", os.path.join(ROOT, "scenarios", scenario + ".scn")]
        sim = spawn([os.path.join(bin_dir, "kvxsim"), "--socket", os.path.join(work, "sim.sock"),
                     "--controllers", str(n), "--port-file", port_file, "--quiet"] + scenario_args,
                    err=os.path.join(work, "sim.err"))
        wait_for(lambda: os.path.exists(port_file) and open(port_file).read().strip(), 30)
        sim_url = f"http://127.0.0.1:{int(open(port_file).read())}"

        # One settings file, one options file and one state folder per instance.
        etc, state_root = os.path.join(work, "etc"), os.path.join(work, "var", "lib")
        os.makedirs(etc)
        if args.tls:
            with open(os.path.join(etc, "web.yml"), "w") as f:
                f.write(f"tls_server_config:\n  cert_file: {TLS_DIR}/server.crt\n  key_file: {TLS_DIR}/server.key\n"
                        f"basic_auth_users:\n  prometheus: {USER_HASH}\n")
        for i, name in enumerate(names, 1):
            with open(os.path.join(etc, name + ".ini"), "w") as f:
                f.write(f"[Project data]\nUse Webservices=1\nURL={sim_url}/{name}\n")
            with open(os.path.join(etc, name + ".env"), "w") as f:
                options = instance_options(f"127.0.0.1:{args.base_port + i}", args.tls and f"{etc}/web.yml")
                f.write(f"KVX_OPTIONS={options}\n")
        unit = UnitTemplate(os.path.join(bin_dir, "KvxDiagnostics"), etc, state_root)

        # The start storm: every instance at once.
        monitors, logs, started = {}, {}, {}
        t0 = time.monotonic()
        for name in names:
            argv, env, cwd = unit.start(name)
            logs[name] = (os.path.join(cwd, "console.out"), os.path.join(cwd, "console.err"))
            started[name] = time.monotonic()
            monitors[name] = spawn(argv, cwd=cwd, out=logs[name][0], err=logs[name][1], env=env)
        spawned = time.monotonic() - t0
        first_tick, failed = {}, {}
        while len(first_tick) + len(failed) < n and time.monotonic() - t0 < 120:
            for name in names:
                if name in first_tick or name in failed:
                    continue
                if monitors[name].poll() is not None:
                    failed[name] = f"ended with {monitors[name].returncode}"
                elif os.path.getsize(logs[name][0]):
                    with open(logs[name][0]) as f:
                        text = f.read()
                    if "-- tick 1:" in text:
                        first_tick[name] = time.monotonic()
                        if "Online Mode" not in text.split("-- tick 1:")[0]:
                            failed[name] = "offline at its first tick"
            time.sleep(0.1)
        for name in names:
            with open(logs[name][1]) as f:
                said = [line for line in f.read().splitlines() if "metrics on " not in line]
            if said and name not in failed:
                failed[name] = said[0]
        all_ticking = max(first_tick.values(), default=float("nan")) - t0
        own_start = [first_tick[name] - started[name] for name in first_tick]

        hook_port = free_port()
        hook = http.server.ThreadingHTTPServer(("127.0.0.1", hook_port), Webhook)
        threading.Thread(target=hook.serve_forever, daemon=True).start()
        am_port, prom_port = free_port(), free_port()
        with open(os.path.join(work, "alertmanager.yml"), "w") as f:
            f.write("route:\n  receiver: bench\n  group_by: [alertname, controller]\n  group_wait: 0s\n"
                    "  group_interval: 1s\n  repeat_interval: 1h\nreceivers:\n  - name: bench\n"
                    f"    webhook_configs:\n      - url: http://127.0.0.1:{hook_port}/\n        send_resolved: true\n")
        am = spawn(["prometheus-alertmanager", "--config.file=" + os.path.join(work, "alertmanager.yml"),
                    "--storage.path=" + os.path.join(work, "am"), f"--web.listen-address=127.0.0.1:{am_port}",
                    "--cluster.listen-address=", "--log.level=warn"], err=os.path.join(work, "am.log"))
        # The target list, generated from the instances' options files.
        targets = []
        for name in names:
            with open(os.path.join(etc, name + ".env")) as f:
                targets.append(re.search(r" (127\.0\.0\.1:\d+)", f.read()).group(1))
        with open(os.path.join(work, "targets.json"), "w") as f:
            json.dump([{"targets": targets}], f)
        scrape = ("scrape_configs:\n  - job_name: kvxdiagnostics\n"
                  + (f"    scheme: https\n    tls_config:\n      ca_file: {TLS_DIR}/server.crt\n"
                     "    basic_auth:\n      username: prometheus\n      password: s3cret\n" if args.tls else "")
                  + f"    file_sd_configs:\n      - files: ['{os.path.join(work, 'targets.json')}']\n")
        rules = (f"rule_files:\n  - {os.path.abspath(args.alert_rules)}\n"
                 f"alerting:\n  alertmanagers:\n    - static_configs:\n        - targets: ['127.0.0.1:{am_port}']\n")
        timing = f"global:\n  scrape_interval: {e}s\n  evaluation_interval: {e}s\n"
        central_port = prom_port
        if args.remote_write:
            central_port, agent_port = prom_port, free_port()
            with open(os.path.join(work, "central.yml"), "w") as f:
                f.write(timing + rules)
            central = spawn(["prometheus", "--config.file=" + os.path.join(work, "central.yml"),
                             "--storage.tsdb.path=" + os.path.join(work, "central"),
                             "--web.enable-remote-write-receiver",
                             f"--web.listen-address=127.0.0.1:{central_port}", "--log.level=warn"],
                            err=os.path.join(work, "central.log"))
            with open(os.path.join(work, "agent.yml"), "w") as f:
                f.write(timing + scrape + "remote_write:\n"
                        f"  - url: http://127.0.0.1:{central_port}/api/v1/write\n")
            prom = spawn(["prometheus", "--enable-feature=agent", "--config.file=" + os.path.join(work, "agent.yml"),
                          "--storage.agent.path=" + os.path.join(work, "agent"),
                          f"--web.listen-address=127.0.0.1:{agent_port}", "--log.level=warn"],
                         err=os.path.join(work, "agent.log"))
            collectors = {"prometheus_agent": prom, "prometheus_central": central}
        else:
            with open(os.path.join(work, "prometheus.yml"), "w") as f:
                f.write(timing + rules + scrape)
            prom = spawn(["prometheus", "--config.file=" + os.path.join(work, "prometheus.yml"),
                          "--storage.tsdb.path=" + os.path.join(work, "tsdb"),
                          f"--web.listen-address=127.0.0.1:{prom_port}", "--log.level=warn"],
                         err=os.path.join(work, "prometheus.log"))
            collectors = {"prometheus": prom}

        def up_count():
            result = query(central_port, 'count(up{job="kvxdiagnostics"} == 1)')
            return int(result[0]["value"][1]) if result else 0
        if not wait_for(lambda: up_count() == n, 120, 1):
            raise SystemExit(f"only {up_count()} of {n} instances are up in Prometheus")
        time.sleep(2 * e)  # past the first scrapes and evaluations

        before = {name: cpu_ns(p.pid) for name, p in monitors.items()}
        ticks_before = [user_system_ticks(p.pid) for p in monitors.values()]
        others = {label: (p, cpu_ns(p.pid)) for label, p in
                  [("kvxsim", sim), ("alertmanager", am)] + list(collectors.items())}
        t1 = time.monotonic()
        time.sleep(args.cpu_seconds)
        wall = time.monotonic() - t1
        share = sum(cpu_ns(p.pid) - before[name] for name, p in monitors.items()) / 1e9 / wall
        ticks_after = [user_system_ticks(p.pid) for p in monitors.values()]
        user = sum(a[0] - b[0] for a, b in zip(ticks_after, ticks_before))
        kernel = sum(a[1] - b[1] for a, b in zip(ticks_after, ticks_before))
        load = open("/proc/loadavg").read().split()[0]
        other_shares = {label: (cpu_ns(p.pid) - ns) / 1e9 / wall for label, (p, ns) in others.items()}
        mem = [memory_kb(p.pid) for p in monitors.values()]
        mappings = sorted(rss_by_mapping_kb(monitors["c1"].pid).items(), key=lambda item: -item[1])
        durations = [float(v) for series in
                     query(central_port, f'scrape_duration_seconds{{job="kvxdiagnostics"}}[{int(wall)}s]')
                     for _, v in series["values"]]
        # The series the central Prometheus holds, from its own metrics:
        # counting the fleet's by a selector costs a thousand-target
        # Prometheus more than a query may take.
        with urllib.request.urlopen(f"http://127.0.0.1:{central_port}/metrics", timeout=10) as r:
            head = re.search(r"^prometheus_tsdb_head_series (\S+)$", r.read().decode(), re.M)
        series_per_controller = float(head.group(1)) / n if head else float("nan")
        collector_rss = {label: memory_kb(p.pid)[0] for label, p in collectors.items()}

        delays = []
        if args.remote_write:
            # A sample's arrival in the central Prometheus after its scrape.
            expr = f'timestamp(kvx_last_tick_timestamp_seconds{{controller="{names[0]}"}})'
            last = None
            deadline = time.time() + 6 * e
            while time.time() < deadline:
                result = query(central_port, expr)
                stamp = float(result[0]["value"][1]) if result else None
                if last is not None and stamp is not None and stamp != last:
                    delays.append(time.time() - stamp)
                last = stamp
                time.sleep(0.05)

        ctl = os.path.join(bin_dir, "kvxsimctl")

        def alert_after_injection():
            start = time.time()
            subprocess.run([ctl, "--url", f"{sim_url}/{target}", "inject", "emergency-out", "axis", "1"],
                           check=True, stdout=subprocess.DEVNULL)
            fired = wait_for(lambda: [a for a in Webhook.alerts if a[0] >= start and a[1] == "firing"
                                      and a[2] == "KvxFaultClassRaised" and a[3] == target], 60)
            subprocess.run([ctl, "--url", f"{sim_url}/{target}", "clear", "emergency-out", "axis", "1"],
                           check=True, stdout=subprocess.DEVNULL)
            resolved_after = time.time()
            wait_for(lambda: [a for a in Webhook.alerts if a[0] >= resolved_after and a[1] == "resolved"
                              and a[3] == target], 60)
            return fired[0][0] - start if fired else float("inf")

        quiet = [alert_after_injection() for _ in range(args.trials)]
        flapper = Flapper(sim_url, flappers, e)
        flapper.start()
        time.sleep(2 * e)  # the flapping alerts under way
        busy = [alert_after_injection() for _ in range(args.trials)]
        flapper.end()
        touched = lively | set(flappers) | {target}
        untouched = sorted({a[3] for a in Webhook.alerts} - touched, key=str)
        monitor_alerts = [a for a in Webhook.alerts if a[2] in ("KvxMonitorDown", "KvxMonitorStale")]

        print(f"instances {n}, controllers lively {len(lively)}, flapping {len(flappers)}, fault injected into {target}"
              + (" (metrics over TLS with basic authentication)" if args.tls else "")
              + (" (agent and central Prometheus, remote write)" if args.remote_write else ""))
        print(f"start_storm_spawned_s {spawned:.2f}")
        print(f"start_storm_all_ticking_s {all_ticking:.2f}   target <= 60 (from the first start)")
        print(f"start_to_first_tick_s p50 {percentile(own_start, 50):.2f} p99 {percentile(own_start, 99):.2f} "
              f"max {max(own_start, default=float('nan')):.2f}")
        print(f"start_storm_failed {len(failed)}   target 0" +
              "".join(f"\n  {name}: {why}" for name, why in sorted(failed.items())[:10]))
        print(f"cpu_share_all_monitors_percent_of_one_core {100 * share:.2f}   target <= 50")
        print(f"cpu_per_monitor_percent_of_one_core {100 * share / n:.3f}; "
              f"{100 * user / max(1, user + kernel):.0f} % user, {100 * kernel / max(1, user + kernel):.0f} % kernel; "
              f"load average {load} at the window's end")
        for label, value in other_shares.items():
            print(f"cpu_{label}_percent_of_one_core {100 * value:.2f}")
        print(f"pss_per_monitor_mb mean {sum(m[1] for m in mem) / n / 1024:.2f} max {max(m[1] for m in mem) / 1024:.2f}"
              "   target <= 1")
        print(f"private_per_monitor_mb mean {sum(m[2] for m in mem) / n / 1024:.2f} "
              f"max {max(m[2] for m in mem) / 1024:.2f}")
        print(f"rss_per_monitor_mb mean {sum(m[0] for m in mem) / n / 1024:.2f} max {max(m[0] for m in mem) / 1024:.2f}")
        print("rss_of_c1_by_mapping_kb " + ", ".join(f"{name} {kb}" for name, kb in mappings[:8]))
        print(f"scrape_duration_ms samples {len(durations)} p50 {1e3 * percentile(durations, 50):.1f} "
              f"p90 {1e3 * percentile(durations, 90):.1f} p99 {1e3 * percentile(durations, 99):.1f} "
              f"max {1e3 * max(durations, default=float('nan')):.1f}   target p99 < 100")
        print(f"head_series_per_controller {series_per_controller:.1f} (all the Prometheus holds, alert states too)")
        for label, kb in collector_rss.items():
            print(f"rss_{label}_mb {kb / 1024:.0f}")
        print(f"rss_kvxsim_mb {memory_kb(sim.pid)[0] / 1024:.1f}")
        print(f"descriptors_and_threads per monitor max {max(counts(p.pid)[0] for p in monitors.values())} "
              f"{max(counts(p.pid)[1] for p in monitors.values())}, kvxsim {counts(sim.pid)[0]} {counts(sim.pid)[1]}, "
              + ", ".join(f"{label} {counts(p.pid)[0]} {counts(p.pid)[1]}" for label, p in collectors.items()))
        if args.remote_write:
            print(f"remote_write_delay_s samples {len(delays)} p50 {percentile(delays, 50):.2f} "
                  f"max {max(delays, default=float('nan')):.2f}")
        bound = 2 * e + (max(delays, default=0) if args.remote_write else 0)
        print(f"evaluation_interval_s {e}")
        print(f"alert_after_injection_s " + " ".join(f"{x:.2f}" for x in quiet) +
              f"   target <= {bound:.1f} (2 evaluation intervals" + (" + remote-write delay)" if args.remote_write else ")"))
        print(f"alert_after_injection_while_{len(flappers)}_flap_s " + " ".join(f"{x:.2f}" for x in busy) +
              f"   target <= {bound:.1f}")
        print(f"alerts_for_untouched_controllers {len(untouched)} {' '.join(map(str, untouched[:10]))}   target 0")
        print(f"alerts_monitor_down_or_stale {len(monitor_alerts)}   target 0")
        print(f"alerts_delivered {len(Webhook.alerts)}")
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
