#!/usr/bin/env bash
# Builds the module against a Cronet library given with TARNWICK_CRONET_LIBRARY and
# checks that the installed module imports and works. The stand-in for another
# Cronet is a copy of the project's own library under another name and SONAME
# (libcronet_alt.so), so nothing can find it under the usual name by accident.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
py=.venv/bin/python
lib="$(find build/dev -name libcronet_curl.so -type f | head -1)"
[[ -n "$lib" ]] || { echo "check-cronet-library: run make build first" >&2; exit 2; }
out=build/alt-cronet
rm -rf "$out/lib" "$out/dist"
mkdir -p "$out/lib" "$out/dist"
cp "$lib" "$out/lib/libcronet_alt.so"
patchelf --set-soname libcronet_alt.so "$out/lib/libcronet_alt.so"
PATH="$root/.venv/bin:$PATH" "$py" -m pip wheel -q --no-build-isolation --no-deps -w "$out/dist" \
  --config-settings=build-dir="$out/build" \
  --config-settings=cmake.define.TARNWICK_CRONET_LIBRARY="$root/$out/lib/libcronet_alt.so" .
cd tests
TARNWICK_ALT_CRONET_WHEEL="$(ls "$root/$out"/dist/tarnwick-*.whl)" \
  "../$py" -m pytest -q -p no:cacheprovider test_wheel.py -k other_cronet
