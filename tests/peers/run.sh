#!/usr/bin/env bash
# Runs a peer library's own test suite with tarnwick underneath, offline.
# Usage: tests/peers/run.sh [pytest args...]   (from the project root, after `make build`)
# The suite runs in a private network namespace with only loopback up, so a test that
# tries to reach the internet fails here instead of sending anything out.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
PEERS=build/peers
VENV=.venv-peers
REQUESTS_VERSION=2.32.3

if [ "${TARNWICK_IN_NETNS:-}" != 1 ]; then
  # Everything that needs the package index happens out here.
  if [ ! -f "$VENV/.stamp" ] || [ requirements-peers.txt -nt "$VENV/.stamp" ]; then
    test -x "$VENV/bin/python" || "${PYTHON39:-python3.9}" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q -r requirements-peers.txt
    touch "$VENV/.stamp"
  fi
  mkdir -p "$PEERS"
  sdist="$PEERS/requests-$REQUESTS_VERSION.tar.gz"
  if [ ! -f "$sdist" ]; then
    "$VENV/bin/python" -m pip download -q --no-deps --no-binary :all: \
      "requests==$REQUESTS_VERSION" -d "$PEERS"
  fi
  if [ ! -d "$PEERS/requests-$REQUESTS_VERSION/tests" ]; then
    tar -xzf "$sdist" -C "$PEERS"
  fi
  # The module and the adapters as `make build` installed them into .venv.
  site=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  main=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  rm -rf "$site/tarnwick_adapters"
  cp -r "$main"/tarnwick.*.so "$main"/libcronet_curl.so "$main/tarnwick_adapters" "$site/"
  if [ "$(id -u)" = 0 ]; then
    exec unshare -n env TARNWICK_IN_NETNS=1 "$0" "$@"
  fi
  echo "run-peers: not root, cannot make a private network namespace" >&2
  exit 1
fi

ip link set lo up
cd "$PEERS/requests-$REQUESTS_VERSION"
export PYTHONPATH="$ROOT/tests/peers"
export TARNWICK_EXPECTED_FAILURES="$ROOT/tests/peers/requests-expected-failures.txt"
export TARNWICK_DESELECTED="$ROOT/tests/peers/requests-deselected.txt"
# The tests import requests from the installed release of the same version, not src/.
exec "$ROOT/$VENV/bin/python" -m pytest -p tarnwick_peer_plugin -p no:httpbin -p no:cacheprovider \
  -q -rfEX --timeout 120 tests "$@"
