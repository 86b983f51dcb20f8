#!/usr/bin/env bash
# make wheel: a wheel that installs on other Linux machines. The plain wheel
# needs the build machine's shared libraries (libcurl and what it pulls in);
# auditwheel copies them into tarnwick.libs/ inside the wheel, points the run
# paths there and tags it manylinux for this machine's glibc. Whatever the
# engine links statically is simply not needed any more.
#   tools/build-wheel.sh [PYTHON]     (default: .venv/bin/python) -> dist/
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
py="${1:-$root/.venv/bin/python}"
venv_bin="$(dirname "$py")"
cd "$root"
tag="$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
raw="build/wheel-$tag/raw"
rm -rf "$raw"
mkdir -p "$raw" dist
PATH="$venv_bin:$PATH" "$py" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" \
  --config-settings=build-dir="build/wheel-$tag" .
glibc="$(getconf GNU_LIBC_VERSION)"          # e.g. "glibc 2.36"
glibc="${glibc#glibc }"
plat="manylinux_${glibc%%.*}_${glibc#*.}_$(uname -m)"
rm -f dist/tarnwick-*-"$tag"-"$tag"-*.whl
"$venv_bin/auditwheel" repair --plat "$plat" -w dist "$raw"/tarnwick-*.whl
wheel="$(ls dist/tarnwick-*-"$tag"-"$tag"-*.whl)"
"$venv_bin/auditwheel" show "$wheel"
echo "wheel: $wheel"
