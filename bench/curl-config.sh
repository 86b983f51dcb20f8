#!/bin/sh
# A curl-config for the project's own static libcurl (tools/build-curl.sh), so
# that pycurl's build links the libcurl tarnwick's engine is built on.
# The install prefix comes from BENCH_CURL_PREFIX.
P="${BENCH_CURL_PREFIX:?BENCH_CURL_PREFIX is not set}"
case "$1" in
    --version) echo "libcurl $(sed -n 's/^Version: *//p' "$P/lib/pkgconfig/libcurl.pc")" ;;
    --cflags) echo "-I$P/include" ;;
    # -l rather than the archive's path: the linker then takes the archive
    # before the libraries it needs.
    --libs|--static-libs)
        echo "-L$P/lib -lcurl-gnutls -lnghttp3 -lngtcp2_crypto_gnutls -lngtcp2 -lnghttp2 -lnettle -lgnutls -lpthread" ;;
    --features) printf 'SSL\nIPv6\nAsynchDNS\nHTTP2\nHTTP3\n' ;;
    --ssl-backends) echo "GnuTLS" ;;
    --prefix) echo "$P" ;;
    *) echo "curl-config: $1 is not supported here" >&2; exit 1 ;;
esac
