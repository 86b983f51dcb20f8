#!/usr/bin/env bash
# Builds the library's own libcurl from Debian's curl source package (with
# Debian's patches, through apt-get source): static, position-independent,
# HTTP and HTTPS only, GnuTLS, nghttp2, ngtcp2 + nghttp3, no content decoders.
#
#   tools/build-curl.sh [cache-dir]     (default: build/curl)
#
# The result is cached in <cache-dir>/<source version>/ and reused by every
# build of the tree (dev, sanitizers, bench); a later run with the same source
# version does nothing. Prints the install prefix on its last line.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${1:-$root/build/curl}"
mkdir -p "$cache"
cache="$(cd "$cache" && pwd)"

# The version apt-get source would fetch; the cache key.
dsc="$(cd "$cache" && apt-get source --print-uris curl 2>/dev/null | awk '$2 ~ /\.dsc$/ {print $2; exit}')"
if [[ -z "$dsc" ]]; then
  echo "build-curl: no curl source package; tools/ensure-apt.sh adds the deb-src entry" >&2
  exit 1
fi
version="${dsc#curl_}"
version="${version%.dsc}"
dir="$cache/$version"
prefix="$dir/install"
stamp="$prefix/.built"
# Configure options are part of the key too: a changed line rebuilds.
options=(
  --disable-shared --enable-static --with-pic --disable-dependency-tracking
  --with-gnutls --without-openssl --with-nghttp2 --with-ngtcp2 --with-nghttp3
  --without-zlib --without-brotli --without-zstd --without-libpsl --without-libidn2
  --without-librtmp --without-libssh --without-libssh2 --without-gssapi --without-libgsasl
  --without-ca-bundle --without-ca-path --without-ca-fallback
  --enable-http --enable-proxy --disable-ftp --disable-file --disable-ldap --disable-ldaps
  --disable-rtsp --disable-dict --disable-telnet --disable-tftp --disable-pop3 --disable-imap
  --disable-smb --disable-smtp --disable-gopher --disable-mqtt
  --disable-cookies --disable-netrc --disable-hsts --disable-alt-svc --disable-ntlm-wb

  --disable-mime --disable-doh --disable-manual --disable-libcurl-option --disable-unix-sockets
  --disable-progress-meter --disable-websockets --enable-threaded-resolver
)
# Fixes of our own, applied after Debian's patches (tools/curl-patches/*.patch),
# are part of the key as well.
patches=("$root"/tools/curl-patches/*.patch)
key="$( { printf '%s\n' "${options[@]}"; cat "${patches[@]}"; } | sha256sum | cut -c1-16)"
if [[ -f "$stamp" ]] && [[ "$(cat "$stamp")" == "$key" ]]; then
  echo "$prefix"
  exit 0
fi

exec 9>"$cache/.lock"
flock 9
if [[ -f "$stamp" ]] && [[ "$(cat "$stamp")" == "$key" ]]; then
  echo "$prefix"
  exit 0
fi

log="$dir/build.log"
rm -rf "$dir"
mkdir -p "$dir"
echo "build-curl: building libcurl $version in $dir (log: $log)" >&2
{
  cd "$dir"
  apt-get source -qq curl
  src="$(find "$dir" -maxdepth 1 -mindepth 1 -type d -name 'curl-*' | head -n1)"
  cd "$src"
  # Debian builds its GnuTLS flavour without the last patch of the series
  # (the NSS flavour's renames); so does this build.
  patch -R -p1 -s <debian/patches/99_nss.patch
  for p in "${patches[@]}"; do patch -p1 -s <"$p"; done
  # The Debian package regenerates its build files too (its patches touch them).
  autoreconf -fi
  # ngtcp2 and nghttp3 are found through pkg-config.
  # Through the C compiler launcher (ccache) when one is set, as CMake would.
  cc="${CC:-gcc}"
  [[ -n "${CMAKE_C_COMPILER_LAUNCHER:-}" ]] && cc="$CMAKE_C_COMPILER_LAUNCHER $cc"
  CC="$cc" CFLAGS="-O2 -g -fPIC -fvisibility=hidden" ./configure --prefix="$prefix" "${options[@]}"
  grep -E '^  (HTTP3|HTTP2|SSL|Protocols|Features)' config.log || true
  make -j"$(nproc)" -C lib
  make -C lib install
  make -C include install
  install -D -m644 libcurl.pc "$prefix/lib/pkgconfig/libcurl.pc"
} >"$log" 2>&1 || { echo "build-curl: failed; last lines of $log:" >&2; tail -n 40 "$log" >&2; exit 1; }
test -f "$prefix/lib/libcurl-gnutls.a" && grep -q '^#define USE_NGTCP2 1' "$(find "$dir" -maxdepth 3 -path '*/lib/curl_config.h' | head -n1)" \
  || { echo "build-curl: configure did not enable HTTP/3; see $log" >&2; exit 1; }
echo "$key" >"$stamp"
echo "$prefix"
