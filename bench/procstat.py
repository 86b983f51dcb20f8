"""CPU time and process tree from /proc, so the runner can watch the server."""

import os

_TICK = os.sysconf("SC_CLK_TCK")


def parse_stat(text):
    """(comm, ppid, cpu seconds) from the text of /proc/PID/stat."""
    # comm may itself hold spaces and parentheses; it ends at the last ')'.
    open_, close = text.index("("), text.rindex(")")
    comm = text[open_ + 1:close]
    fields = text[close + 2:].split()
    # fields[0] is state (field 3 of the file); utime and stime are fields 14, 15.
    ppid = int(fields[1])
    utime, stime = int(fields[11]), int(fields[12])
    return comm, ppid, (utime + stime) / _TICK


def _read_stat(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return parse_stat(f.read())
    except (OSError, ValueError, IndexError):
        return None


def _schedstat_seconds(pid):
    """CPU time of the process's live threads (servers here are single-threaded)
    to the nanosecond; None where the kernel keeps no schedstat."""
    total = 0
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return None
    for tid in tasks:
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            if tid == str(pid):
                return None
    return total / 1e9


def cpu_seconds(pids):
    """Summed CPU of the given live processes (gone ones count 0). Clock ticks
    (10 ms) are too coarse for a 40 ms upload, so schedstat is preferred."""
    total = 0.0
    for pid in pids:
        precise = _schedstat_seconds(pid)
        if precise is not None:
            total += precise
            continue
        st = _read_stat(pid)
        if st:
            total += st[2]
    return total


def descendants(root, comm=None):
    """Pids below root (optionally only those whose command is comm)."""
    children = {}
    names = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        st = _read_stat(int(entry))
        if st:
            names[int(entry)] = st[0]
            children.setdefault(st[1], []).append(int(entry))
    found, todo = [], [root]
    while todo:
        for child in children.get(todo.pop(), []):
            todo.append(child)
            if comm is None or names[child] == comm:
                found.append(child)
    return sorted(found)
