import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import perf_split  # noqa: E402
import procstat  # noqa: E402

K = "[kernel.kallsyms]"
LIBC = "/usr/lib/x86_64-linux-gnu/libc.so.6"
MOD = "/x/site/tarnwick.cpython-39-x86_64-linux-gnu.so"

SCRIPT = """\
python3.9  700/700  
\t ffffffff8144fa79 futex_wake ([kernel.kallsyms])
\t ffffffff8144bfed __x64_sys_futex ([kernel.kallsyms])
\t            87ebf pthread_cond_signal@@GLIBC_2.3.2 (/usr/lib/x86_64-linux-gnu/libc.so.6)

python3.9  700/701  
\t            1234 curl_multi_perform+0x12 (/usr/lib/x86_64-linux-gnu/libcurl.so.4.8.0)

python3.9  700/702  
\t            99 tarnwick::py::request(_object*) (/x/site/tarnwick.cpython-39-x86_64-linux-gnu.so)
"""


def test_parse_script_reads_pid_tid_and_frames():
    samples = perf_split.parse_script(SCRIPT)
    assert [(p, t, len(f)) for p, t, f in samples] == [(700, 700, 3), (700, 701, 1), (700, 702, 1)]
    assert samples[0][2][0] == ("futex_wake", K)
    # offsets are stripped; C++ names with parentheses survive
    assert samples[1][2][0][0] == "curl_multi_perform"
    assert samples[2][2][0][0] == "tarnwick::py::request(_object*)"


@pytest.mark.parametrize("frames, category", [
    # kernel samples go by what they sit under, not by the leaf
    ([("finish_task_switch.isra.0", K), ("__schedule", K), ("futex_wait", K),
      ("__x64_sys_futex", K), ("pthread_cond_wait", LIBC)], "kernel: wake-ups (futex, socketpair)"),
    ([("clear_page_erms", K), ("do_anonymous_page", K), ("exc_page_fault", K),
      ("__memmove_avx_unaligned", LIBC)], "kernel: memory (faults, mmap)"),
    ([("copy_process", K), ("kernel_clone", K), ("__x64_sys_clone3", K)],
     "kernel: thread start/exit"),
    ([("_copy_to_iter", K), ("tcp_recvmsg", K), ("__x64_sys_recvfrom", K)], "kernel: TCP/loopback"),
    ([("unix_stream_sendmsg", K), ("sock_sendmsg", K), ("__x64_sys_sendto", K)],
     "kernel: wake-ups (futex, socketpair)"),
    ([("sock_poll", K), ("do_sys_poll", K), ("__x64_sys_poll", K)], "kernel: poll"),
    ([("finish_task_switch.isra.0", K), ("schedule", K)], "kernel: scheduling"),
    ([("native_write_msr", K)], "kernel: other"),
    # user samples go by their leaf
    ([("pthread_create@@GLIBC_2.34", LIBC)], "thread start/exit (libc)"),
    ([("pthread_mutex_lock", LIBC)], "executor hop"),
    ([("_int_malloc", LIBC)], "libc memory (malloc, memcpy)"),
    ([("tarnwick::py::convert_body(_object*)", MOD)], "binding"),
    ([("tarnwick::SessionManager::send_request(std::string const&)", MOD)], "admission"),
    ([("tarnwick::admit(tarnwick::Session&, tarnwick::RequestSpec&)", MOD)], "admission"),
    ([("tarnwick::Channel<int>::recv()", MOD)], "executor hop"),
    ([("tarnwick::on_read_completed(...)", MOD)], "core (callbacks, completion)"),
    ([("cronet_curl::RequestCore::WriteCb", "/x/libcronet_curl.so")], "library (cronet_curl)"),
    ([("[unknown]", "/usr/lib/x86_64-linux-gnu/libcurl.so.4.8.0")], "libcurl"),
    ([("EVP_EncryptUpdate", "/usr/lib/x86_64-linux-gnu/libcrypto.so.3")], "TLS (OpenSSL)"),
    ([("_PyEval_EvalFrameDefault", "/root/.pyenv/versions/3.9.18/bin/python3.9")],
     "Python interpreter"),
    ([], "other"),
])
def test_classify(frames, category):
    assert perf_split.classify(frames) == category


def test_split_tells_thread_roles_apart():
    main = [(700, 700, [("_int_malloc", LIBC)])] * 50
    net = [(700, 701, [("[unknown]", "/usr/lib/libcurl.so.4")])] * 40
    forwarders = [(700, 800 + i, [("pthread_create", LIBC)]) for i in range(10)]
    by_cat, roles, short = perf_split.split(main + net + forwarders)
    assert roles == {"calling thread": 50, "long-lived threads (executor, network)": 40,
                     "short-lived threads (forwarding)": 10}
    assert short == 10
    assert by_cat["libcurl"] == 40 and by_cat["thread start/exit (libc)"] == 10


@pytest.mark.parametrize("text, expected", [
    ("42 (nginx) S 41 1 1 0 -1 0 0 0 0 0 250 50 0 0 20 0 1 0", ("nginx", 41, 300)),
    # a command name holding spaces and parentheses
    ("43 (a) b (c) R 7 1 1 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0", ("a) b (c", 7, 3)),
])
def test_parse_stat(text, expected):
    comm, ppid, cpu = procstat.parse_stat(text)
    assert (comm, ppid) == expected[:2]
    assert cpu == pytest.approx(expected[2] / os.sysconf("SC_CLK_TCK"))


def test_cpu_seconds_is_finer_than_a_clock_tick():
    import time
    before, t0 = procstat.cpu_seconds([os.getpid()]), time.process_time()
    while time.process_time() - t0 < 0.013:
        pass
    spent = time.process_time() - t0
    # Ticks would read 10 or 20 ms for these 13.
    assert spent - 0.001 <= procstat.cpu_seconds([os.getpid()]) - before <= spent + 0.005


def test_descendants_finds_a_grandchild():
    import signal
    import subprocess
    import time
    p = subprocess.Popen(["sh", "-c", "sleep 30 & wait"])
    found = []
    try:
        for _ in range(100):
            found = procstat.descendants(p.pid, "sleep")
            if found:
                break
            time.sleep(0.02)
        assert len(found) == 1
        assert procstat.descendants(p.pid, "nonexistent") == []
    finally:
        for pid in found:
            os.kill(pid, signal.SIGTERM)
        p.kill()
        p.wait()
