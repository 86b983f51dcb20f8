#!/usr/bin/env bash
# Installs the Debian packages the build, tests and demo need, only when missing,
# and adds the deb-src entries the libcurl build (tools/build-curl.sh) fetches
# Debian's curl source package through.
set -euo pipefail
pkgs=(g++ make libgtest-dev libgmock-dev nginx-light
      libnginx-mod-http-brotli-filter openssl ninja-build mingw-w64 clang libclang-rt-14-dev
      procps iproute2 g++-mingw-w64-x86-64-posix
      # URL host names (IDNA) and content decoding.
      libidn2-dev zlib1g-dev libbrotli-dev libzstd-dev
      # bench/: pycurl is built against the system libcurl.
      libcurl4-openssl-dev
      # tools/build-curl.sh: apt-get source and the libcurl build.
      dpkg-dev patch autoconf automake libtool pkg-config
      libgnutls28-dev libnghttp2-dev libngtcp2-dev libngtcp2-crypto-gnutls-dev libnghttp3-dev
      # The HTTP/3 test server.
      ngtcp2-server
      # make lint, tools/restyle.py: clang-format, clang-tidy, clang-rename and
      # clang-apply-replacements.
      clang-format clang-tidy clang-tools-14)
if [ "$(id -u)" != 0 ]; then SUDO=sudo; else SUDO=; fi
updated=0

# Source entries mirroring the binary ones, when there are none yet.
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  echo "adding deb-src entries"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    case "$f" in *-src.sources) continue ;; esac
    sed 's/^Types: *deb$/Types: deb-src/' "$f" \
      | $SUDO tee "/etc/apt/sources.list.d/$(basename "$f" .sources)-src.sources" >/dev/null
  done
  if [ -f /etc/apt/sources.list ] && grep -qE '^deb ' /etc/apt/sources.list; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list \
      | $SUDO tee /etc/apt/sources.list.d/tarnwick-src.list >/dev/null
  fi
  $SUDO apt-get update -qq
  updated=1
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then exit 0; fi
echo "installing: ${missing[*]}"
[ $updated = 1 ] || $SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
