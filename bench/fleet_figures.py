#!/usr/bin/env python3
"""Fleet figures: many monitor instances against one simulator serving as many
controllers, at 1 Hz, collected by a real Prometheus and alerted on by a real
Alertmanager, as docs/fleet.md describes.

  fleet_figures.py BIN_DIR ALERT_RULES [--instances N] [--cpu-seconds S]
                   [--evaluation-seconds E] [--trials T] [--tls]

With --tls every monitor serves its metrics over TLS with basic
authentication (a web configuration with the test certificate of
tests/history/tls), and Prometheus scrapes with the credentials.

CPU: CPU time of every thread of all monitors (/proc/PID/task/*/schedstat)
over wall time, as a share of one core, while Prometheus scrapes each of them
every E seconds. Memory per monitor: resident size (VmRSS), its proportional
share (Pss, shared library pages divided among the processes that map them)
and what it alone holds (Private_Clean + Private_Dirty). Alert: from the
moment a fault is injected into one controller to the webhook receiving
KvxFaultClassRaised for it; the tick that saw the fault came after the
injection, so this bounds the time from that tick. Prints one "name value"
line per figure and the targets.
"""
import argparse
import http.server
import json
import os
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.parse
import urllib.request

from proc_figures import cpu_ns, memory_kb, rss_by_mapping_kb

TLS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "history", "tls")
# The user prometheus with the password s3cret (htpasswd -nbBC 4).
USER_HASH = "$2y$04$CsatAQ.FUJUQlgnyrnaUqOzFKoyT8z2XhIWG0PqDvJmrLr98yqCmG"

SCENARIO = ("[card 0]\nboard_type = 4\naxes = 2\noption 62 = 0x05\noption 63 = -1\n"
            "[axis 1]\nlimit = 5\n[axis 2]\nlimit = 5\n[task 0]\nfile = MAIN.QSL\nstate = 1\n")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]




def user_system_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]), int(fields[12])  # utime, stime of all threads, in clock ticks






