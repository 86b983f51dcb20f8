#!/usr/bin/env python3
"""Converts the tree to its one C++ style (.clang-format, .clang-tidy) and can be
run again on a tree that has changed since: it finds what to convert each time.

    tools/restyle.py            convert, then `make build`
    tools/restyle.py --no-build convert only
    tools/restyle.py --report   only list what clang-tidy would rename (no changes)

Run it from a clean checkout (commit or stash first) after `make deps`; it needs
clang-tidy, clang-format and clang-apply-replacements (clang-tools-14).
Steps, each a no-op when there is nothing left to do:
  1. `git mv` every .cc of the project to .cpp and rewrite the references to it
     (CMake lists, scripts, Makefile, READMEs, comments); history files
     (CHANGELOG.md, bench/results/, patches and diffs) keep the old names.
  2. Classic include guards -> #pragma once (public C headers under include/
     directories keep theirs).
  3. Configures build/restyle (CMake, C++ tests on) for compile_commands.json
     and adds the sources CMake does not build here (fuzz/, bench/, the
     Windows-only files, read as mingw-w64 compiles them).
     a. CLANG_RENAMES below: names whose snake_case form is a keyword or is
        already taken where they are used, renamed by qualified name with
        clang-rename (a name not found is skipped).
     b. clang-tidy with -export-fixes over every translation unit (2 jobs); all
        fixes applied once with clang-apply-replacements, which merges the
        identical fixes of a header seen from several units. The renames are
        .clang-tidy's readability-identifier-naming; what it leaves alone (the
        Cronet C API, the CronetTest_* controls the Python tests call through
        ctypes, GoogleTest hooks, fuzzer and CPython entry points) is listed there.
     c. The renamed names followed where clang-tidy does not go: macro bodies,
        and comments that write them as calls, qualified or compound names.
  4. clang-format -i over every C/C++ file.
  5. `make build`, then a list of what could not be converted (diagnostics
     without a fix, units that did not parse) and of new names that were
     already used in a file they touch: check those for a clash clang-tidy
     cannot see (a local or a C function now hidden by the renamed name).

After merging branches written in the old style: commit the merge, run
`tools/restyle.py`, fix what it lists (a clash the build reports: add the old
name's qualified name and a new name to CLANG_RENAMES, reset, run again), then
`make test`, `make lint` and `make windows-compile`, and commit the result.
Running it again on its own result changes nothing.
Exit status: 0 when everything converted and built, 1 otherwise.
"""
import argparse
import concurrent.futures
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import style_tree as st  # noqa: E402

ROOT = st.ROOT
JOBS = 2

# Names whose plain snake_case form cannot be used: it is a keyword, or it is
# already taken where the name is used (a member, a local, a parameter, a C
# library function). Renamed first, by qualified name, with clang-rename (which
# follows overrides and every use); a name not found is skipped, so each entry is
# a no-op once done or when the code has moved on.
CLANG_RENAMES = [
    ("cronet_curl::ContentDecoder::For", "for_encoding"),  # for
    ("cronet_curl::EngineCore::Register", "register_request"),  # register
    ("Cronet_Runnable::Run", "invoke"),  # its member `run`, the app's run function
    ("cronet_curl::RequestCore::PostClose", "post_provider_close"),  # local post_close
    ("cronet_curl::RequestCore::PostTerminal", "post_terminal_callback"),  # local post_terminal
    ("cronet_curl::(anonymous namespace)::Lower", "ascii_lower"),  # parameter lower
    ("cronet_curl::(anonymous namespace)::Inflate", "inflate_step"),  # zlib's inflate()
    ("ctest::TestRequest::OnRedirect", "on_redirect_received"),  # member on_redirect
    ("ctest::TestRequest::OnRead", "on_read_completed"),  # member on_read
    ("(anonymous namespace)::Urls::Key", "fresh_key"),  # local key
    ("(anonymous namespace)::Bomb", "make_bomb"),  # local bomb
]

# Files whose old names are history, not references.
HISTORY = re.compile(r"^(CHANGELOG\.md|bench/results/|tools/curl-patches/)|\.(diff|patch)$")
CC_REF = re.compile(r"(?<=[\w}*/>)\]])\.cc\b")


def git(*args, **kw):
    return subprocess.run(["git", *args], cwd=ROOT, check=True, **kw)


def log(msg):
    print(f"restyle: {msg}", flush=True)


