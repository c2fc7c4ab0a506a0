"""What a process costs, read from /proc: CPU time of all its threads and its
memory as resident, proportional (PSS) and private size. Shared library pages
are counted once per machine by PSS, so PSS and private memory are the figures
for many processes; resident size counts them in every process."""

import collections
import os


def cpu_ns(pid):
    """CPU time of every thread of PID so far, in nanoseconds."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # a thread that just ended
    return total


def memory_kb(pid):
    """(resident, proportional, private) memory of PID in kB."""
    fields = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2 and parts[0].endswith(":") and parts[1].isdigit():
                fields[parts[0][:-1]] = int(parts[1])
    return fields["Rss"], fields["Pss"], fields["Private_Clean"] + fields["Private_Dirty"]


def rss_kb(pid):
    return memory_kb(pid)[0]


def rss_by_mapping_kb(pid):
    """Resident kB per mapped file (by its name; anonymous memory as [anon])."""
    sizes = collections.Counter()
    name = None
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            fields = line.split()
            if fields and "-" in fields[0] and not fields[0].endswith(":"):
                name = os.path.basename(fields[5]) if len(fields) > 5 else "[anon]"
            elif fields and fields[0] == "Rss:":
                sizes[name] += int(fields[1])
    return sizes
