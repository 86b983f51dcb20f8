import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import upload_waits  # noqa: E402


def switch(t, cpu, prev, state, nxt, comm="x"):
    return ("%7d [%03d] %.6f: sched:sched_switch: prev_comm=a prev_pid=%d prev_prio=120 "
            "prev_state=%s ==> next_comm=%s next_pid=%d next_prio=120" % (prev, cpu, t, prev, state,
                                                                           comm, nxt))


def fork(t, cpu, parent, child):
    return "%7d [%03d] %.6f: sched:sched_process_fork: comm=python pid=%d child_comm=python " \
        "child_pid=%d" % (parent, cpu, t, parent, child)


def waking(t, cpu, pid):
    return "%7d [%03d] %.6f: sched:sched_waking: comm=nginx pid=%d prio=120 target_cpu=001" % (
        1, cpu, t, pid)


NGINX, CLIENT, THREAD = 50, 61, 62
# nginx runs on cpu1 until a thread the client started preempts it for 4 ms
# while cpu0 idles; later it sleeps 1 ms and, once woken, waits 1 ms for an
# idle cpu1.
LINES = [
    fork(0.0, 0, CLIENT, THREAD),
    switch(0.0, 1, 70, "S", NGINX, "nginx"), switch(0.0, 0, CLIENT, "S", 0, "swapper/0"),
    switch(1.000, 1, NGINX, "R", THREAD, "python"), switch(1.004, 1, THREAD, "S", NGINX, "nginx"),
    switch(1.006, 1, NGINX, "S", 0, "swapper/1"), waking(1.007, 0, NGINX),
    switch(1.008, 1, 0, "R", NGINX, "nginx"), "not a sched line",
]


def test_an_upload_split_by_who_held_the_cores():
    tasks, cpus, children = upload_waits.parse(LINES, {NGINX})
    window = {"t0": 0.0005, "t1": 1.010, "pid": CLIENT}
    r = upload_waits.summarize(window, tasks, cpus, children, [NGINX])
    assert r["server_run_ms"] == pytest.approx(1003.5)
    assert r["server_waited_ms"] == pytest.approx(5.0)  # the 1 ms asleep is not waiting
    assert r["rest_ms"] == pytest.approx(6.0)
    held = r["held_ms"]
    assert held["cpu1 client"] == pytest.approx(4.0, abs=0.05)
    assert held["cpu0 idle"] == pytest.approx(5.0, abs=0.05)
    assert held["cpu1 idle"] == pytest.approx(1.0, abs=0.05)
