#!/usr/bin/env bash
# Compiles every core source for 64-bit Windows with mingw-w64 (objects only) to
# catch code that builds on Linux but not on the production target.
set -u
root="$(cd "$(dirname "$0")/.." && pwd)"
# The win32 thread model of mingw's libstdc++ has no std::mutex or
# std::shared_mutex; the posix one does, so prefer it when installed.
if [ -z "${CXX_MINGW:-}" ] && command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then
  cxx=x86_64-w64-mingw32-g++-posix
else
  cxx="${CXX_MINGW:-x86_64-w64-mingw32-g++}"
fi
if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "check-windows-compile: $cxx not found" >&2
  exit 2
fi
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

status=0
count=0
for src in "$root"/src/cronet/*.cpp; do
  name="$(basename "$src" .cpp)"
  [ "$name" = platform_posix ] && continue
  count=$((count + 1))
  if ! "$cxx" -std=c++20 -Wall -Wextra -D_WIN32_WINNT=0x0A00 \
      -I "$root/include" -I "$root/src/cronet" -c "$src" -o "$out/$name.o"; then
    echo "check-windows-compile: FAILED $src" >&2
    status=1
  fi
done
if [ "$count" -eq 0 ]; then
  echo "check-windows-compile: no sources found" >&2
  exit 2
fi
[ "$status" -eq 0 ] && echo "check-windows-compile: $count sources compiled"
exit "$status"
