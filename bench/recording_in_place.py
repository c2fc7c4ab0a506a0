#!/usr/bin/env python3
"""The recorder timed in place, in a build made for it.

  git apply bench/recorder_timing.patch   (in a clone of its own)
  recording_in_place.py SECONDS ROUNDS LABEL=BIN_DIR[,record|,tmpfs][,ENV=VALUE...] ...

Each round starts one monitor of each LABEL, each a part of a second after
the one before so that each ticks alone, headless at 1 Hz on one simulated
lively controller; `record` records to a file on the disk, `tmpfs` to one
in /dev/shm. After SECONDS and the 30 ticks the timing leaves out, prints per
LABEL the mean over its monitors of each figure the timing build writes:
the tick's CPU time (ns) and the cycles of the recorder's segment start,
answers, check and segment end per tick, as medians over the ticks and as
means (`_mean`), and how many answers a tick found unchanged. With
KVX_TAPS_ONLY=1 the recorder returns at once from every call.

With KVX_BLOCKS=1 each monitor records its ticks in pairs, one tick of a pair
recorded and the other not, in random order: the difference within the pairs
is what recording adds to a tick of the same monitor at the same place in
the second, free of the spread between monitors (a plain build with
KVX_BLOCKS=1 is the control: its difference must be near 0). Printed per
LABEL as `paired:` with its standard error; and as `paired seconds:` the
same for the process's CPU time (all threads, kernel included) from one
tick's start to the next: what recording adds to the run's CPU share.
KVX_BLOCK_TICKS=N (with KVX_BLOCKS=1) pairs blocks of N ticks instead,
compared by their means: a recorded tick then follows a recorded one, as in
a run that records every tick, where one tick of a pair finds the
recorder's memory two or three seconds old. The first recorded tick of each
block finds it N seconds old, which makes the figure, if anything, too high.
Either way the pairs whose recorded tick came right after a recorded one
are also printed on their own (`paired, recorded after a recorded tick:`
and the same for seconds): with single ticks a quarter of the pairs, each as a run that records
every tick has it, and far more of them than blocks make in the same time.
The file's write fault after each write-back of its page (some 30 s) comes
as often whether one tick in two is recorded or all are, so paired it falls
on the recorded ticks twice as often as in a run that records every tick:
the timing build times the tick's first store into the file, and the
figure corrected for it is printed as `paired seconds, the file's write
faults as often as in a run that records every tick:`.
KVX_NO_CYCLES=1 leaves the counter unread around the recorder's parts (a
hundred reads and more a recorded tick, which the paired figures otherwise
count as recording's): the parts then read 0 but the first store,
which the correction for the write faults needs; the paired figures stay.
KVX_NO_ANSWERS=1 leaves out the recorder's answers; KVX_NO_END=1 its
segment end after the ticks left out (the answers are then checked against
the expectations of the last segment ended);
KVX_READ_ONLY=1 makes the recorder only read each record of a recorded tick
once (what any exact recorder at the driver facade pays). With KVX_ROWS_DIR
set, each monitor writes every timed tick there as a line of its own
(LABEL-N), the figures in the order of the timing file.
"""
import math
import os
import shutil
import signal
import sys
import tempfile
import time

from recording_figures import parse_builds, start_rounds, start_simulator


def paired(runs, count, diff, se, off):
    """Over the monitors of a label: the mean difference within the pairs,
    its standard error and the mean unrecorded figure; None without pairs."""
    if not all(r.get(count, 0) > 1 for r in runs):
        return None
    return (sum(r[diff] for r in runs) / len(runs), math.sqrt(sum(r[se] ** 2 for r in runs)) / len(runs),
            sum(r[off] for r in runs) / len(runs))


