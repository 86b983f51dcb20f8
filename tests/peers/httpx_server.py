"""httpx's test app in a child process: `python httpx_server.py SDIST_DIR`.

httpx's suite serves its app with uvicorn from a thread of the test process, which cannot
run while a tarnwick call holds the interpreter lock. This serves the same app with the
same server class and settings from a child process. Prints a line when ready, serves
until stdin reaches EOF.
"""

import sys
import threading


def main():
    sys.path.insert(0, sys.argv[1])
    from uvicorn.config import Config

    from tests.conftest import TestServer, app

    server = TestServer(config=Config(app=app, lifespan="off", loop="asyncio"))
    thread = threading.Thread(target=server.run)
    thread.start()
    while not server.started:
        threading.Event().wait(0.01)
    print(server.url, flush=True)
    sys.stdin.read()
    server.should_exit = True
    thread.join()


if __name__ == "__main__":
    main()
