#!/usr/bin/env bash
# Benchmark suite. Needs only `make build` (tarnwick installed in .venv).
# The other clients live in their own venv, .venv-bench, made here from
# requirements-bench.txt and refreshed when that file changes.
#   bench/run.sh            full run, results in bench/results/
#   bench/run.sh --smoke    the suite's tests, then tiny sizes, one run, results in
#                           bench/results/smoke/
# Further arguments go to bench/runner.py (--runs N, --only get_http,download).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
VENV="$ROOT/.venv-bench"
PYTHON39="${PYTHON39:-$(PYENV_VERSION=3.9.18 pyenv which python3.9 2>/dev/null || command -v python3.9)}"
TARNWICK_PYTHON="${TARNWICK_PYTHON:-$ROOT/.venv/bin/python}"

if ! "$TARNWICK_PYTHON" -c "import tarnwick" 2>/dev/null; then
    echo "tarnwick is not importable from $TARNWICK_PYTHON: run 'make build' first" >&2
    exit 2
fi

# pycurl is built on the same static libcurl as tarnwick's engine (the cached
# build of tools/build-curl.sh, which prints its prefix last), so both speak
# HTTP/3 through the same code; a new libcurl build rebuilds pycurl.
CURL_PREFIX="$(tools/build-curl.sh | tail -n1)"
stamp="$VENV/.requirements.sha256"
want="$(cat requirements-bench.txt bench/curl-config.sh "$CURL_PREFIX/.built" | sha256sum | cut -d' ' -f1)"
if [[ ! -x "$VENV/bin/python" || "$(cat "$stamp" 2>/dev/null)" != "$want" ]]; then
    [[ -x "$VENV/bin/python" ]] || "$PYTHON39" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip
    # No wheel cache: a cached pycurl wheel may be linked against another libcurl.
    "$VENV/bin/python" -m pip uninstall -q -y pycurl 2>/dev/null || true
    BENCH_CURL_PREFIX="$CURL_PREFIX" PYCURL_CURL_CONFIG="$ROOT/bench/curl-config.sh" \
        PYCURL_SSL_LIBRARY=gnutls \
        "$VENV/bin/python" -m pip install -q --no-cache-dir -r requirements-bench.txt
    echo "$want" > "$stamp"
fi

export TARNWICK_PYTHON
# The smoke run (CI) also runs the suite's own tests, with the project venv's pytest.
for arg in "$@"; do
    if [[ "$arg" == "--smoke" ]]; then
        "$TARNWICK_PYTHON" -m pytest -q -p no:cacheprovider "$ROOT/bench/tests"
        break
    fi
done
exec "$VENV/bin/python" "$ROOT/bench/runner.py" "$@"
