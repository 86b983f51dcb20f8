#!/usr/bin/env bash
# Configures the CMake project for 64-bit Windows with mingw-w64 and builds the
# core (src/cronet) against a Cronet import library, to catch code or build
# files that work on Linux but not on the production target. The import library
# is made here from the declarations in include/cronet_c.h; the binding is not
# built (no Windows CPython headers on this machine).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cxx=x86_64-w64-mingw32-g++-posix
if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "check-windows-compile: $cxx not found (Debian package g++-mingw-w64-x86-64-posix)" >&2
  exit 2
fi
# CMake and Ninja from the project's venv (PyPI), else from PATH.
export PATH="$root/.venv/bin:$PATH"
cmake=cmake
out="$root/build/windows"
mkdir -p "$out/cronet"
# Every function the header declares becomes an export of the stand-in DLL.
{
  echo 'LIBRARY "cronet.144.0.7506.0.dll"'
  echo "EXPORTS"
  grep -oE '\bCronet_[A-Za-z0-9_]+\(' "$root/include/cronet_c.h" | tr -d '(' | sort -u
} > "$out/cronet/cronet.def"
x86_64-w64-mingw32-dlltool -d "$out/cronet/cronet.def" -l "$out/cronet/libcronet.dll.a"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
"$cmake" -S "$root" -B "$out" "${generator[@]}" --fresh \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DTARNWICK_PYTHON=OFF -DCMAKE_CXX_FLAGS="-D_WIN32_WINNT=0x0A00" \
  -DTARNWICK_CRONET_LIBRARY="$out/cronet/libcronet.dll.a" >"$out/configure.log" ||
  { cat "$out/configure.log"; exit 1; }
"$cmake" --build "$out" --target tarnwick_core
# Linking the whole core into a DLL shows that every Cronet function it calls is
# in the import library and that the Windows libraries it needs are named.
"$cxx" -shared -o "$out/core_link_check.dll" -Wl,--whole-archive \
  "$out/src/cronet/libtarnwick_core.a" -Wl,--no-whole-archive "$out/cronet/libcronet.dll.a" \
  -lbcrypt -static-libgcc -static-libstdc++
n="$(grep -c . "$out/cronet/cronet.def")"
echo "check-windows-compile: core configured, built and linked for Windows" \
  "against an import library of $((n - 2)) functions"
