"""httpbin in a child process: `python httpbin_server.py http|https`.

The peer suites' own fixtures serve httpbin from a thread of the test process, which
cannot run while a tarnwick call holds the interpreter lock. This serves the same app
with the same server classes from a child process instead. Prints the URL on one line,
serves until stdin reaches EOF.
"""

import sys
import threading

from httpbin import app
from pytest_httpbin import serve


def main():
    cls = serve.SecureServer if sys.argv[1] == "https" else serve.Server
    server = cls(application=app)
    server.start()
    print(server.url, flush=True)
    sys.stdin.read()
    server.stop()


if __name__ == "__main__":
    threading.excepthook = lambda args: None
    main()