def rename_sources():
    renamed = []
    tracked = set(subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                                 capture_output=True).stdout.decode().split("\0"))
    for f in st.cxx_files(include_public=True):
        if not f.endswith(".cc"):
            continue
        new = f[:-3] + ".cpp"
        if os.path.exists(os.path.join(ROOT, new)):
            sys.exit(f"restyle: cannot rename {f}: {new} exists")
        if f in tracked:
            git("mv", f, new)
        else:
            os.rename(os.path.join(ROOT, f), os.path.join(ROOT, new))
        renamed.append(f)
    log(f"renamed {len(renamed)} .cc files to .cpp")
    changed = []
    for f in st.git_files():
        if HISTORY.search(f) or not st.project_file(f):
            continue
        path = os.path.join(ROOT, f)
        try:
            with open(path, encoding="utf-8") as fh:
                text = fh.read()
        except (UnicodeDecodeError, OSError):
            continue
        new_text = CC_REF.sub(".cpp", text)
        if new_text != text:
            with open(path, "w", encoding="utf-8") as fh:
                fh.write(new_text)
            changed.append(f)
    if changed:
        log("references to .cc rewritten in: " + ", ".join(changed))


def pragma_once():
    done, kept = [], []
    for f in st.headers(st.cxx_files()):
        path = os.path.join(ROOT, f)
        with open(path, encoding="utf-8") as fh:
            text = fh.read()
        if re.search(r"^\s*#\s*pragma\s+once\b", text, re.M):
            continue
        guard = st.find_include_guard(text)
        if not guard:
            kept.append(f)
            continue
        _, open_m, close_m = guard
        text = text[:open_m.start()] + "#pragma once\n" + text[open_m.end():close_m.start()] + "\n"
        text = text.rstrip("\n") + "\n"
        with open(path, "w", encoding="utf-8") as fh:
            fh.write(text)
        done.append(f)
    log(f"include guards -> #pragma once in {len(done)} headers")
    return kept


def units_mentioning(units, names):
    """The units that contain one of names, themselves or through the project
    headers they include (quoted includes, found by file name)."""
    word = re.compile(r"\b(%s)\b" % "|".join(map(re.escape, names)))
    by_name, includes, mentions = {}, {}, set()
    for f in st.cxx_files(include_public=True):
        by_name.setdefault(os.path.basename(f), []).append(f)
        with open(os.path.join(ROOT, f), encoding="utf-8") as fh:
            text = fh.read()
        includes[f] = [os.path.basename(i) for i in re.findall(r'#\s*include\s*"([^"]+)"', text)]
        if word.search(text):
            mentions.add(f)

    def reaches(f, seen):
        if f in mentions:
            return True
        for inc in includes.get(f, []):
            for h in by_name.get(inc, []):
                if h not in seen:
                    seen.add(h)
                    if reaches(h, seen):
                        return True
        return False

    return [u for u in units if reaches(u, {u})]


def clang_renames(db_dir, files):
    """CLANG_RENAMES over every unit, fixes merged and applied once."""
    fix_dir = tempfile.mkdtemp(prefix="restyle-renames-")
    spec = os.path.join(fix_dir, "renames.in")
    with open(spec, "w") as fh:
        fh.write("---\n")
        for qualified, new in CLANG_RENAMES:
            fh.write(f"- QualifiedName: '{qualified}'\n  NewName: {new}\n")
    rename = st.tool("clang-rename")
    out_dir = os.path.join(fix_dir, "fixes")
    os.makedirs(out_dir)

    def one(i_file):
        i, path = i_file
        subprocess.run([rename, "--force", f"--input={spec}", "-p", db_dir,
                        f"--export-fixes={os.path.join(out_dir, f'{i:04d}.yaml')}",
                        os.path.join(ROOT, path)], cwd=ROOT, capture_output=True)

    names = {q.split("::")[-1] for q, _ in CLANG_RENAMES}
    files = units_mentioning(files, names)
    with concurrent.futures.ThreadPoolExecutor(max_workers=JOBS) as pool:
        list(pool.map(one, enumerate(files)))
    n = sum(open(y).read().count("ReplacementText:") for y in glob.glob(out_dir + "/*.yaml"))
    if n:
        r = subprocess.run([st.tool("clang-apply-replacements"), out_dir], cwd=ROOT,
                           capture_output=True, text=True)
        if r.returncode != 0:
            print(r.stdout, r.stderr)
            sys.exit("restyle: clang-rename's fixes conflict")
    log(f"hand-picked renames: {n} replacements")
    applied = set()
    for y in glob.glob(out_dir + "/*.yaml"):
        with open(y, encoding="utf-8") as fh:
            applied.update(yaml_str(t) for t in re.findall(r"ReplacementText:(.*)", fh.read()))
    shutil.rmtree(fix_dir, ignore_errors=True)
    return [(q.split("::")[-1], new) for q, new in CLANG_RENAMES if new in applied]