def main():
    seconds, rounds = int(sys.argv[1]), int(sys.argv[2])
    builds = parse_builds(sys.argv[3:])
    here = os.path.dirname(os.path.abspath(__file__))
    work = tempfile.mkdtemp(prefix="kvx-inplace-")
    shm = tempfile.mkdtemp(prefix="kvx-inplace-", dir="/dev/shm")
    monitors, sim = [], None
    try:
        socket = os.path.join(work, "sim.sock")
        sim = start_simulator(builds[0][1], os.path.join(here, "..", "scenarios", "lively.scn"), socket)

        def recording_and_timing(n, build, folder):
            args = []
            if "record" in build[2]:
                args = ["--record", os.path.join(folder, "run.kvxrec")]
            elif "tmpfs" in build[2]:
                args = ["--record", os.path.join(shm, f"{n}.kvxrec")]
            env = {"KVX_TIMING": os.path.join(folder, "timing")}
            if os.environ.get("KVX_ROWS_DIR"):
                env["KVX_ROWS"] = os.path.join(os.environ["KVX_ROWS_DIR"], f"{build[0]}-{n}")
            return args, env

        start_rounds(builds, rounds, work, socket, recording_and_timing, monitors)
        time.sleep(seconds + 30)
        for _, _, p in monitors:
            p.send_signal(signal.SIGTERM)
        for _, _, p in monitors:
            p.wait()
        got = {}
        for label, folder, _ in monitors:
            words = open(os.path.join(folder, "timing")).read().split()
            got.setdefault(label, []).append(dict(zip(words[::2], map(float, words[1::2]))))
        for label, *_ in builds:
            runs = got[label]
            # Every figure the timing file holds, in its order.
            def figure(v):
                return f"{v:.0f}" if abs(v) >= 10 else f"{v:.3g}"  # shares, such as recorded_share, keep their digits

            print(label, " ".join(f"{k} {figure(sum(r[k] for r in runs) / len(runs))}" for k in runs[0] if k != "ticks"),
                  "| each tick_ns", " ".join(f"{r['tick_ns']:.0f}" for r in runs))
            tick, second = "the unrecorded tick's {:.0f} us", "the process's {:.0f} us of CPU in an unrecorded second"

            def show(what, mean, se, base, of, after=""):
                where = "a tick" if of is tick else "to a second of the run"
                print(f"{label} {what}: recording adds {mean / 1000:.1f} us {where} (standard error {se / 1000:.1f} us),"
                      f" {100 * mean / base:.1f} % of " + of.format(base / 1000) + after)

            # (what is printed, the figures' prefix and count in the timing file, the unrecorded figure, what it adds to)
            shown = {}
            for what, prefix, count, off, of in (
                    ("paired", "pair", "pairs", "off_ns_mean", tick),
                    ("paired, recorded after a recorded tick", "pair_after", "pair_after_pairs", "off_ns_mean", tick),
                    ("paired seconds", "second", "second_pairs", "second_off_ns_mean", second),
                    ("paired seconds, recorded after a recorded tick", "second_after", "second_after_pairs",
                     "second_off_ns_mean", second)):
                figures = paired(runs, count, f"{prefix}_diff_ns", f"{prefix}_se_ns", off)
                if figures:
                    shown[prefix] = figures
                    show(what, *figures, of)
            # The file's write faults come once a write-back, however many
            # ticks are recorded (see above).
            share = sum(r.get("recorded_share", 0) for r in runs) / len(runs)
            if "second" in shown and share > 0:
                mean, se, base = shown["second"]
                excess = sum(r["store_excess_ns"] for r in runs) / len(runs)
                show("paired seconds, the file's write faults as often as in a run that records every tick",
                     mean - (1 - share) * excess, se, base, second, f"; the faults cost {excess / 1000:.1f} us a recorded tick")
    finally:
        for _, _, p in monitors:
            if p.poll() is None:
                p.kill()
        if sim:
            sim.send_signal(signal.SIGTERM)
            sim.wait()
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(shm, ignore_errors=True)


if __name__ == "__main__":
    main()
