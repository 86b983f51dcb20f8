#!/usr/bin/env bash
# Sanitizer run, two parts; exits non-zero on any report or failing test.
#
# 1. AddressSanitizer + UndefinedBehaviorSanitizer: the module and the bundled
#    Cronet library are built with TARNWICK_SANITIZE=address,undefined into
#    build/asan and installed into their own virtual environment .venv-asan
#    (same Python 3.9, test requirements from requirements-test.txt), so the
#    project's .venv keeps its normal build. The whole pytest suite then runs
#    on that interpreter with gcc's ASan runtime preloaded (the interpreter
#    itself is not instrumented, and the runtime must come first). Leaks are
#    checked when the suite ends, in each pytest process; tools/lsan.supp
#    names the interpreter's own leaks only.
#    The preload goes through a wrapper, .venv-asan/bin/python-asan, which
#    becomes sys.executable: Python processes the tests start get the runtime
#    too, while a .pth hook takes LD_PRELOAD out of each interpreter's
#    environment so that nginx and other programs run without it.
# 2. ThreadSanitizer: the C++ tests of the library and the core, built into
#    build/tsan, run with ctest.
#
# Options through the environment: SANITIZE_ONLY=asan|tsan runs one part;
# PYTEST_ARGS adds arguments to pytest (e.g. "-k stress").
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
python39="${PYTHON39:-$(PYENV_VERSION=3.9.18 pyenv which python3.9 2>/dev/null || command -v python3.9)}"
venv="$root/.venv-asan"
asan_build="$root/build/asan"
tsan_build="$root/build/tsan"
logs="$root/build/sanitize-logs"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
mkdir -p "$logs"

# Any of these in a log is a report, whatever the exit status says.
report_pattern='ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|WARNING: ThreadSanitizer|ERROR: ThreadSanitizer'

check_log() {
  if grep -Eq "$report_pattern" "$1"; then
    echo "sanitize: reports in $1:" >&2
    grep -E -A20 "$report_pattern" "$1" | head -n 120 >&2
    return 1
  fi
}

