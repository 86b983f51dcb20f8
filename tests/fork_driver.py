"""Run by test_fork.py in an interpreter of its own, as a program that made its
client before forking would: the parent makes a client, a session and requests,
forks, lets the child do one thing with what it inherited, then goes on with
the same session. Each process prints one JSON line."""

import gc
import json
import multiprocessing
import os
import sys

from tarnwick import ZoDeruziDuzera

plain_url, conn_url, action, how = sys.argv[1:5]

client = ZoDeruziDuzera()
sid = client.create_session(timeout_ms=5000, skip_cert_verify=True)


def report(who, **fields):
    print(json.dumps(dict(who=who, **fields)), flush=True)


def fetch(c, s, url):
    try:
        return c.request(s, url, "GET")["body"].decode()
    except Exception as e:  # reported, judged by the test
        return f"{type(e).__name__}: {e}"


def in_child():
    global client
    out = {}
    if action.startswith("own_client"):
        own = ZoDeruziDuzera()
        s = own.create_session(timeout_ms=10000)
        out["body"] = fetch(own, s, plain_url)
        # The child's own threads may now sit where the parent's were.
        if action == "own_client_then_close_inherited":
            out["closed_inherited"] = client.close_session(sid)
        out["closed"] = own.close_session(s)
        del own
    elif action == "new_session_on_inherited_client":
        s = client.create_session(timeout_ms=10000)
        out["body"] = fetch(client, s, plain_url)
        out["closed"] = client.close_session(s)
    elif action == "close_inherited":
        out["closed"] = client.close_session(sid)
        out["sessions"] = client.list_sessions()
    elif action == "drop_inherited":
        client = None
        gc.collect()
    elif action == "request_inherited":
        out["body"] = fetch(client, sid, plain_url)
    report("child", **out)


first = json.loads(fetch(client, sid, conn_url))
if how == "os.fork":
    pid = os.fork()
    if pid == 0:
        in_child()
        sys.exit(0)  # a normal exit: whatever the child still holds is finalized
    code = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
else:
    child = multiprocessing.get_context("fork").Process(target=in_child)
    child.start()
    child.join()
    code = child.exitcode

again = json.loads(fetch(client, sid, conn_url))
report("parent", child_exit=code, body=fetch(client, sid, plain_url),
       same_connection=again["conn_id"] == first["conn_id"],
       sessions=client.list_sessions() == [sid])
client.close_session(sid)
