#!/usr/bin/env bash
# Runs the peer libraries' own test suites (requests, httpx) with tarnwick underneath, offline.
# Usage: tests/peers/run.sh [requests|httpx|all] [pytest args...]   (after `make build`)
# The suites run in a private network namespace with only loopback up, so a test that tries
# to reach the internet fails here instead of sending anything out.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
PEERS=${PEERS_DIR:-build/peers}
VENV=${PEERS_VENV:-.venv-peers}
declare -A VERSION=([requests]=2.32.3 [httpx]=0.28.1)
declare -A PLUGIN=([requests]=tarnwick_peer_plugin [httpx]=tarnwick_httpx_plugin)
which=${1:-all}
[ $# -gt 0 ] && shift
case $which in
  all) suites=(requests httpx) ;;
  requests|httpx) suites=("$which") ;;
  *) echo "usage: $0 [requests|httpx|all] [pytest args...]" >&2; exit 2 ;;
esac

if [ "${TARNWICK_IN_NETNS:-}" != 1 ]; then
  # Everything that needs the package index happens out here.
  if [ ! -f "$VENV/.stamp" ] || [ requirements-peers.txt -nt "$VENV/.stamp" ]; then
    test -x "$VENV/bin/python" || "${PYTHON39:-python3.9}" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q -r requirements-peers.txt
    touch "$VENV/.stamp"
  fi
  mkdir -p "$PEERS"
  for suite in "${suites[@]}"; do
    v=${VERSION[$suite]}
    if [ ! -f "$PEERS/$suite-$v.tar.gz" ]; then
      "$VENV/bin/python" -m pip download -q --no-deps --no-binary :all: "$suite==$v" -d "$PEERS"
    fi
    if [ ! -d "$PEERS/$suite-$v/tests" ]; then
      tar -xzf "$PEERS/$suite-$v.tar.gz" -C "$PEERS"
    fi
  done
  # The module and the adapters as `make build` installed them into .venv.
  site=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  main=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  rm -rf "$site/tarnwick_adapters" "$site/tarnwick.cronet"
  cp -r "$main"/tarnwick.*.so "$main/tarnwick.cronet" "$main/tarnwick_adapters" "$site/"
  if [ "$(id -u)" != 0 ]; then
    echo "tests/peers/run.sh: needs root for a private network namespace (unshare -n)" >&2
    exit 1
  fi
  exec unshare -n env TARNWICK_IN_NETNS=1 "$0" "$which" "$@"
fi

ip link set lo up
VENV=$(cd "$VENV" && pwd)
export PYTHONPATH="$ROOT/tests/peers"
status=0
for suite in "${suites[@]}"; do
  echo "== $suite ${VERSION[$suite]}: its own tests with tarnwick underneath"
  export TARNWICK_EXPECTED_FAILURES="$ROOT/tests/peers/$suite-expected-failures.txt"
  export TARNWICK_DESELECTED="$ROOT/tests/peers/$suite-deselected.txt"
  [ -f "$TARNWICK_DESELECTED" ] || unset TARNWICK_DESELECTED
  # The tests import the library from the sdist's tree or the installed release of the
  # same version; pytest-httpbin's in-process servers are replaced by the plugin.
  (cd "$PEERS/$suite-${VERSION[$suite]}" &&
   "$VENV/bin/python" -m pytest -p "${PLUGIN[$suite]}" -p no:httpbin \
     -p no:cacheprovider -q -rfEX --timeout 120 tests "$@") || status=1
done
exit $status
