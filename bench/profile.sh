#!/usr/bin/env bash
# Profiles tarnwick with perf on the small-GET and download workloads.
# Builds its own copy of the module (same optimisation as the installed one,
# plus symbols and frame pointers) under build/bench-prof, so the installed
# module is left alone. Output: bench/results/profile_auto.md.
# Needs `make build`, perf and a bench venv (bench/run.sh --smoke makes it).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
BUILD="$ROOT/build/bench-prof"
PATH="$ROOT/.venv/bin:$PATH" cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="-g -fno-omit-frame-pointer" -DTARNWICK_TESTS=OFF \
    -DPython_EXECUTABLE="$ROOT/.venv/bin/python" >/dev/null
PATH="$ROOT/.venv/bin:$PATH" cmake --build "$BUILD" -j2 >/dev/null
cmake --install "$BUILD" --prefix "$BUILD/site" >/dev/null
export PYTHONPATH="$BUILD/site${PYTHONPATH:+:$PYTHONPATH}"
export TARNWICK_PYTHON="${TARNWICK_PYTHON:-$ROOT/.venv/bin/python}"
"$TARNWICK_PYTHON" -c "import tarnwick, sys; assert tarnwick.__file__.startswith('$BUILD'), tarnwick.__file__"
exec "$ROOT/.venv-bench/bin/python" "$ROOT/bench/profile.py" "$@"