def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bin_dir")
    ap.add_argument("alert_rules")
    ap.add_argument("--instances", type=int, default=100)
    ap.add_argument("--cpu-seconds", type=int, default=60)
    ap.add_argument("--evaluation-seconds", type=int, default=5)
    ap.add_argument("--trials", type=int, default=3)
    ap.add_argument("--tls", action="store_true", help="serve and scrape over TLS with basic authentication")
    args = ap.parse_args()
    n, e = args.instances, args.evaluation_seconds
    args.bin_dir = os.path.abspath(args.bin_dir)
    work = tempfile.mkdtemp(prefix="kvx-fleet-bench-")
    procs = []

    def spawn(argv, cwd=work, err=None):
        p = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL,
                             stderr=open(err, "w") if err else subprocess.DEVNULL)
        procs.append(p)
        return p

    try:
        with open(os.path.join(work, "fleet.scn"), "w") as f:
            f.write(SCENARIO)
        port_file = os.path.join(work, "port")
        sim = spawn([os.path.join(args.bin_dir, "kvxsim"), "--scenario", os.path.join(work, "fleet.scn"),
                     "--socket", os.path.join(work, "sim.sock"), "--controllers", str(n), "--port-file", port_file,
                     "--quiet"])
        wait_for(lambda: os.path.exists(port_file) and open(port_file).read().strip(), 10)
        sim_port = int(open(port_file).read())

        web = []
        if args.tls:
            with open(os.path.join(work, "web.yml"), "w") as f:
                f.write(f"tls_server_config:\n  cert_file: {TLS_DIR}/server.crt\n  key_file: {TLS_DIR}/server.key\n"
                        f"basic_auth_users:\n  prometheus: {USER_HASH}\n")
            web = ["--web-config-file", os.path.join(work, "web.yml")]
        monitors, targets = {}, []
        for i in range(1, n + 1):
            name = f"c{i}"
            state = os.path.join(work, "state", name)
            os.makedirs(state)
            with open(os.path.join(work, name + ".ini"), "w") as f:
                f.write(f"[Project data]\nUse Webservices=1\nURL=http://127.0.0.1:{sim_port}/{name}\n")
            err = os.path.join(state, "monitor.err")
            monitors[name] = spawn([os.path.join(args.bin_dir, "KvxDiagnostics"), "--settings",
                                    os.path.join(work, name + ".ini"), "--metrics-address", "127.0.0.1:0"] + web,
                                   cwd=state, err=err)
            announced = wait_for(lambda: re.search(r"metrics on (?:http://)?(127\.0\.0\.1:\d+)/", open(err).read()), 20)
            if not announced:
                raise SystemExit(f"{name} did not start: {open(err).read()}")
            targets.append(announced.group(1))

        hook_port = free_port()
        hook = http.server.ThreadingHTTPServer(("127.0.0.1", hook_port), Webhook)
        threading.Thread(target=hook.serve_forever, daemon=True).start()
        am_port, prom_port = free_port(), free_port()
        with open(os.path.join(work, "alertmanager.yml"), "w") as f:
            f.write("route:\n  receiver: bench\n  group_by: [alertname, controller]\n  group_wait: 0s\n"
                    "  group_interval: 1s\n  repeat_interval: 1h\nreceivers:\n  - name: bench\n"
                    f"    webhook_configs:\n      - url: http://127.0.0.1:{hook_port}/\n        send_resolved: true\n")
        spawn(["prometheus-alertmanager", "--config.file=" + os.path.join(work, "alertmanager.yml"),
               "--storage.path=" + os.path.join(work, "am"), f"--web.listen-address=127.0.0.1:{am_port}",
               "--cluster.listen-address=", "--log.level=warn"], err=os.path.join(work, "am.log"))
        with open(os.path.join(work, "targets.json"), "w") as f:
            json.dump([{"targets": targets}], f)
        with open(os.path.join(work, "prometheus.yml"), "w") as f:
            f.write(f"global:\n  scrape_interval: {e}s\n  evaluation_interval: {e}s\n"
                    f"rule_files:\n  - {os.path.abspath(args.alert_rules)}\n"
                    f"alerting:\n  alertmanagers:\n    - static_configs:\n        - targets: ['127.0.0.1:{am_port}']\n"
                    "scrape_configs:\n  - job_name: kvxdiagnostics\n"
                    + (f"    scheme: https\n    tls_config:\n      ca_file: {TLS_DIR}/server.crt\n"
                       "    basic_auth:\n      username: prometheus\n      password: s3cret\n" if args.tls else "")
                    + "    file_sd_configs:\n"
                    f"      - files: ['{os.path.join(work, 'targets.json')}']\n")
        prom = spawn(["prometheus", "--config.file=" + os.path.join(work, "prometheus.yml"),
                      "--storage.tsdb.path=" + os.path.join(work, "tsdb"),
                      f"--web.listen-address=127.0.0.1:{prom_port}", "--log.level=warn"],
                     err=os.path.join(work, "prometheus.log"))

        def up_count():
            q = urllib.parse.urlencode({"query": 'count(up{job="kvxdiagnostics"} == 1)'})
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{prom_port}/api/v1/query?{q}", timeout=2) as r:
                    result = json.load(r)["data"]["result"]
                    return int(result[0]["value"][1]) if result else 0
            except OSError:
                return 0
        if not wait_for(lambda: up_count() == n, 90, 1):
            raise SystemExit(f"only {up_count()} of {n} instances are up in Prometheus")
        time.sleep(2 * e)  # past the start, its first ticks and the first scrapes

        before = {name: cpu_ns(p.pid) for name, p in monitors.items()}
        ticks_before = [user_system_ticks(p.pid) for p in monitors.values()]
        others = {"kvxsim": (sim, cpu_ns(sim.pid)), "prometheus": (prom, cpu_ns(prom.pid))}
        load_before = load_average()
        t0 = time.monotonic()
        time.sleep(args.cpu_seconds)
        wall = time.monotonic() - t0
        load_after = load_average()
        share = sum(cpu_ns(p.pid) - before[name] for name, p in monitors.items()) / 1e9 / wall
        mem = [memory_kb(p.pid) for p in monitors.values()]
        mappings = rss_by_mapping_kb(monitors["c1"].pid)
        ticks_after = [user_system_ticks(p.pid) for p in monitors.values()]
        user = sum(a[0] - b[0] for a, b in zip(ticks_after, ticks_before))
        system = sum(a[1] - b[1] for a, b in zip(ticks_after, ticks_before))

        latencies = []
        for trial in range(args.trials):
            name = f"c{(17 + 10 * trial - 1) % n + 1}"
            url = f"http://127.0.0.1:{sim_port}/{name}"
            start = time.time()
            subprocess.run([os.path.join(args.bin_dir, "kvxsimctl"), "--url", url, "inject", "emergency-out",
                            "axis", "1"], check=True, stdout=subprocess.DEVNULL)
            fired = wait_for(lambda: [a for a in Webhook.alerts if a[0] >= start and a[1] == "firing"
                                      and a[2] == "KvxFaultClassRaised" and a[3] == name], 60)
            latencies.append(fired[0][0] - start if fired else float("inf"))
            subprocess.run([os.path.join(args.bin_dir, "kvxsimctl"), "--url", url, "clear", "emergency-out",
                            "axis", "1"], check=True, stdout=subprocess.DEVNULL)
            wait_for(lambda: [a for a in Webhook.alerts if a[1] == "resolved" and a[3] == name], 60)
        wrong = [a for a in Webhook.alerts if a[2] != "KvxFaultClassRaised"]

        print(f"instances {n}" + (" (metrics over TLS with basic authentication)" if args.tls else ""))
        print(f"load_average_before_and_after_cpu_window {load_before} / {load_after}")
        print(f"cpu_share_all_monitors_percent_of_one_core {100 * share:.2f}   target <= 10")
        print(f"cpu_per_monitor_percent_of_one_core {100 * share / n:.3f}")
        print(f"cpu_user_system_split {100 * user / max(1, user + system):.0f}% user, "
              f"{100 * system / max(1, user + system):.0f}% kernel")
        for label, (proc, ns) in others.items():
            print(f"cpu_{label}_percent_of_one_core {100 * (cpu_ns(proc.pid) - ns) / 1e9 / wall:.2f}")
        print(f"rss_max_mb {max(m[0] for m in mem) / 1024:.2f}   target <= 6")
        print(f"rss_mean_mb {sum(m[0] for m in mem) / len(mem) / 1024:.2f}")
        print(f"pss_mean_mb {sum(m[1] for m in mem) / len(mem) / 1024:.2f}")
        print(f"private_max_mb {max(m[2] for m in mem) / 1024:.2f}")
        print("rss_of_c1_by_mapping_kb " + ", ".join(f"{name} {kb}" for name, kb in mappings.most_common(10)))
        print(f"evaluation_interval_s {e}")
        print("alert_after_injection_s " + " ".join(f"{x:.2f}" for x in latencies) +
              f"   target <= {2 * e} (2 evaluation intervals)")
        print(f"alerts_for_other_causes {len(wrong)}")
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(timeout=15)
            except subprocess.TimeoutExpired:
                p.kill()
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
