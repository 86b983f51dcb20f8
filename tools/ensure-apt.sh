#!/usr/bin/env bash
# Installs the Debian packages the build, tests and demo need, only when missing.
set -euo pipefail
pkgs=(g++ make libcurl4-openssl-dev libgtest-dev libgmock-dev nginx-light
      libnginx-mod-http-brotli-filter openssl ninja-build mingw-w64 g++-mingw-w64-x86-64-posix
      clang libclang-rt-14-dev procps libidn2-dev pkg-config iproute2 zlib1g-dev libbrotli-dev
      libzstd-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then exit 0; fi
echo "installing: ${missing[*]}"
if [ "$(id -u)" != 0 ]; then SUDO=sudo; else SUDO=; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
