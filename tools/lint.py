#!/usr/bin/env python3
"""`make lint`: the tree keeps its style (.clang-format, .clang-tidy).

    tools/lint.py [--build-dir build/dev] [--jobs 2] [--no-tidy]

Checks that no .cc file and no include guard came back (public C headers under
include/ keep their guards), runs clang-format --dry-run --Werror over every
C/C++ file, and clang-tidy over every translation unit of the CMake build
(its compile_commands.json, so build first: `make build`), plus the fuzz
targets, bench programs and Windows-only files that CMake does not build here.
tools/restyle.py converts what this finds.
"""
import argparse
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import style_tree as st  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", default="build/dev")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--no-tidy", action="store_true")
    args = ap.parse_args()
    os.chdir(st.ROOT)
    t0 = time.monotonic()
    failed = []

    files = st.cxx_files()
    cc = [f for f in st.cxx_files(include_public=True) if f.endswith((".cc", ".cxx"))]
    if cc:
        failed.append("sources named .cc/.cxx (the tree uses .cpp): " + " ".join(cc))
    guarded = []
    for f in st.headers(files):
        with open(f, encoding="utf-8") as fh:
            text = fh.read()
        if not re.search(r"^#pragma once\b", text, re.M):
            guarded.append(f)
    if guarded:
        failed.append("headers without #pragma once: " + " ".join(guarded))

    r = subprocess.run([st.tool("clang-format"), "--dry-run", "--Werror", *files],
                       capture_output=True, text=True)
    if r.returncode != 0:
        print(r.stderr[-20000:], end="")
        bad = sorted({os.path.relpath(m, st.ROOT) if os.path.isabs(m) else m
                      for m in re.findall(r"^(\S+?):\d+:\d+: (?:error|warning)", r.stderr, re.M)})
        failed.append("clang-format would change: " + " ".join(bad)
                      + " (clang-format -i FILE, or tools/restyle.py)")
    print(f"lint: clang-format over {len(files)} files", flush=True)

    if not args.no_tidy:
        db = os.path.join(args.build_dir, "compile_commands.json")
        if not os.path.exists(db):
            sys.exit(f"lint: {db} missing: build first (make build)")
        units = st.compile_units(args.build_dir)
        lint_db = os.path.join(st.ROOT, "build/lint")
        st.write_db(units, lint_db)
        results = st.run_tidy(lint_db, sorted(units), args.jobs)
        bad = []
        for path, rc, out in results:
            if rc != 0:
                bad.append(path)
                print(out.rstrip())
        if bad:
            failed.append("clang-tidy findings in units: " + " ".join(bad))
        print(f"lint: clang-tidy over {len(units)} translation units", flush=True)

    took = time.monotonic() - t0
    for f in failed:
        print(f"lint: {f}", file=sys.stderr)
    print(f"lint: {'FAILED' if failed else 'clean'} in {took:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
