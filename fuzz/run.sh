#!/usr/bin/env bash
# Builds the libFuzzer targets of the library's pure parsers and runs each for
# a bounded time against its corpus in fuzz/corpus/<target>/.
#
#   fuzz/run.sh [seconds]          run every target (default 60 s each)
#   fuzz/run.sh --merge [seconds]  also fold new interesting inputs into the corpus
#   FUZZ_TARGETS="url" fuzz/run.sh  only these targets
#
# New inputs found during a run go to a scratch directory, so the checked-in
# corpus only changes with --merge. A crash leaves its input under
# build/fuzz/artifacts/ and makes the script exit non-zero.
set -euo pipefail

merge=0
if [[ "${1:-}" == "--merge" ]]; then merge=1; shift; fi
seconds="${1:-60}"

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/fuzz"
cxx="${FUZZ_CXX:-$(command -v clang++-14 || command -v clang++)}"
read -ra targets <<<"${FUZZ_TARGETS:-proxy_rules header_validation url content_decoder response_head}"
# Sources and libraries beyond fuzz/<t>_fuzz.cpp and src/cronet_curl/<t>.cpp.
declare -A extra_src=([url]="url_parser.cpp url_host.cpp")
declare -A extra_libs=([url]="-lcurl -lidn2" [content_decoder]="$(pkg-config --libs zlib libbrotlidec libzstd)")

mkdir -p "$out/artifacts"
flags=(-std=c++20 -g -O1 -Wall -Wextra -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=all -I"$root/include" -I"$root/src/cronet_curl"
       -I"$root/src/cronet_curl/include")
# In CI a warning fails the build, as in the CMake builds.
if [[ "${CI:-}" == true ]]; then flags+=(-Werror); fi

for t in "${targets[@]}"; do
  src=("$root/fuzz/${t}_fuzz.cpp" "$root/src/cronet_curl/${t}.cpp")
  for f in ${extra_src[$t]:-}; do src+=("$root/src/cronet_curl/$f"); done
  bin="$out/${t}_fuzz"
  if [[ ! -x "$bin" ]] || [[ -n "$(find "${src[@]}" "$root"/src/cronet_curl/*.h "$root"/src/cronet_curl/include/*.h \
        "$root/include/cronet_c.h" -newer "$bin" 2>/dev/null)" ]]; then
    echo "fuzz: building $t"
    # shellcheck disable=SC2086  # the library list is meant to split
    "$cxx" "${flags[@]}" "${src[@]}" -o "$bin" ${extra_libs[$t]:-}
  fi
done

status=0
for t in "${targets[@]}"; do
  corpus="$root/fuzz/corpus/$t"
  scratch="$out/new/$t"
  mkdir -p "$scratch"
  dict=()
  [[ -f "$root/fuzz/$t.dict" ]] && dict=(-dict="$root/fuzz/$t.dict")
  echo "fuzz: $t for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 "$out/${t}_fuzz" "${dict[@]}" -max_total_time="$seconds" \
      -timeout=10 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="$out/artifacts/$t-" "$scratch" "$corpus" >"$out/$t.log" 2>&1; then
    echo "fuzz: $t FAILED; see $out/$t.log and $out/artifacts/" >&2
    tail -n 40 "$out/$t.log" >&2
    status=1
    continue
  fi
  grep -E '^stat::number_of_executed_units|^Done' "$out/$t.log" || true
  if [[ $merge == 1 ]]; then
    "$out/${t}_fuzz" -merge=1 "$corpus" "$scratch" >>"$out/$t.log" 2>&1
  fi
done
exit $status
