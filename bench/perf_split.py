"""Sorts `perf script` samples into the cost centres of one tarnwick request.

Each sample is charged by its leaf frame; a kernel leaf is charged by the
system call or fault it sits under, found by walking its kernel frames.
"""

import collections
import re

# (category, regex on the symbol) for user frames of tarnwick's own module.
_MODULE_RULES = [
    ("binding", re.compile(r"tarnwick::py::|PyInit_tarnwick|convert|_arg|to_py")),
    ("admission", re.compile(r"send_request|Admission|tarnwick::admit|make_request_objects"
                             r"|make_params|init_and_start|refuse_reason|RequestObjects")),
    ("executor hop", re.compile(r"Channel|[Ee]xecut|ResultSender|ResultReceiver|forward|Runnable")),
]
_SYNC = re.compile(r"pthread_cond|pthread_mutex|__lll_|futex|sem_|condition_variable|__pthread_")
_THREAD = re.compile(r"pthread_create|start_thread|clone|allocate_stack|__nptl_|_dl_allocate_tls"
                     r"|pthread_attr|__free_stacks|advise_stack_range|__GI___pthread_exit")
_MEMORY = re.compile(r"malloc|free|memcpy|memmove|memset|realloc|calloc|operator new|operator delete"
                     r"|_int_|tcache|sysmalloc|unlink_chunk|arena")

# Kernel: the first rule that matches any kernel frame of the sample decides,
# so a futex wait is charged to the wake-up, not to the scheduler under it.
_KERNEL_RULES = [
    ("kernel: thread start/exit", re.compile(
        r"copy_process|kernel_clone|__x64_sys_clone|do_exit|exit_mm|mm_release|wake_up_new_task"
        r"|__x64_sys_exit|set_robust_list|sys_rseq|__x64_sys_madvise")),
    ("kernel: memory (faults, mmap)", re.compile(
        r"exc_page_fault|handle_mm_fault|__x64_sys_munmap|__x64_sys_mmap|__x64_sys_mprotect"
        r"|__x64_sys_brk|__x64_sys_mremap")),
    ("kernel: wake-ups (futex, socketpair)", re.compile(
        r"futex|unix_stream|unix_write|eventfd|pipe_write|pipe_read")),
    ("kernel: poll", re.compile(r"do_sys_poll|__x64_sys_poll|__x64_sys_ppoll|ep_poll|do_select")),
    ("kernel: TCP/loopback", re.compile(r"tcp_|inet_|^ip_|__ip_|skb_|loopback|net_rx|sock_")),
    ("kernel: scheduling", re.compile(r"schedule|finish_task_switch|pick_next|enqueue_task")),
]


def classify_user(sym, dso):
    base = dso.rsplit("/", 1)[-1]
    if base.startswith("tarnwick"):
        for cat, rx in _MODULE_RULES:
            if rx.search(sym):
                return cat
        return "core (callbacks, completion)"
    if base.startswith("libcronet_curl"):
        return "library (cronet_curl)"
    if base.startswith(("libcurl", "libnghttp2", "libz.", "libbrotli", "libzstd")):
        return "libcurl"
    if base.startswith(("libssl", "libcrypto")):
        return "TLS (OpenSSL)"
    if base.startswith(("python", "libpython")) or base.endswith(".cpython-39-x86_64-linux-gnu.so"):
        return "Python interpreter"
    if base.startswith("libc.") or base.startswith("libpthread") or base.startswith("ld-linux"):
        if _THREAD.search(sym):
            return "thread start/exit (libc)"
        if _SYNC.search(sym):
            return "executor hop"
        if _MEMORY.search(sym):
            return "libc memory (malloc, memcpy)"
        return "libc other"
    if base.startswith("libstdc++"):
        return "executor hop" if _SYNC.search(sym) else "C++ runtime"
    return "other"


def classify_kernel(frames):
    syms = [sym for sym, dso in frames if dso.startswith("[kernel")]
    for cat, rx in _KERNEL_RULES:
        if any(rx.search(sym) for sym in syms):
            return cat
    return "kernel: other"


def classify(frames):
    """frames: [(symbol, dso), ...] from the leaf outwards."""
    if not frames:
        return "other"
    sym, dso = frames[0]
    if dso.startswith("[kernel"):
        return classify_kernel(frames)
    return classify_user(sym, dso)


_HEAD = re.compile(r"^\S.*?\s(\d+)/(\d+)\s")
_FRAME = re.compile(r"^\s+[0-9a-f]+\s+(.*?)\s+\((.*)\)\s*$")


def parse_script(text):
    """Samples of `perf script -F comm,pid,tid,ip,sym,dso` as (pid, tid, frames)."""
    samples = []
    cur = None
    for line in text.splitlines():
        if not line.strip():
            if cur:
                samples.append(cur)
            cur = None
            continue
        m = _FRAME.match(line)
        if m and cur is not None:
            sym = re.sub(r"\+0x[0-9a-f]+$", "", m.group(1))
            cur[2].append((sym, m.group(2)))
            continue
        h = _HEAD.match(line)
        if h:
            if cur:
                samples.append(cur)
            cur = (int(h.group(1)), int(h.group(2)), [])
    if cur:
        samples.append(cur)
    return samples


def split(samples):
    """Sample counts by category, and by thread role (main, long-lived, short-lived)."""
    by_cat = collections.Counter(classify(f) for _p, _t, f in samples)
    per_tid = collections.Counter(t for _p, t, _f in samples)
    pid = samples[0][0] if samples else 0
    # Long-lived threads (executor, network) have far more samples than any
    # one forwarding thread, which runs for a few microseconds.
    roles = collections.Counter()
    for tid, n in per_tid.items():
        if tid == pid:
            roles["calling thread"] += n
        elif n >= max(20, 0.02 * len(samples)):
            roles["long-lived threads (executor, network)"] += n
        else:
            roles["short-lived threads (forwarding)"] += n
    short = sum(1 for tid, n in per_tid.items() if tid != pid and n < max(20, 0.02 * len(samples)))
    return by_cat, roles, short


def table(counts, total, per_unit_us, unit):
    """Markdown rows: category, share of samples, CPU microseconds per unit."""
    rows = ["| where | share of CPU samples | CPU us per %s |" % unit, "|---|---|---|"]
    for cat, n in counts.most_common():
        rows.append("| %s | %.1f%% | %.1f |" % (cat, 100.0 * n / total, n * per_unit_us))
    return "\n".join(rows)