run_asan() {
  if [[ ! -x "$venv/bin/python" ]]; then
    "$python39" -m venv "$venv"
  fi
  if [[ ! -f "$venv/.requirements" ]] || ! cmp -s requirements-test.txt "$venv/.requirements"; then
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q -r requirements-test.txt
    cp requirements-test.txt "$venv/.requirements"
  fi
  echo "sanitize: building the module with address,undefined into $asan_build"
  PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
    --force-reinstall \
    --config-settings=build-dir="$asan_build" \
    --config-settings=cmake.define.TARNWICK_SANITIZE=address,undefined \
    --config-settings=cmake.define.TARNWICK_TESTS=OFF .

  local asan_rt cxx_rt real_python wrapper="$venv/bin/python-asan" worker="$venv/bin/python-asan-worker"
  asan_rt="$(g++ -print-file-name=libasan.so)"
  [[ -f "$asan_rt" ]] || { echo "sanitize: no libasan.so from g++" >&2; return 1; }
  # The C++ runtime is preloaded too: ASan looks up __cxa_throw when it starts,
  # and the (C) interpreter would otherwise load it only with the module.
  cxx_rt="$(g++ -print-file-name=libstdc++.so.6)"
  asan_rt="$asan_rt:$cxx_rt"
  real_python="$(readlink -f "$venv/bin/python")"
  cat >"$wrapper" <<WRAP
#!/bin/bash
# Python with the ASan runtime preloaded; argv[0] keeps the virtual environment.
LD_PRELOAD="$asan_rt\${LD_PRELOAD:+:\$LD_PRELOAD}" exec -a "\$0" "$real_python" "\$@"
WRAP
  chmod +x "$wrapper"
  # The pytest workers: same preload, their own options (the leak check is on
  # in them), and argv[0] of the wrapper above, so that what they start
  # through sys.executable is treated like any other child.
  cat >"$worker" <<WRAP
#!/bin/bash
ASAN_OPTIONS="\$TARNWICK_WORKER_ASAN_OPTIONS" LD_PRELOAD="$asan_rt\${LD_PRELOAD:+:\$LD_PRELOAD}" exec -a "$wrapper" "$real_python" "\$@"
WRAP
  chmod +x "$worker"
  local site
  site="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
  # Runs at the start of every interpreter of .venv-asan: its children get no
  # preload, and no leak check (see TARNWICK_CHILD_ASAN_OPTIONS below).
  echo 'import os; os.environ.pop("LD_PRELOAD", None); os.environ["ASAN_OPTIONS"] = os.environ.get("TARNWICK_CHILD_ASAN_OPTIONS", os.environ.get("ASAN_OPTIONS", ""))' \
    >"$site/zz_drop_preload.pth"

  # The stress tests do a tenth of their work here: the instrumented run is
  # several times slower, and ASan's quarantine makes RSS meaningless.
  # Reports go to files of their own: pytest captures the standard error of
  # each test, and a report written there would vanish with the process.
  # Leaks are checked in the pytest processes (four workers and the one that
  # leads them), where the module does its work; the test suite runs that
  # check itself once the threads have settled, before the interpreter ends.
  # Python processes the suite starts (the local servers, which never load the
  # module, and a few scripts that do) keep ASan but skip the exit-time leak
  # check: the servers exit with daemon threads still running, and what those
  # threads hold is the interpreter's, not ours.
  local log="$logs/pytest-asan.log" status=0 reports="$logs/asan-reports"
  # Allocation stacks are unwound without frame pointers: the interpreter has
  # none, and the suppressions match functions deep inside it. Twelve frames
  # are enough for them and keep the cost down.
  # No __tls_get_addr interception: gcc 12's runtime guesses the bounds of
  # each dynamic TLS block from a header older C libraries put in front of it,
  # and on this one the guess yields wild ranges (seen with verbosity=2 as
  # "glibc >=2.19 suspected; tls={0x..73a 0x2800001102}"), so the leak check
  # crashes ("Tracer caught signal 11") whenever a live thread has such a
  # block. Without it the check does not use dynamic TLS as roots, which can
  # only add reports, never hide one.
  local asan_opts="halt_on_error=1:abort_on_error=0:detect_odr_violation=0:malloc_context_size=12:fast_unwind_on_malloc=0:intercept_tls_get_addr=0:log_path=$reports/asan"
  rm -rf "$reports" && mkdir -p "$reports"
  echo "sanitize: pytest under ASan/UBSan (log: $log, reports: $reports)"
  (
    cd tests
    # PYTHONMALLOC=malloc: every Python object goes through the sanitized
    # allocator, so a binding that misuses one is caught.
    env PYTHONMALLOC=malloc \
      ASAN_OPTIONS="detect_leaks=1:$asan_opts" \
      TARNWICK_WORKER_ASAN_OPTIONS="detect_leaks=1:$asan_opts" \
      TARNWICK_CHILD_ASAN_OPTIONS="detect_leaks=0:$asan_opts" \
      LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0" \
      UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
      TARNWICK_STRESS_SCALE=0.1 \
      TARNWICK_SANITIZED=1 \
      "$wrapper" -m pytest -q -p no:cacheprovider --dist worksteal --tx "4*popen//python=$worker" \
        ${PYTEST_ARGS:-}
  ) >"$log" 2>&1 || status=$?
  tail -n 5 "$log"
  check_log "$log" || status=1
  local f
  for f in "$reports"/*; do
    [[ -e "$f" ]] || continue
    echo "sanitize: report $f" >&2
    head -n 60 "$f" >&2
    status=1
  done
  if [[ $status != 0 ]]; then
    echo "sanitize: ASan/UBSan run failed (status $status)" >&2
    return 1
  fi
}

run_tsan() {
  local log="$logs/ctest-tsan.log" status=0
  local tools="$venv/bin"
  [[ -x "$tools/cmake" ]] || tools="$root/.venv/bin"
  echo "sanitize: building the C++ tests with thread into $tsan_build"
  PATH="$tools:$PATH" cmake -S "$root" -B "$tsan_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARNWICK_PYTHON=OFF -DTARNWICK_TESTS=ON -DTARNWICK_SANITIZE=thread >"$logs/tsan-configure.log"
  PATH="$tools:$PATH" cmake --build "$tsan_build" -j "$CMAKE_BUILD_PARALLEL_LEVEL" \
    >"$logs/tsan-build.log" 2>&1 || { tail -n 40 "$logs/tsan-build.log" >&2; return 1; }
  echo "sanitize: ctest under TSan (log: $log)"
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tools/tsan.supp" \
    PATH="$tools:$PATH" ctest --test-dir "$tsan_build" --output-on-failure -j 2 \
    >"$log" 2>&1 || status=$?
  tail -n 5 "$log"
  check_log "$log" || status=1
  if [[ $status != 0 ]]; then
    echo "sanitize: TSan run failed (status $status)" >&2
    return 1
  fi
}

overall=0
case "${SANITIZE_ONLY:-all}" in
  asan) run_asan || overall=1 ;;
  tsan) run_tsan || overall=1 ;;
  all) run_asan || overall=1; run_tsan || overall=1 ;;
  *) echo "sanitize: SANITIZE_ONLY must be asan or tsan" >&2; exit 2 ;;
esac
if [[ $overall != 0 ]]; then
  echo "sanitize: FAILED" >&2
  exit 1
fi
echo "sanitize: no reports"
