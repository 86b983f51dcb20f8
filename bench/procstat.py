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


def cpu_seconds(pids):
    """Summed user+system CPU of the given live processes (gone ones count 0)."""
    total = 0.0
    for pid in pids:
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