def configure(build_dir):
    cmake = os.path.join(ROOT, ".venv/bin/cmake")
    if not os.path.exists(cmake):
        cmake = shutil.which("cmake") or sys.exit("restyle: no cmake (run `make deps` first)")
    python = os.path.join(ROOT, ".venv/bin/python")
    gen = ["-G", "Ninja"] if shutil.which("ninja") or os.path.exists(
        os.path.join(ROOT, ".venv/bin/ninja")) else []
    env = dict(os.environ, PATH=os.path.join(ROOT, ".venv/bin") + os.pathsep + os.environ["PATH"])
    r = subprocess.run([cmake, "-S", ROOT, "-B", build_dir, *gen, "--fresh",
                        "-DTARNWICK_TESTS=ON", f"-DPython_EXECUTABLE={python}",
                        "-DCMAKE_BUILD_TYPE=Debug"], cwd=ROOT, env=env,
                       capture_output=True, text=True)
    if r.returncode != 0:
        print(r.stdout, r.stderr)
        sys.exit("restyle: CMake configure failed")


def yaml_str(v):
    v = v.strip()
    if len(v) >= 2 and v[0] == v[-1] == "'":
        return v[1:-1].replace("''", "'")
    if len(v) >= 2 and v[0] == v[-1] == '"':
        return v[1:-1].encode().decode("unicode_escape")
    return v


def parse_fixes(fix_dir):
    """[(check, message, file, [(path, offset, length, text)])] from exported YAML.
    A small reader for the fixed layout clang-tidy writes (no PyYAML needed)."""
    diags = []
    for y in sorted(glob.glob(os.path.join(fix_dir, "*.yaml"))):
        cur = None
        repl = None
        with open(y, encoding="utf-8") as fh:
            for line in fh:
                s = line.strip()
                if s.startswith("- DiagnosticName:"):
                    cur = {"check": yaml_str(s.split(":", 1)[1]), "repl": [],
                           "file": "", "message": ""}
                    diags.append(cur)
                elif cur is None:
                    continue
                elif s.startswith("Message:") and not cur["message"]:
                    cur["message"] = yaml_str(s.split(":", 1)[1])
                elif s.startswith("FilePath:") and not cur["file"]:
                    cur["file"] = yaml_str(s.split(":", 1)[1])
                elif s.startswith("- FilePath:"):
                    repl = {"path": yaml_str(s.split(":", 1)[1])}
                    cur["repl"].append(repl)
                elif s.startswith("ReplacementText:") and repl is not None:
                    repl["text"] = yaml_str(s.split(":", 1)[1])
    return diags


def identifier_renames(diags):
    """{old: new} of the naming check, with the files each touches."""
    out = {}
    for d in diags:
        if d["check"] != "readability-identifier-naming":
            continue
        m = re.search(r"for [\w ]+ '([^']+)'", d["message"])
        if not m or not d["repl"]:
            continue
        new = d["repl"][0].get("text", "")
        out.setdefault((m.group(1), new), set()).update(r["path"] for r in d["repl"])
    return out


def possible_clashes(renames):
    """Renames whose new name already names something else in a file it touches:
    a method `Start` next to a member `start`, a function named like a local."""
    found = []
    for (old, new), files in sorted(renames.items()):
        if old == new:
            continue
        for f in sorted(files):
            try:
                with open(f, encoding="utf-8") as fh:
                    text = fh.read()
            except OSError:
                continue
            if re.search(r"(?<![\w.>])%s\b" % re.escape(new), strip_comments(text)):
                found.append((old, new, os.path.relpath(f, ROOT)))
    return found


def strip_comments(text):
    text = re.sub(r"^\s*#\s*include[^\n]*", "", text, flags=re.M)
    text = re.sub(r"//[^\n]*", "", text)
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    return re.sub(r'"(\\.|[^"\\\n])*"', '""', text)


def tidy_fix(build_dir, report_only):
    lint_db = os.path.join(ROOT, "build/restyle-db")
    units = st.compile_units(build_dir)
    st.write_db(units, lint_db)
    files = sorted(units)
    done = [] if report_only else clang_renames(lint_db, files)
    fix_dir = tempfile.mkdtemp(prefix="restyle-fixes-")
    log(f"clang-tidy over {len(files)} translation units ({JOBS} jobs)")
    results = st.run_tidy(lint_db, files, JOBS, export_dir=fix_dir)
    broken = []
    for path, rc, out in results:
        if "clang-diagnostic-error" in out:
            print(f"restyle: {path} did not parse:\n{out[-3000:]}")
            broken.append((path, "clang-tidy could not parse it: not converted"))
    diags = parse_fixes(fix_dir)
    renames = identifier_renames(diags)
    unfixed = sorted({(os.path.relpath(d["file"], ROOT) if d["file"] else "?", d["message"])
                      for d in diags if not d["repl"]}) + broken
    clashes = possible_clashes(renames)
    if report_only:
        for (old, new), fs in sorted(renames.items()):
            print(f"  {old} -> {new}  ({len(fs)} files)")
    else:
        r = subprocess.run([st.tool("clang-apply-replacements"), fix_dir], cwd=ROOT,
                           capture_output=True, text=True)
        if r.returncode != 0:
            print(r.stdout, r.stderr)
            unfixed.append(("clang-apply-replacements", "conflicting fixes, see above"))
        log(f"applied {len(renames)} renames and {len(diags) - len(unfixed)} fixes")
        follow_renames(list(renames) + done)
    shutil.rmtree(fix_dir, ignore_errors=True)
    return unfixed, clashes


