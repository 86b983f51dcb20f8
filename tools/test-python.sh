#!/usr/bin/env bash
# The pytest suite under another CPython: its own venv (.venv-pyX.Y) and build
# directory (build/pyX.Y), so the 3.9 set-up in .venv and build/dev is untouched.
#   tools/test-python.sh /path/to/python3.X [pytest args...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${1:?usage: test-python.sh PYTHON [pytest args...]}"
shift
if ! ver="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)"; then
  echo "test-python: $python is not a Python interpreter" >&2
  exit 2
fi
venv="$root/.venv-py$ver"
build="build/py$ver"
cd "$root"
if [[ ! -x "$venv/bin/python" || requirements-test.txt -nt "$venv/.requirements" ]]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r requirements-test.txt
  touch "$venv/.requirements"
fi
PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
  --config-settings=build-dir="$build" .
cd tests
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider -n 4 --dist worksteal "$@"
