"""Keeps a server process alive exactly as long as whoever started it."""

import json
import os
import select
import signal
import stat
import sys
import threading


def _is_pipe(fd):
    try:
        mode = os.fstat(fd).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode)


def _stdin_already_closed():
    # A parent that controls us through stdin keeps it open at least until
    # it has read the ready line; a stdin at EOF right now (CI with no input,
    # popen(3) inheriting a drained pipe) is not a stop request.
    try:
        r, _, _ = select.select([0], [], [], 0)
        return bool(r) and os.read(0, 65536) == b""
    except OSError:
        return True


def _watch_stdin(stop):
    while True:
        try:
            data = os.read(0, 65536)
        except OSError:
            data = b""
        if not data:
            stop.set()
            return


def _watch_stdout_reader(stop, fd):
    # popen(..., "r") gives us only the read end to watch: when the reader
    # closes it (pclose, or the test process dying) the pipe reports POLLERR.
    p = select.poll()
    p.register(fd, select.POLLERR | select.POLLHUP)
    while not stop.is_set():
        if p.poll(500):
            stop.set()
            return


def _watch_parent(stop, ppid):
    while not stop.wait(0.5):
        if os.getppid() != ppid:
            stop.set()
            return


def announce_and_wait(info, cleanup=None):
    """Print the one ready line, then block until told to stop, then clean up."""
    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGHUP, on_signal)

    if _is_pipe(0) and not _stdin_already_closed():
        threading.Thread(target=_watch_stdin, args=(stop,), daemon=True).start()

    info = dict(info, pid=os.getpid())
    out_fd = sys.stdout.fileno()
    sys.stdout.write(json.dumps(info) + "\n")
    sys.stdout.flush()
    # Nothing else may reach the reader of the ready line.
    sys.stdout = sys.stderr
    if _is_pipe(out_fd) and stat.S_ISFIFO(os.fstat(out_fd).st_mode):
        threading.Thread(target=_watch_stdout_reader, args=(stop, out_fd),
                         daemon=True).start()
    threading.Thread(target=_watch_parent, args=(stop, os.getppid()),
                     daemon=True).start()

    try:
        while not stop.wait(0.5):
            pass
    finally:
        if cleanup is not None:
            cleanup()