def follow_renames(renames):
    """What clang-tidy does not rename: uses inside macro definitions, and the
    names in comments where they are written as calls or qualified (`Foo()`,
    `X::Foo`, `p->Foo`) or are compound (`TakeBlock`). Only names renamed one
    way everywhere."""
    targets = {}
    for old, new in renames:
        if old != new and len(old) >= 3 and re.match(r"^[A-Z]", old):
            targets.setdefault(old, set()).add(new)
    targets = {o: n.pop() for o, n in targets.items() if len(n) == 1}
    if not targets:
        return
    names = "|".join(sorted(map(re.escape, targets), key=len, reverse=True))
    pat = re.compile(r"(?<![\w.>:])(%s)(?=\s*\()|(?<=::|->)(%s)\b|(?<=\.)(%s)(?=\()"
                     % (names, names, names))

    # In comments also the bare compound names (TakeBlock, NetTransferDone):
    # prose does not use those for anything else.
    compound = [o for o in targets if re.match(r"^[A-Z][a-z0-9]+[A-Z]", o)]
    bare = re.compile(r"(?<![\w.>:])(%s)\b" % "|".join(
        sorted(map(re.escape, compound), key=len, reverse=True))) if compound else None

    def sub(text):
        return pat.sub(lambda m: targets[m.group(m.lastindex)], text)

    def sub_comment(text):
        text = sub(text)
        return bare.sub(lambda m: targets[m.group(1)], text) if bare else text

    changed = []
    for f in st.cxx_files():
        path = os.path.join(ROOT, f)
        with open(path, encoding="utf-8") as fh:
            lines = fh.read().split("\n")
        out, in_macro = [], False
        for line in lines:
            starts_macro = re.match(r"\s*#\s*define\b", line)
            if in_macro or starts_macro:
                new = sub(line)
            else:
                code, comment = split_comment(line)
                new = code + sub_comment(comment) if comment else line
            in_macro = (in_macro or bool(starts_macro)) and line.endswith("\\")
            out.append(new)
        if out != lines:
            with open(path, "w", encoding="utf-8") as fh:
                fh.write("\n".join(out))
            changed.append(f)
    if changed:
        log("renamed names followed into macros and comments in: " + ", ".join(changed))


def split_comment(line):
    """(code, // comment) of one line; strings and char literals are skipped."""
    i, quote = 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
        elif line.startswith("//", i):
            return line[:i], line[i:]
        i += 1
    return line, ""


def format_all():
    files = st.cxx_files()
    subprocess.run([st.tool("clang-format"), "-i", *files], cwd=ROOT, check=True)
    log(f"clang-format over {len(files)} files")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--report", action="store_true")
    args = ap.parse_args()
    os.chdir(ROOT)
    build_dir = os.path.join(ROOT, "build/restyle")
    if args.report:
        configure(build_dir)
        unfixed, clashes = tidy_fix(build_dir, report_only=True)
        summary([], unfixed, clashes, None)
        return 0
    rename_sources()
    kept = pragma_once()
    configure(build_dir)
    unfixed, clashes = tidy_fix(build_dir, report_only=False)
    format_all()
    built = None
    if not args.no_build:
        log("make build")
        built = subprocess.run(["make", "build"], cwd=ROOT).returncode == 0
    return summary(kept, unfixed, clashes, built)


def summary(kept, unfixed, clashes, built):
    ok = True
    if kept:
        ok = False
        print("restyle: headers without #pragma once and without a guard it could replace:")
        for f in kept:
            print(f"  {f}")
    left = [f for f in st.cxx_files(include_public=True) if f.endswith(".cc")]
    if left:
        ok = False
        print("restyle: .cc files left: " + " ".join(left))
    if unfixed:
        ok = False
        print("restyle: findings clang-tidy could not fix (convert by hand or add to CLANG_RENAMES):")
        for f, msg in unfixed:
            print(f"  {f}: {msg}")
    if clashes:
        print("restyle: new names already used in the same file (check each is not a clash):")
        for old, new, f in clashes:
            print(f"  {old} -> {new} in {f}")
    if built is False:
        ok = False
        print("restyle: make build FAILED")
    print("restyle: " + ("done" if ok else "done, with the items above left"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
