"""System calls and context switches per small GET and per MiB moved.

    python bench/syscalls.py [--site DIR] [--only get,download,upload] [--gets 200,1200] [--mib 16,64]

Runs the callgrind driver (bench/callgrind.py) under `perf stat` twice with two
sizes and divides the difference of the counts by the difference of the sizes,
so start-up drops out. futex calls are the wake-ups and waits between the
calling, forwarding, executor and network threads; poll, the network thread's
loop; the counts do not depend on the machine's load the way times do
(context switches and futex calls somewhat: a thread that finds work waiting
does not sleep). cpu_us is the CPU time of all the process's threads.
"""

import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, HERE)

from callgrind import DRIVER, parse_two_size_args, two_sizes  # noqa: E402

EVENTS = ["task-clock", "context-switches", "syscalls:sys_enter_futex", "syscalls:sys_enter_poll",
          "syscalls:sys_enter_ppoll", "syscalls:sys_enter_sendto", "syscalls:sys_enter_recvfrom",
          "syscalls:sys_enter_write", "syscalls:sys_enter_read", "syscalls:sys_enter_clone3",
          "syscalls:sys_enter_mmap", "syscalls:sys_enter_munmap", "page-faults"]


def counts(python, env, args):
    with tempfile.NamedTemporaryFile("r", suffix=".csv") as out:
        cmd = ["perf", "stat", "-x", ",", "-o", out.name, "-e", ",".join(EVENTS),
               python, "-c", DRIVER] + args
        p = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=600)
        if p.returncode != 0:
            raise RuntimeError("run failed: %s\n%s" % (" ".join(args), p.stderr[-2000:]))
        got = {}
        for line in out:
            f = line.strip().split(",")
            if len(f) > 2 and f[2] in EVENTS:
                try:
                    got[f[2]] = float(f[0])
                except ValueError:
                    got[f[2]] = 0.0
        return got


def show(label, a, b, per):
    # task-clock comes in ms of CPU: shown as us of CPU, all threads together.
    print(label + " " + " ".join(
        "%s=%.2f" % ("cpu_us" if e == "task-clock" else e.split("sys_enter_")[-1],
                     (b[e] - a[e]) / per * (1000 if e == "task-clock" else 1)) for e in EVENTS),
          flush=True)


def main():
    python, env, only, gets, mib = parse_two_size_args("200,1200", "16,64")
    labels = {"upload": "upload per MiB:", "download": "download per MiB:"}
    for workload, proto, a, b, units in two_sizes(counts, python, env, only, gets, mib):
        show(labels.get(workload, "GET %-5s per request:" % proto), a, b, units)


if __name__ == "__main__":
    main()
